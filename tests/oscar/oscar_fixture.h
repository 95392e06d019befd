// OSCAR frames are written in a notation that oscar() turns into bytes, and
// one driver relays rows of them through the scripted host:
//   *02 0001 [ 0004 0006 0000 00000000 | 0011223344556677 0001 {'bob'} 0002 [ ... ] ]
// Hex pairs are bytes, hh*N is byte hh N times, 'text' is ASCII, a * that
// starts a token is the FLAP marker; [ ... ], { ... } and < ... > are preceded
// by their length: 16-bit big-endian, 8-bit, 16-bit little-endian. | and
// blanks only separate. Expected output is written the same way, so every
// length a rewrite must move is counted from the bytes it encloses.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "containers/alloc.h"
#include "oscar/session.h"
#include "support/relay_fixture.h"

namespace qmxtest {

inline Bytes oscar(const std::string &text) {
    Bytes out;
    std::vector<std::pair<size_t, char>> open; // where a length goes, and its bracket
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '*') {
            out += c;
        } else if (c == '\'') {
            const size_t end = text.find('\'', i + 1);
            out += text.substr(i + 1, end - i - 1);
            i = std::min(end, text.size()); // an open quote runs to the end
        } else if (c == '[' || c == '{' || c == '<') {
            open.emplace_back(out.size(), c);
            out.append(c == '{' ? 1 : 2, '\0');
        } else if (c == ']' || c == '}' || c == '>') {
            const auto [at, bracket] = open.back();
            open.pop_back();
            const size_t n = out.size() - at - (bracket == '{' ? 1 : 2);
            out[at] = static_cast<char>(bracket == '[' ? n >> 8 : n & 0xFF);
            if (bracket != '{') out[at + 1] = static_cast<char>(bracket == '[' ? n & 0xFF : n >> 8);
        } else if (c != ' ' && c != '|') {
            size_t used = 0;
            const auto byte = static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
            out.append(text[i + 2] == '*' ? std::stoul(text.substr(i + 3), &used) : 1, byte);
            i += used ? used + 2 : 1;
        }
    }
    return out;
}

// Pieces the rows share; kOut and kIn start an ICBM from and to the client.
// They are inline so that every test file and the inline helpers below read
// one object: with a copy per file, a helper called while another file's
// constants are built (kSendFile) could read a copy not yet built, which
// MinGW, running the files' constructors last to first, does.
inline const std::string kCookie = "0011223344556677 ";
inline const std::string kOut = "0004 0006 0000 00000000 " + kCookie;
inline const std::string kIn = "0004 0007 0000 00000000 " + kCookie;
inline const std::string kCapRelay = "09461349 4C7F11D1 82224445 53540000 ";
inline const std::string kPluginFile = "F02D12D9 3091D311 8DD70010 4B06462E ";
inline const std::string kSelfInfo = "0001 000F 0000 00000000 ";
inline const std::string kUserInfo = " 0000 0001 0001 [0010] "; // warning level, one user-info TLV

inline std::string im(const std::string &snac, const std::string &peer, const std::string &rest) {
    return "*02 0005 [" + snac + peer + rest + "]";
}
// TLV 2 of a channel-1 message: a capabilities fragment, then the text fragment.
inline std::string text(const std::string &t, const std::string &charset = "0000") {
    return " 0002 [ 0501 [01] 0101 [" + charset + " 0000 " + t + "] ] ";
}
// TLV 5 of a channel-2 message: a request, unless `type` says otherwise.
inline std::string rendezvous(const std::string &capability, const std::string &tlvs,
                              const std::string &type = "0000") {
    return " 0005 [" + type + " " + kCookie + capability + " " + tlvs + "] ";
}
inline const std::string kSendFile =
    rendezvous("09461343 4C7F11D1 82224445 53540000", "2711 [0000 0001 0000000A 'a.txt' 00]");
// An ICQ message via the server relay: two headers round the null plugin, then `message`.
inline std::string icq(const std::string &message) {
    return rendezvous(kCapRelay, "2711 [1B00 0800 00*16 0000 03000000 00 FFFF 0E00 FFFF 00*12 | " +
                                     message + "]");
}
// A plugin message (type 0x1A) naming `plugin`: its name, a request text, a file name.
inline std::string pluginMessage(const std::string &plugin, const std::string &file) {
    return icq("1A 00 0000 0100 <00> | <" + plugin + "2900 04000000 'Send' 00*15 00000000 " +
               "02000000 'hi' 0000 0000 <" + file + " 00> 00040000>");
}

using Ids = const std::vector<uint32_t> &; // the instances of a scenario so far

// One connection: what each side sends before it ends (if anything), answers, results.
struct Conn {
    std::string client, server;     // notation
    std::string toServer, toClient; // notation; "=" for what the other side sent
    std::string calls;              // the transcript, unless ""
    std::string policy = "";        // slot 1 answers in order ("10": 1, then 0), then 1
    std::string event = "";         // slot 2's first answer: "0", or "=" and a replacement
    std::function<void(Ids)> setup = nullptr; // more script, before the relay runs
};

class OscarTest : public RelayTest<QMX_PROTO_OSCAR> {
protected:
    static inline const std::string kClientEnds = "log 1 Client connection closed\n";
    static inline const std::string kServerEnds = "log 1 Server connection closed\n";

