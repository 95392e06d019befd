// Whole-instance harness: one relay of the chosen protocol against the
// scripted host, then the invariants that must hold whatever a peer or the
// host does.
#include <algorithm>
#include <string>
#include <vector>

#include "containers/alloc.h"
#include "harness/harness.h"
#include "msn/filter.h"
#include "oscar/framing.h"
#include "support/scripted_host.h"
#include "ymsg/packet.h"

namespace qmxfuzz {
namespace {

using qmxtest::Bytes;
using qmxtest::EventAnswer;
using qmxtest::ScriptedHost;

constexpr QMX_Socket kClient = 11, kServer = 12;
// The MSN check frames the output again through an instance of its own.
constexpr QMX_Socket kEchoClient = 21, kEchoServer = 22;

// A replacement kind: 0 none, 1 empty, 2 given (or "x"), 3 70,000 bytes.
EventAnswer answer(int32_t result, uint8_t kind, const std::string &given) {
    EventAnswer a;
    a.result = result;
    if (kind == 1) a.replacement = Bytes();
    if (kind == 2) a.replacement = given.empty() ? Bytes("x") : given;
    if (kind == 3) a.replacement = Bytes(70000, 'R');
    return a;
}

// A relay script is a header byte (bit 0: refuse events by default, bits 1-2
// the default replacement kind, bit 3: refuse by policy by default, bit 4:
// the next byte n makes allocations fail after 4n during the relay), then
// operations: an op byte (modulo 10), an argument byte except for data, and
// what the operation carries. Queues the script on the host, with `id`
// keying the per-call answers; answers the allocation budget, or -1.
int64_t playScript(FuzzInput &in, uint32_t id) {
    ScriptedHost &host = ScriptedHost::get();
    const uint8_t header = in.u8();
    const int64_t budget = (header & 16) ? int64_t{in.u8()} * 4 : -1;
    host.setDefaultEventAnswer(answer((header & 1) ? 0 : 1, (header >> 1) & 3, "x"));
    host.setDefaultPolicyAnswer((header & 8) ? 0 : 1);
    while (!in.empty()) {
        const uint8_t op = in.u8() % 10, arg = op <= 1 ? 0 : in.u8();
        const QMX_Socket side = (arg & 0x80) ? kServer : kClient; // where arg names a side
        switch (op) {
        case 0: host.pushRecv(kClient, in.chunk()); break; // what the client sends
        case 1: host.pushRecv(kServer, in.chunk()); break;
        case 2: host.setReadLimit(side, arg & 0x3F); break;
        case 3: host.pushOob(side, in.take((arg & 0x7F) + 1)); break;
        case 4: // a replacement of its own comes as a chunk
            host.pushEventAnswer(
                id, answer(arg & 1, (arg >> 1) & 3, ((arg >> 1) & 3) == 2 ? in.chunk() : ""));
            break;
        case 5: host.pushPolicyAnswer(id, arg & 1); break;
        case 6: host.pushRawAnswer(id, arg & 3); break;
        case 7: // limits split a 70,000-byte buffer, yet the host's copies stay few
            (arg & 1) ? host.setSendLimit(side, ((arg >> 1) & 0x0F) * 509u)
                      : host.pushSendResult(side, ((arg >> 1) & 7) - 2);
            break;
        case 8: host.pushWait(kClient, static_cast<int8_t>(arg) % 16); break;
        default: (arg & 1) ? host.pushRecvError(side) : host.pushEof(side);
        }
    }
    host.pushEof(kClient);
    host.pushEof(kServer);
    return budget;
}

// The buffers the relay handed to its send step: a short send is followed
// by an offer of the rest of the same buffer.
std::vector<Bytes> forwardedBuffers(QMX_Socket socket) {
    std::vector<Bytes> buffers;
    size_t open = 0; // bytes of the last buffer still to be taken
    for (const qmxtest::SendCall &call : ScriptedHost::get().sendCalls()) {
        if (call.socket != socket || call.flags != 0) continue;
        const bool rest =
            open > 0 && open == call.offered.size() &&
            buffers.back().compare(buffers.back().size() - open, open, call.offered) == 0;
        if (!rest) buffers.push_back(call.offered);
        const size_t taken = call.result > 0 ? static_cast<size_t>(call.result) : 0;
        open = taken > 0 && taken < call.offered.size() ? call.offered.size() - taken : 0;
    }
    return buffers;
}

// Every forwarded buffer that starts with the protocol's marker is exactly
// one frame: its big-endian length plus the header. Anything else passes a
// foreign stream on: YMSG as its 20-byte header, OSCAR as at most 2048 bytes.
std::string checkFrame(uint32_t protocol, const Bytes &b) {
    const bool ymsg = protocol == QMX_PROTO_YMSG;
    const size_t header = ymsg ? kYmsgHeaderSize : kFlapHeaderSize, at = ymsg ? 8 : 4;
    if (b.compare(0, ymsg ? 4 : 1, ymsg ? "YMSG" : "*") != 0)
        return (ymsg ? b.size() == header : b.size() <= 2048) ? "" : "foreign stream passed on";
    const size_t length = b.size() < header ? 0 : uint8_t(b[at]) << 8 | uint8_t(b[at + 1]);
    return b.size() == length + header ? "" : "frame is not length + header";
}

// What the MSN framer writes is whole commands whose length tokens match
// their payloads, already in its own canonical form: framed again with
// everything allowed and nothing replaced, a buffer comes back byte for byte
// and leaves nothing half-framed. With allocations failing, a command may
// lose what needs memory to decide and go out as it came: then only the
// framing is compared.
std::string checkMsn(uint32_t echo, int direction, const Bytes &b, bool allocationsFailed) {
    auto *data = static_cast<MsnInstanceData *>(QMX_getInstanceProtoData(echo));
    if (data == nullptr) return "no MSN instance for the framing check";
    // Raw traffic is not checkable: a command starts with three capitals.
    if (b.size() < 4 || (b[3] != ' ' && b[3] != '\r') ||
        !std::all_of(b.begin(), b.begin() + 3, [](char c) { return c >= 'A' && c <= 'Z'; }))
        return "";
    DArray *out = DArray_create(1, 1, 2, 0);
    msnFrameBytes(echo, data, reinterpret_cast<const uint8_t *>(b.data()),
                  static_cast<int32_t>(b.size()), direction, out);
    const bool same = Bytes(static_cast<const char *>(DArray_data(out)),
                            static_cast<size_t>(DArray_count(out))) == b;
    DArray_free(out);
    const MsnDirection &d = data->directions[direction];
    if (d.need != 0 || DArray_count(d.pending) != 0) return "MSN buffer ends inside a command";
    return same || allocationsFailed ? "" : "MSN buffer frames differently when framed again";
}

std::string relay(uint32_t protocol, const uint8_t *bytes, size_t size) {
    ScriptedHost &host = ScriptedHost::get();
    if (QMX_init() != 0) return "QMX_init failed";
    host.reset();
    host.install();
    host.addConnection(kClient, kServer);
    host.addConnection(kEchoClient, kEchoServer);
    const uint32_t id = QMX_newInstance(protocol, kClient, kServer, 0);
    FuzzInput in(bytes, size);
    const int64_t budget = id != 0 ? playScript(in, id) : -1;
    // Allocation failures anywhere in the relay may cost frames, never
    // whole-frame forwarding or a clean deletion.
    qmxAllocFailAfter(budget);
    QMX_processInstance(id);
    qmxAllocFailAfter(-1);

    std::string failure = id == 0 ? "QMX_newInstance failed" : "";
    host.setDefaultEventAnswer(EventAnswer{});
    host.setDefaultPolicyAnswer(1);
    for (const QMX_Socket s : {kServer, kClient}) {
        const uint32_t echo = protocol == QMX_PROTO_MSN
                                  ? QMX_newInstance(QMX_PROTO_MSN, kEchoClient, kEchoServer, 0)
                                  : 0;
        const std::vector<Bytes> buffers = forwardedBuffers(s);
        for (size_t i = 0; i < buffers.size() && failure.empty(); ++i) {
            const int direction = s == kServer ? kMsnClientToServer : kMsnServerToClient;
            failure = protocol == QMX_PROTO_MSN ? checkMsn(echo, direction, buffers[i], budget >= 0)
                                                : checkFrame(protocol, buffers[i]);
            if (!failure.empty()) failure += " (buffer " + std::to_string(i) + ")";
        }
        QMX_deleteInstance(echo);
    }
    const bool found = QMX_deleteInstance(id) == 0;
    const std::vector<uint32_t> deleted = host.instanceDeletes();
    if (failure.empty() && !found) failure = "QMX_deleteInstance did not find the instance";
    if (failure.empty() && std::count(deleted.begin(), deleted.end(), id) == 0)
        failure = "slot 9 was not called on deletion";
    if (failure.empty() && QMX_getInstanceProtoData(id) != nullptr)
        failure = "deleted instance still has data";
    QMX_shutdown();
    return failure;
}

} // namespace

std::string relayYmsg(const uint8_t *data, size_t size) {
    return relay(QMX_PROTO_YMSG, data, size);
}
std::string relayOscar(const uint8_t *data, size_t size) {
    return relay(QMX_PROTO_OSCAR, data, size);
}
std::string relayMsn(const uint8_t *data, size_t size) { return relay(QMX_PROTO_MSN, data, size); }

} // namespace qmxfuzz
