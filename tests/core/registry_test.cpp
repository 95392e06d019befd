// Instance ids, the order of slots 8 to 14, and QMX_init / QMX_shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "containers/alloc.h"
#include "core/state.h"
#include "support/scripted_host.h"

using qmxtest::cb;
using Trace = std::vector<std::string>;

namespace {

Trace trace;
int protoTag[3];

// A slot call as "<slot> <id> (proto <set?> user <user data>)", as the getters see it.
void note(const std::string &what, uint32_t id) {
    trace.push_back(what + " " + std::to_string(id) + " (proto " +
                    std::to_string(QMX_getInstanceProtoData(id) != nullptr) + " user " +
                    std::to_string(QMX_getInstanceUserData(id)) + ")");
}
void *slot10(uint32_t id, QMX_Socket c, QMX_Socket s, uintptr_t arg) {
    note("10 " + std::to_string(c) + " " + std::to_string(s) + " " + std::to_string(arg), id);
    return &protoTag[id % 3];
}
uintptr_t slot8(uint32_t id, QMX_Socket, QMX_Socket, uintptr_t arg) {
    return note("8", id), arg + 1000;
}
void slot9(uint32_t id) { note("9", id); }
void slot11(uint32_t id) { note("11", id); }
int32_t slot12(uint32_t id) { return -7 - static_cast<int32_t>(id); }
int32_t initOk() { return trace.push_back("13"), 0; }
int32_t initFails() { return trace.push_back("13 fails"), 1; }
int32_t shutdownOk() { return trace.push_back("14"), 0; }
int32_t shutdownFails() { return trace.push_back("14 fails"), 1; }

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        trace.clear();
        ASSERT_EQ(QMX_init(), 0u);
        install();
    }
    static void install() {
        const std::pair<uint32_t, QMX_Callback> slots[] = {
            {QMX_CB_PROTO_NEW, cb(slot10)},      {QMX_CB_INSTANCE_NEW, cb(slot8)},
            {QMX_CB_INSTANCE_DELETE, cb(slot9)}, {QMX_CB_PROTO_DELETE, cb(slot11)},
            {QMX_CB_PROTO_PROCESS, cb(slot12)},  {QMX_CB_PROTO_SHUTDOWN, cb(shutdownOk)}};
        for (const auto &[slot, f] : slots) QMX_setCallback(slot, f);
    }
    void TearDown() override {
        qmxAllocFailAfter(-1);
        QMX_shutdown();
    }
};

// Ids count up from one; a rejected protocol takes none; past the top the
// counter wraps over zero, and gives up once it comes round to its start.
TEST_F(Registry, IdAllocationCountsUpWrapsPastZeroAndGivesUpWhenTheCounterWraps) {
    EXPECT_EQ(QMX_newInstance(0, 1, 2, 0), 1u);
    EXPECT_EQ(QMX_newInstance(3, 1, 2, 0) + QMX_newInstance(0xFFFFFFFFu, 1, 2, 0), 0u);
    EXPECT_EQ(QMX_newInstance(2, 1, 2, 0), 2u);
    EXPECT_EQ(qmxIdCounter(), 2u);
    const struct {
        uint32_t counter;
        std::vector<uint32_t> taken; // ids registered before the call
        uint32_t id, counterAfter;
    } cases[] = {
        {0xFFFFFFFFu, {}, 1, 1},
        {0xFFFFFFFFu, {1, 2}, 3, 3},
        {0xFFFFFFFEu, {}, 0xFFFFFFFFu, 0xFFFFFFFFu},
        // the next candidate after the taken first one, 1, is not above it
        {0xFFFFFFFEu, {0xFFFFFFFFu}, 0, 1},
    };
    for (const auto &c : cases) {
        QMX_shutdown();
        ASSERT_EQ(QMX_init(), 0u);
        for (uint32_t id : c.taken) {
            qmxSetIdCounter(id - 1);
            ASSERT_EQ(QMX_newInstance(1, 5, 6, 0), id);
        }
        qmxSetIdCounter(c.counter);
        EXPECT_EQ(QMX_newInstance(1, 5, 6, 0), c.id) << c.counter;
        EXPECT_EQ(qmxIdCounter(), c.counterAfter) << c.counter;
        EXPECT_EQ(QMX_getInstanceProtoData(0), nullptr) << "no instance ever has id 0";
    }
}

