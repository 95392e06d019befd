// Whole-instance harness: one relay of the chosen protocol against the
// scripted host, then the invariants that must hold for anything a peer or a
// host can do.
#include "harness/harness.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "containers/alloc.h"
#include "harness/fuzz_input.h"
#include "msn/filter.h"
#include "oscar/framing.h"
#include "support/scripted_host.h"
#include "ymsg/packet.h"

namespace qmxfuzz {
namespace {

using qmxtest::Bytes;
using qmxtest::EventAnswer;
using qmxtest::ScriptedHost;
using qmxtest::SendCall;

constexpr QMX_Socket kClient = 11;
constexpr QMX_Socket kServer = 12;
// The MSN fixed-point check frames through an instance of its own.
constexpr QMX_Socket kEchoClient = 21;
constexpr QMX_Socket kEchoServer = 22;

std::string describe(const char *what, size_t index, size_t got, size_t expected) {
    char text[160];
    std::snprintf(text, sizeof text, "%s (buffer %zu): %zu bytes, expected %zu", what, index, got,
                  expected);
    return text;
}

EventAnswer replacementAnswer(int32_t result, uint8_t kind, const std::string &given) {
    EventAnswer answer;
    answer.result = result;
    switch (kind & 3) {
    case script::kEmptyReplacement: answer.replacement = Bytes(); break;
    case script::kGivenReplacement: answer.replacement = given.empty() ? Bytes("x") : given; break;
    case script::kHugeReplacement:
        answer.replacement = Bytes(script::kHugeReplacementSize, 'R');
        break;
    default: break;
    }
    return answer;
}

// Queues the script on the host; `id` keys the per-call answers. Answers the
// allocation budget of the relay, or -1 for none.
int64_t playScript(FuzzInput &in, uint32_t id) {
    ScriptedHost &host = ScriptedHost::get();
    const uint8_t header = in.u8();
    const int64_t budget = (header & script::kFailAllocations) ? int64_t{in.u8()} * 4 : -1;
    host.setDefaultEventAnswer(replacementAnswer((header & script::kRefuseEvents) ? 0 : 1,
                                                 header >> script::kReplacementShift, "x"));
    host.setDefaultPolicyAnswer((header & script::kRefusePolicy) ? 0 : 1);
    while (!in.empty()) {
        const uint8_t op = in.u8() % script::kOpCount;
        const uint8_t arg = op == script::kClientData || op == script::kServerData ? 0 : in.u8();
        const QMX_Socket side = (arg & 0x80) ? kServer : kClient;
        switch (op) {
        case script::kClientData: host.pushRecv(kClient, in.chunk()); break;
        case script::kServerData: host.pushRecv(kServer, in.chunk()); break;
        case script::kReadLimit: host.setReadLimit(side, arg & 0x3F); break;
        case script::kOutOfBand: host.pushOob(side, in.take((arg & 0x7F) + 1)); break;
        case script::kEventAnswer: {
            const uint8_t kind = (arg >> 1) & 3;
            const std::string given =
                kind == script::kGivenReplacement ? in.chunk() : std::string();
            host.pushEventAnswer(id, replacementAnswer(arg & 1, kind, given));
            break;
        }
        case script::kPolicyAnswer: host.pushPolicyAnswer(id, arg & 1); break;
        case script::kRawAnswer: host.pushRawAnswer(id, arg & 3); break;
        case script::kSendBehaviour:
            // Limits split a 70,000-byte buffer, yet stay large enough that
            // the host's record of every offer (a copy each) stays small.
            if (arg & 1)
                host.setSendLimit(side, ((arg >> 1) & 0x0F) * 509u);
            else
                host.pushSendResult(side, static_cast<int32_t>((arg >> 1) & 7) - 2);
            break;
        case script::kWait: host.pushWait(kClient, static_cast<int8_t>(arg) % 16); break;
        case script::kSideEnds:
            if (arg & 1)
                host.pushRecvError(side);
            else
                host.pushEof(side);
            break;
        default: break;
        }
    }
    host.pushEof(kClient);
    host.pushEof(kServer);
    return budget;
}

// The buffers the relay handed to its send step, one per buffer: the first
// offer of a buffer is the whole buffer, and a short send is followed by an
// offer of the rest.
std::vector<Bytes> forwardedBuffers(QMX_Socket socket) {
    std::vector<Bytes> buffers;
    const SendCall *open = nullptr;
    for (const SendCall &call : ScriptedHost::get().sendCalls()) {
        if (call.socket != socket || call.flags != 0) continue;
        const bool continues =
            open != nullptr && open->result > 0 &&
            static_cast<size_t>(open->result) < open->offered.size() &&
            call.offered == open->offered.substr(static_cast<size_t>(open->result));
        if (!continues) buffers.push_back(call.offered);
        open = &call;
    }
    return buffers;
}

uint32_t bigEndian16(const Bytes &b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 8 |
           static_cast<uint8_t>(b[at + 1]);
}

// Every forwarded buffer that starts with the protocol's marker is exactly
// one frame: the big-endian length at lengthAt plus the header. Anything
// else is a pass-through of a foreign stream, which has a size limit.
std::string checkFrames(QMX_Socket socket, const Bytes &marker, size_t header, size_t lengthAt,
                        size_t passMin, size_t passMax) {
    const std::vector<Bytes> buffers = forwardedBuffers(socket);
    for (size_t i = 0; i < buffers.size(); ++i) {
        const Bytes &b = buffers[i];
        if (b.compare(0, marker.size(), marker) != 0) {
            if (b.size() < passMin || b.size() > passMax)
                return describe("pass-through of a foreign stream", i, b.size(), passMax);
            continue;
        }
        const size_t expected = b.size() >= header ? bigEndian16(b, lengthAt) + header : header;
        if (b.size() != expected)
            return describe("frame is not length + header", i, b.size(), expected);
    }
    return "";
}

// The start of a buffer, printable, for the failure report.
std::string excerpt(const Bytes &b) {
    std::string out;
    for (size_t i = 0; i < b.size() && i < 160; ++i) {
        const unsigned char c = static_cast<unsigned char>(b[i]);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

bool msnLooksLikeCommand(const Bytes &b) {
    if (b.size() < 4) return false;
    for (int i = 0; i < 3; ++i)
        if (b[i] < 'A' || b[i] > 'Z') return false;
    return b[3] == ' ' || b[3] == '\r';
}

// What the framer writes is whole commands whose length tokens match their
// payloads, and every rewrite it makes is already in its own canonical form:
// framing a written buffer again, with everything allowed and nothing
// replaced, must give back the same bytes and leave nothing half-framed.
// With allocations failing during the relay, a command may lose what needs
// memory to decide (a UUN header table, say) and go out as it came: then
// only the framing itself is compared, not the bytes.
std::string checkMsnBuffers(QMX_Socket socket, int direction, bool allocationsFailed) {
    ScriptedHost &host = ScriptedHost::get();
    host.setDefaultEventAnswer(EventAnswer{});
    host.setDefaultPolicyAnswer(1);
    const uint32_t echo = QMX_newInstance(QMX_PROTO_MSN, kEchoClient, kEchoServer, 0);
    auto *data = static_cast<MsnInstanceData *>(QMX_getInstanceProtoData(echo));
    if (data == nullptr) return "MSN instance for the framing check could not be created";
    std::string failure;
    const std::vector<Bytes> buffers = forwardedBuffers(socket);
    for (size_t i = 0; i < buffers.size() && failure.empty(); ++i) {
        const Bytes &b = buffers[i];
        if (!msnLooksLikeCommand(b)) continue; // raw traffic, or not checkable
        DArray *out = DArray_create(1, 1, 2, 0);
        msnFrameBytes(echo, data, reinterpret_cast<const uint8_t *>(b.data()),
                      static_cast<int32_t>(b.size()), direction, out);
        const Bytes again(static_cast<const char *>(DArray_data(out)),
                          static_cast<size_t>(DArray_count(out)));
        DArray_free(out);
        const MsnDirection &d = data->directions[direction];
        if (d.need != 0 || DArray_count(d.pending) != 0)
            failure = describe("MSN buffer ends inside a command", i, b.size(), b.size()) + ": " +
                      excerpt(b);
        else if (again != b && !allocationsFailed)
            failure = describe("MSN buffer frames differently when framed again", i, again.size(),
                               b.size()) +
                      ": " + excerpt(b);
    }
    QMX_deleteInstance(echo);
    return failure;
}

std::string relay(uint32_t protocol, const uint8_t *bytes, size_t size) {
    ScriptedHost &host = ScriptedHost::get();
    if (QMX_init() != 0) return "QMX_init failed";
    host.reset();
    host.install();
    host.addConnection(kClient, kServer);
    host.addConnection(kEchoClient, kEchoServer);
    const uint32_t id = QMX_newInstance(protocol, kClient, kServer, 0);
    if (id == 0) {
        QMX_shutdown();
        return "QMX_newInstance failed";
    }
    FuzzInput in(bytes, size);
    const int64_t budget = playScript(in, id);
    // Allocation failures anywhere in the relay may cost frames, never
    // whole-frame forwarding or a clean deletion.
    if (budget >= 0) qmxAllocFailAfter(budget);
    QMX_processInstance(id);
    qmxAllocFailAfter(-1);

    std::string failure;
    switch (protocol) {
    case QMX_PROTO_YMSG:  // a foreign stream goes on as its first 20 bytes
    case QMX_PROTO_OSCAR: // or as at most 2048 bytes
        for (QMX_Socket s : {kServer, kClient}) {
            if (failure.empty())
                failure = protocol == QMX_PROTO_YMSG ? checkFrames(s, "YMSG", kYmsgHeaderSize, 8,
                                                                   kYmsgHeaderSize, kYmsgHeaderSize)
                                                     : checkFrames(s, Bytes(1, char(kFlapMarker)),
                                                                   kFlapHeaderSize, 4, 0, 2048);
        }
        break;
    default:
        failure = checkMsnBuffers(kServer, kMsnClientToServer, budget >= 0);
        if (failure.empty()) failure = checkMsnBuffers(kClient, kMsnServerToClient, budget >= 0);
        break;
    }
    if (QMX_deleteInstance(id) != 0 && failure.empty())
        failure = "QMX_deleteInstance did not find the instance";
    const std::vector<uint32_t> deletes = host.instanceDeletes();
    if (failure.empty() && std::find(deletes.begin(), deletes.end(), id) == deletes.end())
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
