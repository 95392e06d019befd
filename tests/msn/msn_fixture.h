// Runs MSN instances through the exported API against the scripted host;
// each pushed chunk is one receive of the relay.
#pragma once

#include <gtest/gtest.h>

#include <qmx/qmx.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "msn/relay.h"
#include "support/msn_builders.h"
#include "support/scripted_host.h"

namespace qmxtest {

class MsnTest : public ::testing::Test {
protected:
    static constexpr QMX_Socket kClient = 301;
    static constexpr QMX_Socket kServer = 402;

    void SetUp() override {
        ASSERT_EQ(QMX_init(), 0u);
        host().reset();
        host().install();
        host().addConnection(kClient, kServer);
        id = QMX_newInstance(QMX_PROTO_MSN, kClient, kServer, 0);
        ASSERT_NE(id, 0u);
    }
    void TearDown() override { QMX_shutdown(); }

    static ScriptedHost &host() { return ScriptedHost::get(); }
    MsnInstanceData *data() const {
        return static_cast<MsnInstanceData *>(QMX_getInstanceProtoData(id));
    }

    void fromClient(const std::vector<Bytes> &reads) {
        for (const Bytes &r : reads) host().pushRecv(kClient, r);
    }
    void fromServer(const std::vector<Bytes> &reads) {
        for (const Bytes &r : reads) host().pushRecv(kServer, r);
    }
    int32_t run() { return QMX_processInstance(id); }

    // The bytes of every ordinary send to one socket, one entry per call.
    std::vector<Bytes> sendsTo(QMX_Socket s) const {
        std::vector<Bytes> sends;
        for (const SendCall &c : host().sendCalls()) {
            if (c.socket == s && c.flags == 0) sends.push_back(c.offered);
        }
        return sends;
    }

    static std::string name(const std::optional<std::string> &s) {
        return s ? "'" + *s + "'" : "NULL";
    }

    // Slot 2 and slot 1 calls, one line each, in call order per slot.
    std::string questions() const {
        std::ostringstream out;
        for (const EventCall &e : host().events()) {
            out << "event type=" << e.type << " fromClient=" << e.fromClient
                << " from=" << name(e.from) << " to=" << name(e.to) << " len=" << e.textLength
                << "\n";
        }
        for (const PolicyCall &p : host().policies()) {
            out << "policy " << name(p.local) << " " << p.action << " " << name(p.remote) << "\n";
        }
        return out.str();
    }

    static std::vector<std::string> logTexts() {
        std::vector<std::string> texts;
        for (const LogLine &l : host().logs()) texts.push_back(l.text);
        return texts;
    }

    int malformedLogs() const {
        int n = 0;
        for (const LogLine &l : host().logs()) n += l.level == QMX_LOG_DEBUG && l.text == "zOMG!";
        return n;
    }

    static std::string text(const DArray *bytes) {
        return std::string(static_cast<const char *>(DArray_data(bytes)),
                           static_cast<size_t>(DArray_count(bytes)));
    }

    uint32_t id = 0;
};

} // namespace qmxtest
