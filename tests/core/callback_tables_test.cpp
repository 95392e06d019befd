// Callback tables: ranges, defaults, and what a relay does with nothing else.
#include <gtest/gtest.h>

#include "core/state.h"
#include "support/scripted_host.h"

using qmxtest::cb;

namespace {

void someSlot() {}

TEST(CallbackTables, OutOfRangeOrUninitialisedCallsChangeNothing) {
    EXPECT_EQ(QMX_setCallback(0, cb(someSlot)) + QMX_setProtoCallback(0, 0, cb(someSlot)), 2u)
        << "before init";
    EXPECT_EQ(QMX_getProtoCallback(0, 0), nullptr);
    EXPECT_EQ(QMX_newInstance(0, 1, 2, 0), 0u);
    EXPECT_EQ(QMX_deleteInstance(1), 2u);
    EXPECT_EQ(QMX_processInstance(1), 1);
    EXPECT_EQ(QMX_getInstanceUserData(1), 0u);
    EXPECT_EQ(QMX_getInstanceProtoData(1), nullptr);
    EXPECT_EQ(QMX_shutdown(), 0u);
    EXPECT_EQ(qmxIdCounter(), 0u) << "the counter is untouched by failed creations";

    ASSERT_EQ(QMX_init(), 0u);
    const QMX_Callback before = QMX_getProtoCallback(1, 16);
    EXPECT_EQ(QMX_setCallback(17, cb(someSlot)) + QMX_setCallback(0xFFFFFFFFu, cb(someSlot)) +
                  QMX_setProtoCallback(3, 0, cb(someSlot)) +
                  QMX_setProtoCallback(0, 17, cb(someSlot)),
              4u);
    EXPECT_EQ(QMX_getProtoCallback(3, 0), nullptr);
    EXPECT_EQ(QMX_getProtoCallback(0, 17), nullptr);
    EXPECT_EQ(QMX_getProtoCallback(1, 16), before);

    EXPECT_EQ(QMX_setCallback(16, cb(someSlot)), 0u);
    for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(QMX_getProtoCallback(p, 16), cb(someSlot));
    EXPECT_EQ(QMX_setProtoCallback(2, 16, nullptr), 0u);
    EXPECT_EQ(QMX_getProtoCallback(2, 16), nullptr);
    EXPECT_EQ(QMX_getProtoCallback(1, 16), cb(someSlot));
    QMX_shutdown();
    EXPECT_EQ(QMX_setCallback(0, cb(someSlot)), 1u) << "after shutdown";
}

TEST(CallbackTables, InitFillsHostDefaultsAndProtocolHandlersOnly) {
    ASSERT_EQ(QMX_init(), 0u);
    for (uint32_t p = 0; p < 3; ++p) {
        for (uint32_t slot = 0; slot < QMX_SLOT_COUNT; ++slot) {
            const bool filled = slot <= 7 || (slot >= 10 && slot <= 14);
            EXPECT_EQ(QMX_getProtoCallback(p, slot) != nullptr, filled) << p << "/" << slot;
        }
        EXPECT_NE(QMX_getProtoCallback(p, QMX_CB_PROTO_PROCESS),
                  QMX_getProtoCallback((p + 1) % 3, QMX_CB_PROTO_PROCESS))
            << "each protocol has its own relay";
    }
    // The defaults make the library inert but safe.
    auto policy = reinterpret_cast<QMX_PolicyFn>(QMX_getProtoCallback(0, QMX_CB_POLICY));
    auto event = reinterpret_cast<QMX_EventFn>(QMX_getProtoCallback(0, QMX_CB_EVENT));
    auto raw = reinterpret_cast<QMX_RawDataFn>(QMX_getProtoCallback(0, QMX_CB_RAW_DATA));
    auto wait = reinterpret_cast<QMX_WaitFn>(QMX_getProtoCallback(0, QMX_CB_WAIT));
    auto send = reinterpret_cast<QMX_SendFn>(QMX_getProtoCallback(0, QMX_CB_SEND));
    auto recv = reinterpret_cast<QMX_RecvFn>(QMX_getProtoCallback(0, QMX_CB_RECV));
    auto halfClose = reinterpret_cast<QMX_HalfCloseFn>(QMX_getProtoCallback(0, QMX_CB_HALF_CLOSE));
    auto log = reinterpret_cast<QMX_LogFn>(QMX_getProtoCallback(0, QMX_CB_LOG));
    uint8_t buffer[4] = {};
    FilterEvent e{};
    log(1, QMX_LOG_DEBUG, "%s", "ignored");
    EXPECT_EQ(policy(1, "me", QMX_ACTION_IM_OUT, "you"), 1);
    EXPECT_EQ(event(1, &e), 1);
    EXPECT_EQ(raw(1, 1, 2, buffer, 4), 0);
    EXPECT_EQ(wait(1, 2, 1, 2, 3, 0), -1);
    EXPECT_EQ(send(1, buffer, 4, 0), -1);
    EXPECT_EQ(recv(1, buffer, 4, 0), -1);
    EXPECT_EQ(halfClose(1, 1), 0);
    QMX_shutdown();
}

// Counting stand-ins for the defaults: same answers, so the relay sees
// exactly what the built-in defaults would give it.
int waits = 0, ioCalls = 0;
int32_t countingWait(QMX_Socket, QMX_Socket, QMX_Socket, QMX_Socket, int32_t, int32_t) {
    ++waits;
    return -1;
}
int32_t countingSend(QMX_Socket, const uint8_t *, intptr_t, uint32_t) {
    ++ioCalls;
    return -1;
}
int32_t countingRecv(QMX_Socket, uint8_t *, intptr_t, uint32_t) {
    ++ioCalls;
    return -1;
}

class DefaultsOnlyRelay : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DefaultsOnlyRelay, EndsAfterOneWaitWithoutReadingOrSending) {
    waits = ioCalls = 0;
    ASSERT_EQ(QMX_init(), 0u);
    QMX_setCallback(QMX_CB_WAIT, cb(countingWait));
    QMX_setCallback(QMX_CB_SEND, cb(countingSend));
    QMX_setCallback(QMX_CB_RECV, cb(countingRecv));
    const uint32_t id = QMX_newInstance(GetParam(), 7, 8, 0);
    ASSERT_NE(id, 0u);
    QMX_processInstance(id);
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(ioCalls, 0);
    EXPECT_EQ(QMX_deleteInstance(id), 0u);
    EXPECT_EQ(QMX_shutdown(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryProtocol, DefaultsOnlyRelay,
                         ::testing::Values(QMX_PROTO_OSCAR, QMX_PROTO_MSN, QMX_PROTO_YMSG));

} // namespace
