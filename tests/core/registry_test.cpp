// Instance ids, the order of slots 8 to 14, and QMX_init / QMX_shutdown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "containers/alloc.h"
#include "core/state.h"
#include "support/scripted_host.h"

using qmxtest::cb;

namespace {

std::vector<std::string> trace;
int protoTag[3];

std::string seen(uint32_t id) {
    return "(proto " + std::to_string(QMX_getInstanceProtoData(id) != nullptr) + " user " +
           std::to_string(QMX_getInstanceUserData(id)) + ")";
}

void *recordProtoNew(uint32_t id, QMX_Socket c, QMX_Socket s, uintptr_t arg) {
    trace.push_back("10 " + std::to_string(id) + " " + std::to_string(c) + " " + std::to_string(s) +
                    " " + std::to_string(arg) + " " + seen(id));
    return &protoTag[id % 3];
}
uintptr_t recordInstanceNew(uint32_t id, QMX_Socket, QMX_Socket, uintptr_t arg) {
    trace.push_back("8 " + std::to_string(id) + " " + seen(id));
    return arg + 1000;
}
void recordInstanceDelete(uint32_t id) {
    trace.push_back("9 " + std::to_string(id) + " " + seen(id));
}
void recordProtoDelete(uint32_t id) {
    trace.push_back("11 " + std::to_string(id) + " " + seen(id));
}
int32_t processResult(uint32_t id) { return -7 - static_cast<int32_t>(id); }
int32_t initOk() {
    trace.push_back("13");
    return 0;
}
int32_t initFails() {
    trace.push_back("13 fails");
    return 1;
}
int32_t shutdownOk() {
    trace.push_back("14");
    return 0;
}
int32_t shutdownFails() {
    trace.push_back("14 fails");
    return 1;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        trace.clear();
        ASSERT_EQ(QMX_init(), 0u);
        QMX_setCallback(QMX_CB_PROTO_NEW, cb(recordProtoNew));
        QMX_setCallback(QMX_CB_INSTANCE_NEW, cb(recordInstanceNew));
        QMX_setCallback(QMX_CB_INSTANCE_DELETE, cb(recordInstanceDelete));
        QMX_setCallback(QMX_CB_PROTO_DELETE, cb(recordProtoDelete));
        QMX_setCallback(QMX_CB_PROTO_PROCESS, cb(processResult));
        QMX_setCallback(QMX_CB_PROTO_SHUTDOWN, cb(shutdownOk));
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
        std::vector<uint32_t> registered; // ids taken before the call
        uint32_t expectedId, expectedCounter;
    } cases[] = {
        {0xFFFFFFFFu, {}, 1, 1},
        {0xFFFFFFFFu, {1, 2}, 3, 3},
        {0xFFFFFFFEu, {}, 0xFFFFFFFFu, 0xFFFFFFFFu},
        // first candidate taken, next candidate 1 is not above it: fail
        // although id 1 is free
        {0xFFFFFFFEu, {0xFFFFFFFFu}, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.counter);
        QMX_shutdown();
        ASSERT_EQ(QMX_init(), 0u);
        for (uint32_t id : c.registered) {
            qmxSetIdCounter(id - 1);
            ASSERT_EQ(QMX_newInstance(1, 5, 6, 0), id);
        }
        qmxSetIdCounter(c.counter);
        EXPECT_EQ(QMX_newInstance(1, 5, 6, 0), c.expectedId);
        EXPECT_EQ(qmxIdCounter(), c.expectedCounter);
    }
}

TEST_F(Registry, SlotsRunInOrderAndSeeTheInstanceOnlyOnceRegistered) {
    const uint32_t id = QMX_newInstance(1, 11, 22, 33);
    ASSERT_EQ(id, 1u);
    EXPECT_EQ(QMX_getInstanceUserData(id), 1033u);
    EXPECT_EQ(QMX_getInstanceProtoData(id), &protoTag[1]);
    EXPECT_EQ(QMX_processInstance(id), -8);
    EXPECT_EQ(QMX_deleteInstance(id), 0u);
    EXPECT_EQ(QMX_deleteInstance(id), 2u);
    const std::vector<std::string> expected = {"10 1 11 22 33 (proto 0 user 0)",
                                               "8 1 (proto 0 user 0)", "9 1 (proto 1 user 1033)",
                                               "11 1 (proto 1 user 1033)"};
    EXPECT_EQ(trace, expected);
    EXPECT_EQ(QMX_getInstanceUserData(id), 0u);
    EXPECT_EQ(QMX_getInstanceProtoData(id), nullptr);
    EXPECT_EQ(QMX_processInstance(id), 1);
}

