#include "ymsg/filter.h"

#include <cstring>

#include "containers/alloc.h"
#include "ymsg/packet.h"

namespace {

// Room for a user name and its terminator; YMSG identities are far shorter,
// so a longer value is cut rather than refused.
constexpr uint32_t kYmsgNameBufferSize = 64;

// A buzz is a message whose text is "<ding>" under a bounded string
// comparison over the text's own length: a leading part of it, the empty
// text and a missing text all count, "<ding>" followed by more bytes does not.
bool ymsgIsBuzz(const YmsgValue &text) {
    static const char kBuzz[] = "<ding>";
    ByteStream value{};
    ByteStream_init(text.data, text.length, &value);
    for (uint32_t i = 0; i < text.length; ++i) {
        uint8_t byte = 0;
        ByteStream_readU8(&byte, &value);
        auto expected = static_cast<uint8_t>(kBuzz[i]);
        if (byte != expected) return false;
        if (expected == 0) return true; // both ended together
    }
    return true;
}

void ymsgCopyName(const YmsgValue &value, char (&buffer)[kYmsgNameBufferSize]) {
    buffer[0] = '\0';
    if (value.data == nullptr) return;
    uint32_t n = value.length < kYmsgNameBufferSize - 1 ? value.length : kYmsgNameBufferSize - 1;
    ByteStream name{};
    ByteStream_init(value.data, value.length, &name);
    ByteStream_read(buffer, n, &name);
    buffer[n] = '\0';
}

// Rebuilds the packet with `replacement` in place of the text value and
// re-points `packet` at the copy. The packet stays as received when the new
// field list would not fit the 16-bit length or the copy cannot be allocated:
// the host still sees the original text through the policy.
void ymsgRewriteText(ByteStream *packet, const YmsgValue &text, const uint8_t *replacement,
                     uint64_t replacementSize) {
    YmsgHeader header{};
    ByteStream_rewind(packet);
    ymsgReadHeader(&header, packet);
    if (replacementSize > kYmsgMaxBodyLength) return;
    int64_t newLength =
        int64_t{header.length} + static_cast<int64_t>(replacementSize) - text.length;
    if (newLength < 0 || newLength > kYmsgMaxBodyLength) return;

    uint32_t newSize = static_cast<uint32_t>(newLength) + kYmsgHeaderSize;
    auto *rewritten = static_cast<uint8_t *>(qmxMalloc(newSize));
    if (rewritten == nullptr) return;
    ByteStream out{};
    ByteStream_init(rewritten, newSize, &out);
    header.length = static_cast<uint16_t>(newLength);
    ymsgWriteHeader(&header, &out);

    // The text value lies inside the field list, after the header just read.
    auto before = static_cast<uint32_t>(text.data - ByteStream_current(packet));
    ByteStream_write(ByteStream_current(packet), before, &out);
    ByteStream_skip(before + text.length, packet);
    ByteStream_write(replacement, static_cast<uint32_t>(replacementSize), &out);
    ByteStream_write(ByteStream_current(packet), ByteStream_remaining(packet), &out);

    ByteStream_init(rewritten, newSize, packet);
}

uint32_t ymsgEventType(uint16_t service, const YmsgFields &fields) {
    switch (service) {
    case kYmsgServiceMessage: return QMX_EVENT_TEXT;
    case kYmsgServiceAuth: return QMX_EVENT_LOGIN;
    case kYmsgServiceDatacast: return QMX_EVENT_DATACAST;
    case kYmsgServiceFileTransfer:
        return fields.text.data != nullptr ? QMX_EVENT_FILE : QMX_EVENT_OTHER;
    default: return QMX_EVENT_OTHER;
    }
}

} // namespace

YmsgVerdict ymsgFilterPacket(const char *label, const YmsgSession *session, ByteStream *packet,
                             FilterEvent *event) {
    event->replacement = nullptr;
    YmsgFields fields{};
    uint16_t service = ymsgParsePacket(packet, &fields);
    if (service == kYmsgServiceMessage && ymsgIsBuzz(fields.text)) service = kYmsgServiceDatacast;

    char from[kYmsgNameBufferSize];
    char to[kYmsgNameBufferSize];
    ymsgCopyName(fields.sender, from);
    ymsgCopyName(fields.recipient, to);
    bool fromClient = std::strcmp(label, kYmsgLabelClientToServer) == 0;

    event->type = ymsgEventType(service, fields);
    event->fromClient = fromClient ? 1 : 0;
    event->from = from;
    event->to = to;
    event->wideText = 0;
    event->text = reinterpret_cast<const char *>(fields.text.data);
    event->textLength = fields.text.length;

    uint32_t id = session->instanceId;
    int32_t verdict = 1;
    auto onEvent = reinterpret_cast<QMX_EventFn>(ymsgCachedCallback(QMX_CB_EVENT));
    if (onEvent != nullptr && event->type != QMX_EVENT_OTHER) {
        verdict = onEvent(id, event);
        if (verdict == 0) return YmsgVerdict::kDrop;
    }

    // Peer-to-peer set-up would let the clients talk past this filter.
    if (service == kYmsgServicePeerToPeer) return YmsgVerdict::kDrop;

    auto policy = reinterpret_cast<QMX_PolicyFn>(ymsgCachedCallback(QMX_CB_POLICY));
    if (policy == nullptr) return verdict != 0 ? YmsgVerdict::kForward : YmsgVerdict::kDrop;

    // The policy takes the local user first: the sender for a packet from the
    // client, the recipient for one from the server.
    switch (service) {
    case kYmsgServiceMessage:
        if (event->replacement != nullptr) {
            ymsgRewriteText(packet, fields.text, QMX_getReplacementText(event),
                            QMX_getReplacementTextSize(event));
        }
        verdict = fromClient ? policy(id, from, QMX_ACTION_IM_OUT, to)
                             : policy(id, to, QMX_ACTION_IM_IN, from);
        break;
    case kYmsgServiceAuth:
        if (fromClient) verdict = policy(id, from, QMX_ACTION_LOGIN, nullptr);
        break;
    case kYmsgServiceDatacast:
        verdict = fromClient ? policy(id, from, QMX_ACTION_DATACAST_OUT, to)
                             : policy(id, to, QMX_ACTION_DATACAST_IN, from);
        break;
    case kYmsgServiceFileTransfer:
        if (fields.text.data != nullptr) {
            verdict = fromClient ? policy(id, from, QMX_ACTION_FILE_SEND, to)
                                 : policy(id, to, QMX_ACTION_FILE_RECEIVE, from);
        }
        break;
    default: break;
    }
    return verdict != 0 ? YmsgVerdict::kForward : YmsgVerdict::kDrop;
}