    // The last line of a transcript: result, waits, and the user learned.
    static std::string end(int waits, const std::string &user = "", int32_t result = 0) {
        return "end " + std::to_string(result) + " after " + std::to_string(waits) + " waits" +
               (user.empty() ? "" : " as " + user) + "\n";
    }
    // One frame from one side, then its end; `calls` up to that end.
    static Conn one(bool fromClient, const std::string &frame, const std::string &out,
                    const std::string &calls, const std::string &policy = "0") {
        Conn c{"", "", "", "", calls + (fromClient ? kClientEnds : kServerEnds) + end(3), policy};
        (fromClient ? c.client : c.server) = frame;
        (fromClient ? c.toServer : c.toClient) = out;
        return c;
    }

    // Runs the connections in order, each a new instance on the same sockets (logins and
    // sign-ons, being process-wide, carry over), once for every read size.
    void play(const std::vector<Conn> &scenario) {
        for (size_t readSize : {0, 1, 2, 3, 5, 8, 13}) {
            QMX_shutdown();
            ASSERT_EQ(QMX_init(), 0u);
            host().install();
            QMX_setProtoCallback(QMX_PROTO_OSCAR, QMX_CB_LOG, cb(logSlot));
            QMX_setProtoCallback(QMX_PROTO_OSCAR, QMX_CB_POLICY, cb(policySlot));
            QMX_setProtoCallback(QMX_PROTO_OSCAR, QMX_CB_EVENT, cb(eventSlot));
            std::vector<uint32_t> ids;
            for (const Conn &c : scenario) {
                SCOPED_TRACE(testing::Message()
                             << "connection " << ids.size() + 1 << ", read size " << readSize);
                fresh();
                ids.push_back(id);
                transcript.clear();
                for (const auto &[s, bytes] :
                     {std::pair(kClient, c.client), std::pair(kServer, c.server)}) {
                    if (!bytes.empty()) host().pushRecv(s, oscar(bytes));
                    if (!bytes.empty()) host().pushEof(s);
                    host().setReadLimit(s, readSize);
                }
                for (const char p : c.policy) host().pushPolicyAnswer(id, p - '0');
                if (!c.event.empty())
                    host().pushEventAnswer(id, c.event == "0" ? EventAnswer{0, {}}
                                                              : EventAnswer{1, c.event.substr(1)});
                if (c.setup) c.setup(ids);
                const int32_t result = run();
                qmxAllocFailAfter(-1);
                EXPECT_EQ(host().sent(kServer), oscar(c.toServer == "=" ? c.client : c.toServer));
                EXPECT_EQ(host().sent(kClient), oscar(c.toClient == "=" ? c.server : c.toClient));
                if (!c.calls.empty()) {
                    EXPECT_EQ(transcript + summary(result), c.calls);
                }
            }
            if (HasFailure()) return;
        }
    }

private:
    static inline std::string transcript;
    static std::string show(const char *name) {
        return name == nullptr ? "-" : *name ? name : "''";
    }
    // Slots 0 to 2 write the transcript (no debug lines), then hand over to the host.
    static void logSlot(uint32_t, uint32_t level, const char *format, ...) {
        char line[256];
        va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        if (level != QMX_LOG_DEBUG)
            transcript += "log " + std::to_string(level) + " " + line + "\n";
    }
    static int32_t policySlot(uint32_t id, const char *local, uint32_t action, const char *remote) {
        transcript +=
            "policy " + show(local) + " " + std::to_string(action) + " " + show(remote) + "\n";
        return ScriptedHost::slotPolicy(id, local, action, remote);
    }
    static int32_t eventSlot(uint32_t id, FilterEvent *e) {
        transcript += "event " + std::to_string(e->type) + (e->fromClient ? " C " : " S ") +
                      show(e->from) + ">" + show(e->to) + (e->wideText ? " wide '" : " '") +
                      Bytes(e->text, e->textLength) + "'\n";
        return ScriptedHost::slotEvent(id, e);
    }
    // Raw-data calls, urgent sends, and waits but the loop's own (open sides, 3 s).
    std::string summary(int32_t result) const {
        std::ostringstream out;
        for (const RawCall &r : host().raws())
            out << "raw " << r.from << ">" << r.to << " " << r.data.size() << "\n";
        for (const SendCall &s : host().sendCalls())
            if (s.flags == QMX_FLAG_OOB)
                out << "oob " << s.socket << " " << s.offered.size() << "\n";
        const std::vector<WaitCall> waits = host().waitCalls();
        for (const WaitCall &w : waits) {
            const bool loop = (w.readA == 0 || w.readA == kClient) &&
                              (w.readB == 0 || w.readB == kServer) && w.exceptA == w.readA &&
                              w.exceptB == w.readB && w.seconds == 3 && w.microseconds == 0;
            if (!loop)
                out << "wait " << w.readA << " " << w.readB << " " << w.exceptA << " " << w.exceptB
                    << " " << w.seconds << "." << w.microseconds << "\n";
        }
        const auto *session = static_cast<const OscarSession *>(QMX_getInstanceProtoData(id));
        return out.str() + end(static_cast<int>(waits.size()), session->clientName, result);
    }
};

} // namespace qmxtest
