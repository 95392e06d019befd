// qmx.dll as a Windows host meets it: loaded at run time with LoadLibrary,
// every entry point found by its plain name with GetProcAddress, and one YMSG
// connection relayed through an in-memory host whose callbacks live in this
// program. Nothing of the library is linked in.
#include <windows.h>

#include <gtest/gtest.h>

#include <qmx/qmx.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "support/ymsg_builders.h"

namespace {

using qmxtest::Bytes;
using qmxtest::ymsgLogin;
using qmxtest::ymsgMessage;
using qmxtest::ymsgPeerToPeer;

constexpr QMX_Socket kClient = 101;
constexpr QMX_Socket kServer = 202;
constexpr uintptr_t kUserData = 0x5EED;

// The 14 entry points, typed from the public header's declarations.
struct QmxDll {
    HMODULE module = nullptr;
    decltype(&QMX_init) init = nullptr;
    decltype(&QMX_shutdown) shutdown = nullptr;
    decltype(&QMX_setCallback) setCallback = nullptr;
    decltype(&QMX_setProtoCallback) setProtoCallback = nullptr;
    decltype(&QMX_getProtoCallback) getProtoCallback = nullptr;
    decltype(&QMX_newInstance) newInstance = nullptr;
    decltype(&QMX_deleteInstance) deleteInstance = nullptr;
    decltype(&QMX_processInstance) processInstance = nullptr;
    decltype(&QMX_getInstanceUserData) getInstanceUserData = nullptr;
    decltype(&QMX_getInstanceProtoData) getInstanceProtoData = nullptr;
    decltype(&QMX_setReplacementText) setReplacementText = nullptr;
    decltype(&QMX_getReplacementText) getReplacementText = nullptr;
    decltype(&QMX_getReplacementTextSize) getReplacementTextSize = nullptr;
    decltype(&QMX_deleteReplacementText) deleteReplacementText = nullptr;
};

// The names GetProcAddress did not find; empty when all 14 resolved.
template <typename F>
void dllResolve(HMODULE module, const char *name, F &entry, std::string &missing) {
    FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        missing += std::string(" ") + name;
    }
    entry = reinterpret_cast<F>(reinterpret_cast<void *>(address));
}

std::string dllLoad(QmxDll &dll) {
    dll.module = LoadLibraryA(QMX_DLL_NAME);
    if (dll.module == nullptr) {
        return "LoadLibrary(" QMX_DLL_NAME ") failed with error " + std::to_string(GetLastError());
    }
    std::string missing;
    dllResolve(dll.module, "QMX_init", dll.init, missing);
    dllResolve(dll.module, "QMX_shutdown", dll.shutdown, missing);
    dllResolve(dll.module, "QMX_setCallback", dll.setCallback, missing);
    dllResolve(dll.module, "QMX_setProtoCallback", dll.setProtoCallback, missing);
    dllResolve(dll.module, "QMX_getProtoCallback", dll.getProtoCallback, missing);
    dllResolve(dll.module, "QMX_newInstance", dll.newInstance, missing);
    dllResolve(dll.module, "QMX_deleteInstance", dll.deleteInstance, missing);
    dllResolve(dll.module, "QMX_processInstance", dll.processInstance, missing);
    dllResolve(dll.module, "QMX_getInstanceUserData", dll.getInstanceUserData, missing);
    dllResolve(dll.module, "QMX_getInstanceProtoData", dll.getInstanceProtoData, missing);
    dllResolve(dll.module, "QMX_setReplacementText", dll.setReplacementText, missing);
    dllResolve(dll.module, "QMX_getReplacementText", dll.getReplacementText, missing);
    dllResolve(dll.module, "QMX_getReplacementTextSize", dll.getReplacementTextSize, missing);
    dllResolve(dll.module, "QMX_deleteReplacementText", dll.deleteReplacementText, missing);
    return missing.empty() ? std::string() : "not exported:" + missing;
}

