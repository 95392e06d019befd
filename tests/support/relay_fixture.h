// One instance of a protocol, run through the exported API against the
// scripted host, and the driver that plays a table of scripted connections.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "containers/alloc.h"
#include "support/scripted_host.h"

namespace qmxtest {

// The library started with the scripted host in every slot, and shut down
// after each test.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QMX_init(), 0u);
        host().reset();
        host().install();
    }
    void TearDown() override { QMX_shutdown(); }

    static ScriptedHost &host() { return ScriptedHost::get(); }
    static uint32_t connect(uint32_t protocol, QMX_Socket client, QMX_Socket server) {
        host().addConnection(client, server);
        return QMX_newInstance(protocol, client, server, 0);
    }
};

// What one side sends, one receive per entry: bytes, kEnd (end of stream),
// kFail (a failed receive) or kOob + out-of-band bytes. kSame, as what the
// other side gets, stands for every byte this one sent.
const Bytes kEnd = "\x01<end>", kFail = "\x01<fail>", kOob = "\x01<oob>", kSame = "\x01<same>";
struct Reads : std::vector<Bytes> {
    Reads(const Bytes &one = "") : std::vector<Bytes>(!one.empty(), one) {} // NOLINT
    Reads(const char *one) : Reads(Bytes(one)) {}                           // NOLINT
};
template <typename... More>
Reads reads(const Bytes &first, const More &...more) {
    Reads all(first);
    for (const Bytes &b : {Bytes(more)...}) all.push_back(b);
    return all;
}

// One scripted connection: what each side sends, how the host decides and
// what must come of it. `host` holds words: e0 e1 (event answer), e=TEXT
// (allowed with that replacement), pN (policy answer), rN (raw-data
// answer), sN (the next send to the server takes N), SN (every send to it
// at most N), wR*N (N waits answer R), aN (allocations fail after N).
// `waits`, when given, is the sockets each wait watched ("client/server")
// with their counts, "101/202*2 0/202*1", or "none".
struct Exchange {
    const char *name;
    Reads client, server;
    std::string host;
    Bytes toServer, toClient;
    std::string calls;
    std::string waits = "";
};

template <uint32_t Protocol>
class RelayTest : public HostTest {
protected:
    static constexpr QMX_Socket kClient = 101;
    static constexpr QMX_Socket kServer = 202;

    void SetUp() override {
        HostTest::SetUp();
        fresh();
    }
    // Forgets every script and record and creates a new instance.
    void fresh() {
        host().reset();
        id = connect(Protocol, kClient, kServer);
        ASSERT_NE(id, 0u);
    }
    int32_t run() { return QMX_processInstance(id); }

    // Every call the host got, one line each, by kind: "ev TYPE c|s|? FROM
    // TO 'TEXT'" (? for neither side), "pol LOCAL ACTION REMOTE", "raw FROM>TO 'BYTES'" (MSN hands
    // the hook its own records of the sides, so no sockets there), "log
    // LEVEL TEXT" but for the MSN histories, "half SOCKET/HOW", "oob SOCKET
    // 'BYTES'". A NULL is -, an empty name ''.
    std::string calls() const {
        std::ostringstream out;
        auto q = [](const std::optional<Bytes> &s) { return s ? "'" + *s + "'" : "-"; };
        auto n = [&](const std::optional<Bytes> &s) { return s && !s->empty() ? *s : q(s); };
        for (const EventCall &e : host().events()) {
            out << "ev " << e.type << " "
                << "sc?"[std::min(e.fromClient, 2u)] << " " << n(e.from) << " " << n(e.to) << " "
                << q(e.text) << (e.wideText ? " wide" : "")
                << (e.hadReplacement ? " replaced\n" : "\n");
        }
        for (const PolicyCall &p : host().policies())
            out << "pol " << n(p.local) << " " << p.action << " " << n(p.remote) << "\n";
        for (const RawCall &r : host().raws()) {
            out << "raw " << (Protocol == QMX_PROTO_MSN ? "" : std::to_string(r.from) + ">")
                << (Protocol == QMX_PROTO_MSN ? "" : std::to_string(r.to) + " ") << q(r.data)
                << "\n";
        }
        for (const LogLine &l : host().logs())
            if (l.text.find(" HISTORY (") == std::string::npos)
                out << "log " << l.level << " " << l.text << "\n";
        for (auto [socket, how] : host().halfCloses())
            out << "half " << socket << "/" << how << "\n";
        for (const SendCall &s : host().sendCalls())
            if (s.flags == QMX_FLAG_OOB) out << "oob " << s.socket << " " << q(s.offered) << "\n";
        return out.str();
    }

