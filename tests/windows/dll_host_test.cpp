// qmx.dll as a Windows host meets it: loaded with LoadLibrary, every entry
// point found by its plain name, and one YMSG connection relayed through
// callbacks that live in this program. Nothing of the library is linked in.
#include <windows.h>

#include <gtest/gtest.h>

#include <qmx/qmx.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <type_traits>

#include "support/ymsg_builders.h"

namespace {

using qmxtest::Bytes;

// The entry points this host calls, typed from the public header.
struct QmxDll {
    decltype(&QMX_init) init;
    decltype(&QMX_shutdown) shutdown;
    decltype(&QMX_setCallback) setCallback;
    decltype(&QMX_newInstance) newInstance;
    decltype(&QMX_processInstance) processInstance;
    decltype(&QMX_deleteInstance) deleteInstance;
    decltype(&QMX_setReplacementText) setReplacementText;
};
QmxDll dll;

std::map<QMX_Socket, std::deque<Bytes>> incoming;
std::map<QMX_Socket, Bytes> sent;

int32_t hostEvent(uint32_t, FilterEvent *e) {
    if (e->type == QMX_EVENT_TEXT) dll.setReplacementText(0, e, "bye", 3);
    return 1;
}
int32_t hostWait(QMX_Socket a, QMX_Socket b, QMX_Socket, QMX_Socket, int32_t, int32_t) {
    const int32_t bits = (incoming.count(a) ? 1 : 0) | (incoming.count(b) ? 2 : 0);
    return bits != 0 ? bits : -1;
}
int32_t hostSend(QMX_Socket s, const uint8_t *bytes, intptr_t count, uint32_t) {
    sent[s].append(reinterpret_cast<const char *>(bytes), static_cast<size_t>(count));
    return static_cast<int32_t>(count);
}
int32_t hostRecv(QMX_Socket s, uint8_t *buffer, intptr_t size, uint32_t) {
    auto it = incoming.find(s);
    if (it == incoming.end() || it->second.empty()) {
        incoming.erase(s);
        return 0;
    }
    Bytes &chunk = it->second.front();
    const size_t n = std::min(chunk.size(), static_cast<size_t>(size));
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) it->second.pop_front();
    return static_cast<int32_t>(n);
}

TEST(DllHost, LoadsExportsTheFourteenNamesAndRelaysThroughThem) {
    HMODULE module = LoadLibraryA(QMX_DLL_NAME);
    ASSERT_NE(module, nullptr) << GetLastError();
    std::map<std::string, FARPROC> found;
    std::string missing;
    for (const char *name :
         {"QMX_init", "QMX_shutdown", "QMX_setCallback", "QMX_setProtoCallback",
          "QMX_getProtoCallback", "QMX_newInstance", "QMX_deleteInstance", "QMX_processInstance",
          "QMX_getInstanceUserData", "QMX_getInstanceProtoData", "QMX_setReplacementText",
          "QMX_getReplacementText", "QMX_getReplacementTextSize", "QMX_deleteReplacementText"}) {
        found[name] = GetProcAddress(module, name);
        if (found[name] == nullptr) missing += std::string(" ") + name;
    }
    ASSERT_EQ(missing, "");
    auto as = [&](const char *name, auto &entry) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
            reinterpret_cast<void *>(found[name]));
    };
    as("QMX_init", dll.init);
    as("QMX_shutdown", dll.shutdown);
    as("QMX_setCallback", dll.setCallback);
    as("QMX_newInstance", dll.newInstance);
    as("QMX_processInstance", dll.processInstance);
    as("QMX_deleteInstance", dll.deleteInstance);
    as("QMX_setReplacementText", dll.setReplacementText);

    ASSERT_EQ(dll.init(), 0u);
    ASSERT_EQ(dll.setCallback(QMX_CB_EVENT, reinterpret_cast<QMX_Callback>(hostEvent)), 0u);
    ASSERT_EQ(dll.setCallback(QMX_CB_WAIT, reinterpret_cast<QMX_Callback>(hostWait)), 0u);
    ASSERT_EQ(dll.setCallback(QMX_CB_SEND, reinterpret_cast<QMX_Callback>(hostSend)), 0u);
    ASSERT_EQ(dll.setCallback(QMX_CB_RECV, reinterpret_cast<QMX_Callback>(hostRecv)), 0u);
    incoming[101] = {qmxtest::ymsgLogin("alice"), qmxtest::ymsgMessage("alice", "bob", "hello")};
    incoming[202] = {qmxtest::ymsgLogin("alice")};
    const uint32_t id = dll.newInstance(QMX_PROTO_YMSG, 101, 202, 7);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(dll.processInstance(id), 0);
    EXPECT_EQ(sent[202], qmxtest::ymsgLogin("alice") + qmxtest::ymsgMessage("alice", "bob", "bye"));
    EXPECT_EQ(sent[101], qmxtest::ymsgLogin("alice"));
    EXPECT_EQ(dll.deleteInstance(id), 0u);
    EXPECT_EQ(dll.shutdown(), 0u);
    FreeLibrary(module);
}

} // namespace
