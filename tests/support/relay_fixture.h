// One instance of a protocol, run through the exported API against the
// scripted host; calls() renders what the host was asked as comparable text.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

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

template <uint32_t Protocol>
class RelayTest : public HostTest {
protected:
    static constexpr QMX_Socket kClient = 101;
    static constexpr QMX_Socket kServer = 202;

    void SetUp() override {
        HostTest::SetUp();
        fresh();
    }
    static QMX_Socket peerOf(QMX_Socket s) { return s == kClient ? kServer : kClient; }

    // Forgets every script and record and creates a new instance.
    void fresh() {
        host().reset();
        id = connect(Protocol, kClient, kServer);
        ASSERT_NE(id, 0u);
    }
    int32_t run() { return QMX_processInstance(id); }

    static std::string name(const std::optional<std::string> &s) {
        return s ? "'" + *s + "'" : "NULL";
    }
    // Slot 2, 1 and 0 calls, one line each; withText adds what only some
    // protocols fill in.
    std::string calls(bool withText = true) const {
        std::ostringstream out;
        for (const EventCall &e : host().events()) {
            EXPECT_EQ(e.id, id);
            out << "event type=" << e.type << " fromClient=" << e.fromClient
                << " from=" << name(e.from) << " to=" << name(e.to);
            if (withText) out << " wide=" << e.wideText << " text=" << name(e.text);
            out << " len=" << e.textLength << (e.hadReplacement ? " replaced" : "") << "\n";
        }
        for (const PolicyCall &p : host().policies()) {
            EXPECT_EQ(p.id, id);
            out << "policy " << name(p.local) << " " << p.action << " " << name(p.remote) << "\n";
        }
        if (withText) {
            for (const LogLine &l : host().logs())
                out << "log " << l.level << " " << l.text << "\n";
        }
        return out.str();
    }

    uint32_t id = 0;
};

} // namespace qmxtest