    // Plays the row with reads of any size, then of at most 1, 2, ...
    // maxRead bytes: each gives the same bytes, calls and waits.
    void expect(const Exchange &x, size_t maxRead = 0) {
        std::string waits;
        for (size_t limit = 0; limit <= maxRead; ++limit) {
            SCOPED_TRACE(std::string(x.name) + ", reads of at most " + std::to_string(limit));
            fresh();
            for (QMX_Socket s : {kClient, kServer}) {
                host().setReadLimit(s, limit);
                for (const Bytes &r : s == kClient ? x.client : x.server) {
                    r == kEnd               ? host().pushEof(s)
                    : r == kFail            ? host().pushRecvError(s)
                    : r.rfind(kOob, 0) == 0 ? host().pushOob(s, r.substr(kOob.size()))
                                            : host().pushRecv(s, r);
                }
            }
            std::istringstream words(x.host);
            int64_t failAfter = -1;
            for (std::string w; words >> w;) {
                const int n = w[1] == '=' ? 1 : std::stoi(w.substr(1));
                const std::optional<Bytes> text(w.substr(2));
                switch (w[0]) {
                case 'e': host().pushEventAnswer(id, {n, w[1] == '=' ? text : std::nullopt}); break;
                case 'p': host().pushPolicyAnswer(id, n); break;
                case 'r': host().pushRawAnswer(id, n); break;
                case 's': host().pushSendResult(kServer, n); break;
                case 'S': host().setSendLimit(kServer, size_t(n)); break;
                case 'w': host().pushWaits(kClient, n, std::stoi(w.substr(w.find('*') + 1))); break;
                default: failAfter = n;
                }
            }
            qmxAllocFailAfter(failAfter);
            EXPECT_EQ(run(), Protocol == QMX_PROTO_MSN ? 1 : 0);
            qmxAllocFailAfter(-1);
            for (auto [to, from, want] : {std::tuple(kServer, &x.client, &x.toServer),
                                          std::tuple(kClient, &x.server, &x.toClient)}) {
                Bytes all;
                for (const Bytes &r : *from) all += r[0] == '\x01' ? "" : r;
                EXPECT_EQ(host().sent(to), *want == kSame ? all : *want);
            }
            EXPECT_EQ(calls(), x.calls);
            std::vector<std::string> each;
            for (const WaitCall &w : host().waitCalls()) {
                EXPECT_TRUE(w.exceptA == w.readA && w.exceptB == w.readB && w.seconds == 3 &&
                            w.microseconds == 0);
                each.push_back(std::to_string(w.readA) + "/" + std::to_string(w.readB));
            }
            std::string seen = each.empty() ? "none" : "";
            for (size_t i = 0, j = 0; i < each.size(); i = j) {
                while (j < each.size() && each[j] == each[i]) ++j;
                seen += (i > 0 ? " " : "") + each[i] + "*" + std::to_string(j - i);
            }
            if (limit == 0) waits = seen;
            EXPECT_EQ(seen, waits);
            EXPECT_TRUE(x.waits.empty() || waits == x.waits) << waits;
        }
    }

    uint32_t id = 0;
};

} // namespace qmxtest