// The host. Each socket serves its queued chunks (cut to the buffer size)
// and then one end of stream; the wait reports every watched socket that
// has not yet ended as readable and fails once none is left, which ends the
// relay. Every call of slots 0, 1, 2, 8 and 9 is written down in order.
struct Host {
    QmxDll *dll = nullptr;
    std::map<QMX_Socket, std::deque<Bytes>> incoming;
    std::map<QMX_Socket, bool> ended;
    std::map<QMX_Socket, Bytes> sent;
    std::vector<std::string> calls;
    std::vector<uint32_t> callIds;
};

Host host;

void hostRecord(uint32_t id, const std::string &call) {
    host.callIds.push_back(id);
    host.calls.push_back(call);
}

std::string hostName(const char *name) { return name != nullptr ? name : "NULL"; }

void hostLog(uint32_t id, uint32_t level, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    hostRecord(id, "log " + std::to_string(level) + " " + line);
}

// Refuses whatever involves mallory.
int32_t hostPolicy(uint32_t id, const char *local, uint32_t action, const char *remote) {
    hostRecord(id,
               "policy " + hostName(local) + " " + std::to_string(action) + " " + hostName(remote));
    return remote != nullptr && std::strcmp(remote, "mallory") == 0 ? 0 : 1;
}

// Replaces the text "hello" with "bye", through the DLL's own export.
int32_t hostEvent(uint32_t id, FilterEvent *event) {
    Bytes text = event->text != nullptr ? Bytes(event->text, event->textLength) : "NULL";
    hostRecord(id, "event " + std::to_string(event->type) +
                       " fromClient=" + std::to_string(event->fromClient) + " " +
                       hostName(event->from) + " -> " + hostName(event->to) + " '" + text + "'");
    if (event->type == QMX_EVENT_TEXT && text == "hello") {
        host.dll->setReplacementText(0, event, "bye", 3);
    }
    return 1;
}

int32_t hostRawData(uint32_t id, uintptr_t, uintptr_t, const uint8_t *, intptr_t count) {
    hostRecord(id, "raw " + std::to_string(count));
    return 0;
}

int32_t hostWait(QMX_Socket readA, QMX_Socket readB, QMX_Socket, QMX_Socket, int32_t, int32_t) {
    int32_t bits = 0;
    if (readA != 0 && !host.ended[readA]) {
        bits |= 1;
    }
    if (readB != 0 && !host.ended[readB]) {
        bits |= 2;
    }
    return bits != 0 ? bits : -1;
}

int32_t hostSend(QMX_Socket socket, const uint8_t *bytes, intptr_t count, uint32_t flags) {
    if (flags != 0) {
        return -1;
    }
    host.sent[socket].append(reinterpret_cast<const char *>(bytes), static_cast<size_t>(count));
    return static_cast<int32_t>(count);
}

int32_t hostRecv(QMX_Socket socket, uint8_t *buffer, intptr_t size, uint32_t flags) {
    std::deque<Bytes> &queue = host.incoming[socket];
    if (flags != 0 || size < 1) {
        return -1;
    }
    if (queue.empty()) {
        host.ended[socket] = true;
        return 0;
    }
    Bytes &chunk = queue.front();
    size_t n = std::min(chunk.size(), static_cast<size_t>(size));
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) {
        queue.pop_front();
    }
    return static_cast<int32_t>(n);
}

int32_t hostHalfClose(QMX_Socket, int32_t) { return 0; }

uintptr_t hostInstanceNew(uint32_t id, QMX_Socket client, QMX_Socket server, uintptr_t userArg) {
    hostRecord(id, "new " + std::to_string(client) + " " + std::to_string(server) + " " +
                       std::to_string(userArg));
    return kUserData;
}

void hostInstanceDelete(uint32_t id) { hostRecord(id, "delete"); }

template <typename F>
QMX_Callback cb(F *f) {
    return reinterpret_cast<QMX_Callback>(f);
}

class DllHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string failure = dllLoad(dll);
        ASSERT_EQ(failure, "");
        host = Host();
        host.dll = &dll;
    }
    void TearDown() override {
        if (dll.module != nullptr) {
            FreeLibrary(dll.module);
        }
    }

    // Slots 0 to 9 of all three protocols, registered the way a host does.
    void installHost() {
        const QMX_Callback slots[] = {cb(hostLog),           cb(hostPolicy),    cb(hostEvent),
                                      cb(hostRawData),       cb(hostWait),      cb(hostSend),
                                      cb(hostRecv),          cb(hostHalfClose), cb(hostInstanceNew),
                                      cb(hostInstanceDelete)};
        for (uint32_t slot = 0; slot < 10; ++slot) {
            ASSERT_EQ(dll.setCallback(slot, slots[slot]), 0u) << "slot " << slot;
        }
    }

    QmxDll dll;
};

TEST_F(DllHostTest, FreshlyLoadedDllHasNoTablesUntilInit) {
    EXPECT_EQ(dll.setCallback(QMX_CB_WAIT, cb(hostWait)), 1u);
    EXPECT_EQ(dll.getProtoCallback(QMX_PROTO_YMSG, QMX_CB_PROTO_PROCESS), nullptr);
    EXPECT_EQ(dll.processInstance(1), 1);

    ASSERT_EQ(dll.init(), 0u);
    EXPECT_NE(dll.getProtoCallback(QMX_PROTO_YMSG, QMX_CB_PROTO_PROCESS), nullptr);
    EXPECT_EQ(dll.setProtoCallback(QMX_PROTO_YMSG, QMX_CB_WAIT, cb(hostWait)), 0u);
    EXPECT_EQ(dll.getProtoCallback(QMX_PROTO_YMSG, QMX_CB_WAIT), cb(hostWait));
    EXPECT_EQ(dll.shutdown(), 0u);

    EXPECT_EQ(dll.getProtoCallback(QMX_PROTO_YMSG, QMX_CB_WAIT), nullptr);
}

// Client: a login, a message whose text the host replaces, and a
// peer-to-peer set-up. Server: a message for the client, and one from a
// sender the policy refuses.
TEST_F(DllHostTest, YmsgConnectionIsFilteredAndRelayedThroughTheExports) {
    ASSERT_EQ(dll.init(), 0u);
    installHost();
    host.incoming[kClient] = {ymsgLogin("alice"), ymsgMessage("alice", "bob", "hello"),
                              ymsgPeerToPeer("alice", "bob")};
    host.incoming[kServer] = {ymsgMessage("bob", "alice", "hi there"),
                              ymsgMessage("mallory", "alice", "spam")};

    uint32_t id = dll.newInstance(QMX_PROTO_YMSG, kClient, kServer, 7);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(dll.getInstanceUserData(id), kUserData);
    EXPECT_NE(dll.getInstanceProtoData(id), nullptr);

    EXPECT_EQ(dll.processInstance(id), 0);

    EXPECT_EQ(host.sent[kServer], ymsgLogin("alice") + ymsgMessage("alice", "bob", "bye"));
    EXPECT_EQ(host.sent[kClient], ymsgMessage("bob", "alice", "hi there"));

    EXPECT_EQ(dll.deleteInstance(id), 0u);
    EXPECT_EQ(dll.deleteInstance(id), 2u);
    EXPECT_EQ(dll.shutdown(), 0u);

    // One pass of the relay takes one packet from each readable side,
    // client first.
    const std::vector<std::string> expected = {
        "new 101 202 7",
        "event 0 fromClient=1 alice ->  'NULL'",
        "policy alice 0 NULL",
        "event 1 fromClient=0 bob -> alice 'hi there'",
        "policy alice 2 bob",
        "event 1 fromClient=1 alice -> bob 'hello'",
        "policy alice 1 bob",
        "event 1 fromClient=0 mallory -> alice 'spam'",
        "policy alice 2 mallory",
        "log 1 Server connection closed",
        "log 1 Client connection closed",
        "delete",
    };
    EXPECT_EQ(host.calls, expected);
    EXPECT_EQ(host.callIds, std::vector<uint32_t>(host.calls.size(), id));
}

} // namespace
