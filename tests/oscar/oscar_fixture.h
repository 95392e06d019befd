// OSCAR frames and instances under test: a fresh library and host per test,
// and helpers to script one connection and relay it.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "containers/byte_stream.h"
#include "oscar/relay.h"
#include "support/oscar_builders.h"
#include "support/relay_fixture.h"
#include "support/scripted_host.h"

namespace qmxtest {

// A frame under test: its bytes and a ByteStream over them, kept together.
class OscarFrame {
public:
    explicit OscarFrame(const Bytes &bytes) : bytes_(bytes) {
        ByteStream_init(bytes_.data(), static_cast<uint32_t>(bytes_.size()), &stream_);
    }
    OscarFrame(const OscarFrame &) = delete;
    OscarFrame &operator=(const OscarFrame &) = delete;

    ByteStream *stream() { return &stream_; }
    const Bytes &bytes() const { return bytes_; }

private:
    Bytes bytes_;
    ByteStream stream_;
};

class OscarRelayTest : public HostTest {
protected:
    static uint32_t connect(QMX_Socket client, QMX_Socket server) {
        return HostTest::connect(QMX_PROTO_OSCAR, client, server);
    }

    // A fresh connection: `frames` from one side, then its end, under the
    // given answers. Answers what reached the other side.
    static Bytes relayOnce(QMX_Socket from, const std::vector<Bytes> &frames, int32_t policy = 1,
                           EventAnswer event = {}) {
        host().reset();
        const uint32_t id = connect(301, 302);
        feed(from, frames);
        host().setDefaultPolicyAnswer(policy);
        host().setDefaultEventAnswer(std::move(event));
        QMX_processInstance(id);
        QMX_deleteInstance(id);
        return host().sent(from == 301 ? 302 : 301);
    }

    static OscarSession *session(uint32_t id) {
        return static_cast<OscarSession *>(QMX_getInstanceProtoData(id));
    }

    // Queues `frames` on `socket` as one stream, followed by its end.
    static void feed(QMX_Socket socket, const std::vector<Bytes> &frames, bool thenEnd = true) {
        Bytes stream;
        for (const Bytes &f : frames) stream += f;
        if (!stream.empty()) host().pushRecv(socket, stream);
        if (thenEnd) host().pushEof(socket);
    }

    static std::vector<std::string> blockedLogs() {
        std::vector<std::string> lines;
        for (const LogLine &l : host().logs())
            if (l.level == QMX_LOG_BLOCKED) lines.push_back(l.text);
        return lines;
    }

    static bool hasLog(uint32_t level, const std::string &text) {
        for (const LogLine &l : host().logs())
            if (l.level == level && l.text == text) return true;
        return false;
    }

    // Events and policy questions as text, without instance ids, so runs of
    // different instances compare equal.
    static std::vector<std::string> decisions() {
        std::vector<std::string> out;
        for (const EventCall &e : host().events()) {
            std::ostringstream line;
            line << "event " << e.type << " fromClient " << e.fromClient << " from "
                 << e.from.value_or("<null>") << " to " << e.to.value_or("<null>") << " wide "
                 << e.wideText << " text " << e.text.value_or("<null>") << "/" << e.textLength;
            out.push_back(line.str());
        }
        for (const PolicyCall &p : host().policies()) {
            std::ostringstream line;
            line << "policy " << p.local.value_or("<null>") << " " << p.action << " "
                 << p.remote.value_or("<null>");
            out.push_back(line.str());
        }
        return out;
    }
};

} // namespace qmxtest
