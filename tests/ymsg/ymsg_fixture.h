// Runs YMSG instances through the exported API against the scripted host and
// renders what the host saw as comparable text.
#pragma once

#include <gtest/gtest.h>

#include <qmx/qmx.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/scripted_host.h"
#include "support/ymsg_builders.h"

namespace qmxtest {

class YmsgTest : public ::testing::Test {
protected:
    static constexpr QMX_Socket kClient = 101;
    static constexpr QMX_Socket kServer = 202;

    void SetUp() override {
        ASSERT_EQ(QMX_init(), 0u);
        host().install();
        fresh();
    }
    void TearDown() override { QMX_shutdown(); }

    static ScriptedHost &host() { return ScriptedHost::get(); }

    // Forgets every script and record and creates a new instance.
    void fresh() {
        host().reset();
        host().addConnection(kClient, kServer);
        id = QMX_newInstance(QMX_PROTO_YMSG, kClient, kServer, 0);
        ASSERT_NE(id, 0u);
    }
    int32_t run() { return QMX_processInstance(id); }

    static QMX_Socket peerOf(QMX_Socket s) { return s == kClient ? kServer : kClient; }

    // Everything slot 2, slot 1 and slot 0 saw, one line each, ids checked.
    std::string calls() const {
        std::ostringstream out;
        auto name = [](const std::optional<std::string> &s) { return s ? "'" + *s + "'" : "NULL"; };
        for (const EventCall &e : host().events()) {
            EXPECT_EQ(e.id, id);
            out << "event type=" << e.type << " fromClient=" << e.fromClient
                << " from=" << name(e.from) << " to=" << name(e.to) << " wide=" << e.wideText
                << " text=" << name(e.text) << " len=" << e.textLength
                << (e.hadReplacement ? " replaced" : "") << "\n";
        }
        for (const PolicyCall &p : host().policies()) {
            EXPECT_EQ(p.id, id);
            out << "policy " << name(p.local) << " " << p.action << " " << name(p.remote) << "\n";
        }
        for (const LogLine &l : host().logs()) {
            EXPECT_EQ(l.id, id);
            out << "log " << l.level << " " << l.text << "\n";
        }
        return out.str();
    }

    uint32_t id = 0;
};

} // namespace qmxtest