TEST_F(Registry, SlotsRunInOrderAndSeeTheInstanceOnlyOnceRegisteredAndEmptySlotsAreSkipped) {
    const uint32_t id = QMX_newInstance(1, 11, 22, 33);
    ASSERT_EQ(id, 1u);
    EXPECT_EQ(QMX_getInstanceUserData(id), 1033u);
    EXPECT_EQ(QMX_getInstanceProtoData(id), &protoTag[1]);
    EXPECT_EQ(QMX_processInstance(id), -8);
    EXPECT_EQ(QMX_deleteInstance(id), 0u);
    EXPECT_EQ(QMX_deleteInstance(id), 2u);
    EXPECT_EQ(trace, (Trace{"10 11 22 33 1 (proto 0 user 0)", "8 1 (proto 0 user 0)",
                            "9 1 (proto 1 user 1033)", "11 1 (proto 1 user 1033)"}));
    EXPECT_TRUE(QMX_getInstanceUserData(id) == 0 && QMX_getInstanceProtoData(id) == nullptr);
    EXPECT_EQ(QMX_processInstance(id), 1);

    trace.clear();
    for (uint32_t slot = 8; slot <= 12; ++slot) QMX_setProtoCallback(2, slot, nullptr);
    const uint32_t bare = QMX_newInstance(2, 1, 2, 3);
    ASSERT_NE(bare, 0u);
    EXPECT_TRUE(QMX_getInstanceUserData(bare) == 0 && QMX_getInstanceProtoData(bare) == nullptr);
    EXPECT_EQ(QMX_processInstance(bare), 0);
    EXPECT_EQ(QMX_deleteInstance(bare), 0u);
    EXPECT_TRUE(trace.empty());
}

TEST_F(Registry, ShutdownDeletesEveryInstanceThenCallsEveryShutdownSlot) {
    QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_PROTO_SHUTDOWN, cb(shutdownFails));
    for (uint32_t p = 0; p < 3; ++p) ASSERT_EQ(QMX_newInstance(p, 1, 2, 0), p + 1);
    trace.clear();
    EXPECT_EQ(QMX_shutdown(), 1u);
    // Slots 9 and 11 pair up per instance, in any order of instances.
    ASSERT_EQ(trace.size(), 9u);
    for (size_t i = 0; i < 6; i += 2) EXPECT_EQ("11" + trace[i].substr(1), trace[i + 1]);
    Trace nines = {trace[0], trace[2], trace[4]};
    std::sort(nines.begin(), nines.end());
    EXPECT_EQ(nines, (Trace{"9 1 (proto 1 user 1000)", "9 2 (proto 1 user 1000)",
                            "9 3 (proto 1 user 1000)"}));
    EXPECT_EQ(Trace(trace.begin() + 6, trace.end()), (Trace{"14", "14 fails", "14"}));
    for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(QMX_getProtoCallback(p, QMX_CB_PROTO_INIT), nullptr);
    EXPECT_EQ(QMX_shutdown(), 0u) << "nothing left to release";
}

// Every init restores slots 0 to 7 of every table, and no other slot; a
// failing or empty init slot stops the protocols after it.
TEST_F(Registry, InitRestoresHostSlotsZeroToSevenOnlyAndStopsAtAFailingInitSlot) {
    QMX_setCallback(QMX_CB_PROTO_INIT, cb(initOk));
    using H = qmxtest::ScriptedHost;
    H::get().install();
    const QMX_Callback host[10] = {
        cb(H::slotLog),         cb(H::slotPolicy),        cb(H::slotEvent), cb(H::slotRawData),
        cb(H::slotWait),        cb(H::slotSend),          cb(H::slotRecv),  cb(H::slotHalfClose),
        cb(H::slotInstanceNew), cb(H::slotInstanceDelete)};
    ASSERT_EQ(QMX_init(), 0u);
    EXPECT_EQ(trace, (Trace{"13", "13", "13"}));
    for (uint32_t p = 0; p < 3; ++p) {
        for (uint32_t slot = 0; slot < 10; ++slot) {
            ASSERT_NE(QMX_getProtoCallback(p, slot), nullptr);
            EXPECT_EQ(QMX_getProtoCallback(p, slot) == host[slot], slot >= 8) << p << "/" << slot;
        }
    }
    trace.clear();
    QMX_setProtoCallback(0, QMX_CB_PROTO_INIT, cb(initFails));
    EXPECT_EQ(QMX_init(), 1u);
    EXPECT_EQ(trace, Trace{"13 fails"});
    QMX_setProtoCallback(0, QMX_CB_PROTO_INIT, nullptr);
    EXPECT_EQ(QMX_init(), 1u) << "an empty init slot fails too";
}

TEST_F(Registry, AllocationFailuresInInitAndNewInstanceAreReportedAndLeakNothing) {
    QMX_shutdown();
    // Registry, then the three tables: each failure point is a clean 1.
    for (int64_t n = 0;; ++n) {
        qmxAllocFailAfter(n);
        const uint32_t result = QMX_init();
        qmxAllocFailAfter(-1);
        if (result == 0) break;
        for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(QMX_getProtoCallback(p, QMX_CB_LOG), nullptr);
        ASSERT_LT(n, 64);
    }
    install();
    trace.clear();
    qmxAllocFailAfter(0);
    EXPECT_EQ(QMX_newInstance(0, 1, 2, 0), 0u);
    qmxAllocFailAfter(-1);
    EXPECT_EQ(trace.size(), 2u) << "slots 10 and 8 ran and are not undone";
    EXPECT_EQ(QMX_deleteInstance(qmxIdCounter()), 2u);
    EXPECT_EQ(trace.size(), 2u) << "slot 9 is never called for the failed id";
}

} // namespace
