// Callback tables: ranges, the defaults, and what a relay does with nothing else.
#include <gtest/gtest.h>

#include "core/state.h"
#include "support/scripted_host.h"

using qmxtest::cb;

namespace {

void someSlot() {}

TEST(CallbackTables, OutOfRangeOrUninitialisedCallsChangeNothing) {
    EXPECT_EQ(QMX_setCallback(0, cb(someSlot)) + QMX_setProtoCallback(0, 0, cb(someSlot)), 2u);
    EXPECT_EQ(QMX_getProtoCallback(0, 0), nullptr) << "before init";
    EXPECT_EQ(QMX_newInstance(0, 1, 2, 0) + QMX_getInstanceUserData(1), 0u);
    EXPECT_EQ(QMX_deleteInstance(1) * 10 + QMX_processInstance(1), 21u);
    EXPECT_EQ(QMX_getInstanceProtoData(1), nullptr);
    EXPECT_EQ(QMX_shutdown() + qmxIdCounter(), 0u) << "a failed creation takes no id";

    ASSERT_EQ(QMX_init(), 0u);
    const QMX_Callback before = QMX_getProtoCallback(1, 16);
    EXPECT_EQ(QMX_setCallback(17, cb(someSlot)) + QMX_setCallback(0xFFFFFFFFu, cb(someSlot)) +
                  QMX_setProtoCallback(3, 0, cb(someSlot)) +
                  QMX_setProtoCallback(0, 17, cb(someSlot)),
              4u);
    EXPECT_TRUE(QMX_getProtoCallback(3, 0) == nullptr && QMX_getProtoCallback(0, 17) == nullptr);
    EXPECT_EQ(QMX_getProtoCallback(1, 16), before);
    EXPECT_EQ(QMX_setCallback(16, cb(someSlot)), 0u);
    EXPECT_EQ(QMX_setProtoCallback(2, 16, nullptr), 0u);
    for (uint32_t p = 0; p < 3; ++p)
        EXPECT_EQ(QMX_getProtoCallback(p, 16), p == 2 ? nullptr : cb(someSlot)) << p;
    QMX_shutdown();
    EXPECT_EQ(QMX_setCallback(0, cb(someSlot)), 1u) << "after shutdown";
}

// Counting stand-ins for the defaults, with the same answers.
int waits = 0, ioCalls = 0;
int32_t countingWait(QMX_Socket, QMX_Socket, QMX_Socket, QMX_Socket, int32_t, int32_t) {
    return ++waits, -1;
}
int32_t countingSend(QMX_Socket, const uint8_t *, intptr_t, uint32_t) { return ++ioCalls, -1; }
int32_t countingRecv(QMX_Socket, uint8_t *, intptr_t, uint32_t) { return ++ioCalls, -1; }

// The defaults make the library inert but safe: a relay with nothing else
// ends after one wait, without reading or sending.
TEST(CallbackTables, InitFillsInertHostDefaultsAndEachProtocolsOwnHandlers) {
    ASSERT_EQ(QMX_init(), 0u);
    for (uint32_t p = 0; p < 3; ++p) {
        for (uint32_t slot = 0; slot < QMX_SLOT_COUNT; ++slot)
            EXPECT_EQ(QMX_getProtoCallback(p, slot) != nullptr,
                      slot <= 7 || (slot >= 10 && slot <= 14))
                << p << "/" << slot;
        EXPECT_NE(QMX_getProtoCallback(p, QMX_CB_PROTO_PROCESS),
                  QMX_getProtoCallback((p + 1) % 3, QMX_CB_PROTO_PROCESS));
    }
    auto slot = [](uint32_t s) { return QMX_getProtoCallback(QMX_PROTO_MSN, s); };
    uint8_t buffer[4] = {};
    FilterEvent e{};
    reinterpret_cast<QMX_LogFn>(slot(QMX_CB_LOG))(1, QMX_LOG_DEBUG, "%s", "ignored");
    EXPECT_EQ(reinterpret_cast<QMX_PolicyFn>(slot(QMX_CB_POLICY))(1, "me", 1, "you"), 1);
    EXPECT_EQ(reinterpret_cast<QMX_EventFn>(slot(QMX_CB_EVENT))(1, &e), 1);
    EXPECT_EQ(reinterpret_cast<QMX_RawDataFn>(slot(QMX_CB_RAW_DATA))(1, 1, 2, buffer, 4), 0);
    EXPECT_EQ(reinterpret_cast<QMX_WaitFn>(slot(QMX_CB_WAIT))(1, 2, 1, 2, 3, 0), -1);
    EXPECT_EQ(reinterpret_cast<QMX_SendFn>(slot(QMX_CB_SEND))(1, buffer, 4, 0), -1);
    EXPECT_EQ(reinterpret_cast<QMX_RecvFn>(slot(QMX_CB_RECV))(1, buffer, 4, 0), -1);
    EXPECT_EQ(reinterpret_cast<QMX_HalfCloseFn>(slot(QMX_CB_HALF_CLOSE))(1, 1), 0);

    QMX_setCallback(QMX_CB_WAIT, cb(countingWait));
    QMX_setCallback(QMX_CB_SEND, cb(countingSend));
    QMX_setCallback(QMX_CB_RECV, cb(countingRecv));
    for (uint32_t p = 0; p < 3; ++p) {
        waits = ioCalls = 0;
        const uint32_t id = QMX_newInstance(p, 7, 8, 0);
        QMX_processInstance(id);
        EXPECT_EQ(waits * 10 + ioCalls, 10) << p;
        EXPECT_EQ(QMX_deleteInstance(id), 0u);
    }
    EXPECT_EQ(QMX_shutdown(), 0u);
}

} // namespace