TEST_F(Registry, EmptySlotsAreSkipped) {
    for (uint32_t slot : {8u, 9u, 10u, 11u, 12u}) QMX_setProtoCallback(2, slot, nullptr);
    const uint32_t id = QMX_newInstance(2, 1, 2, 3);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(QMX_getInstanceUserData(id), 0u);
    EXPECT_EQ(QMX_getInstanceProtoData(id), nullptr);
    EXPECT_EQ(QMX_processInstance(id), 0);
    EXPECT_EQ(QMX_deleteInstance(id), 0u);
    EXPECT_TRUE(trace.empty());
}

TEST_F(Registry, ShutdownDeletesEveryInstanceThenCallsEveryShutdownSlot) {
    QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_PROTO_SHUTDOWN, cb(shutdownFails));
    for (uint32_t p = 0; p < 3; ++p) ASSERT_NE(QMX_newInstance(p, 1, 2, 0), 0u);
    trace.clear();
    EXPECT_EQ(QMX_shutdown(), 1u);
    ASSERT_EQ(trace.size(), 9u);
    int nines = 0, elevens = 0;
    for (size_t i = 0; i < 6; i += 2) {
        nines += trace[i].rfind("9 ", 0) == 0;
        elevens += trace[i + 1].rfind("11 ", 0) == 0;
        EXPECT_EQ(trace[i].substr(2, 1), trace[i + 1].substr(3, 1)) << "9 and 11 pair up per id";
    }
    EXPECT_EQ(nines, 3);
    EXPECT_EQ(elevens, 3);
    EXPECT_EQ(std::vector<std::string>(trace.begin() + 6, trace.end()),
              (std::vector<std::string>{"14", "14 fails", "14"}));
    for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(QMX_getProtoCallback(p, QMX_CB_PROTO_INIT), nullptr);
    EXPECT_EQ(QMX_shutdown(), 0u) << "nothing left to release";
}

TEST_F(Registry, AFailingInitSlotStopsTheLaterProtocols) {
    QMX_setProtoCallback(0, QMX_CB_PROTO_INIT, cb(initFails));
    QMX_setProtoCallback(1, QMX_CB_PROTO_INIT, cb(initOk));
    QMX_setProtoCallback(2, QMX_CB_PROTO_INIT, cb(initOk));
    EXPECT_EQ(QMX_init(), 1u);
    EXPECT_EQ(trace, std::vector<std::string>{"13 fails"});
    QMX_setProtoCallback(0, QMX_CB_PROTO_INIT, nullptr);
    EXPECT_EQ(QMX_init(), 1u) << "an empty init slot fails too";
}

TEST_F(Registry, SecondInitRestoresHostSlotsZeroToSevenOnly) {
    QMX_setCallback(QMX_CB_PROTO_INIT, cb(initOk));
    using H = qmxtest::ScriptedHost;
    const QMX_Callback host[10] = {
        cb(H::slotLog),         cb(H::slotPolicy),        cb(H::slotEvent), cb(H::slotRawData),
        cb(H::slotWait),        cb(H::slotSend),          cb(H::slotRecv),  cb(H::slotHalfClose),
        cb(H::slotInstanceNew), cb(H::slotInstanceDelete)};
    H::get().install();
    ASSERT_EQ(QMX_init(), 0u);
    EXPECT_EQ(trace, (std::vector<std::string>{"13", "13", "13"}));
    for (uint32_t p = 0; p < 3; ++p) {
        for (uint32_t slot = 0; slot < 10; ++slot) {
            ASSERT_NE(QMX_getProtoCallback(p, slot), nullptr);
            EXPECT_EQ(QMX_getProtoCallback(p, slot) == host[slot], slot >= 8) << p << "/" << slot;
        }
    }
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
    QMX_setCallback(QMX_CB_PROTO_NEW, cb(recordProtoNew));
    QMX_setCallback(QMX_CB_INSTANCE_NEW, cb(recordInstanceNew));
    QMX_setCallback(QMX_CB_INSTANCE_DELETE, cb(recordInstanceDelete));
    trace.clear();
    qmxAllocFailAfter(0);
    EXPECT_EQ(QMX_newInstance(0, 1, 2, 0), 0u);
    qmxAllocFailAfter(-1);
    EXPECT_EQ(trace.size(), 2u) << "slots 10 and 8 ran and are not undone";
    const uint32_t failedId = qmxIdCounter();
    EXPECT_EQ(QMX_deleteInstance(failedId), 2u);
    EXPECT_EQ(trace.size(), 2u) << "slot 9 is never called for the failed id";
}

} // namespace
