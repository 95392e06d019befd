#include "oscar/filter.h"

#include <cstring>

#include "containers/alloc.h"
#include "containers/darray.h"
#include "containers/hash_table.h"
#include "oscar/decode.h"

namespace {

const char kNoText[] = "(NULL)";

// A truncated ICBM keeps: SNAC header, cookie, channel, name length byte and
// the name; an incoming one also its warning level and a user-info count.
constexpr uint32_t kOutgoingIcbmHeaderSize = kSnacHeaderSize + 8 + 2 + 1;
constexpr uint32_t kIncomingIcbmHeaderSize = kOutgoingIcbmHeaderSize + 2 + 2;
constexpr uint32_t kFlapLengthOffset = 4;

QMX_PolicyFn policySlot() {
    return reinterpret_cast<QMX_PolicyFn>(oscarCachedCallback(QMX_CB_POLICY));
}

QMX_EventFn eventSlot() { return reinterpret_cast<QMX_EventFn>(oscarCachedCallback(QMX_CB_EVENT)); }

bool isLoginClass(FrameClass cls) {
    return cls == FrameClass::LoginRequest || cls == FrameClass::LoginReply ||
           cls == FrameClass::CookieSignon;
}

uint32_t eventTypeOf(FrameClass cls) {
    switch (cls) {
    case FrameClass::LoginRequest:
    case FrameClass::LoginReply:
    case FrameClass::CookieSignon: return QMX_EVENT_LOGIN;
    case FrameClass::FileSend:
    case FrameClass::FileReceive: return QMX_EVENT_FILE;
    case FrameClass::IncomingIm:
    case FrameClass::OutgoingIm: return QMX_EVENT_TEXT;
    case FrameClass::IncomingDatacast:
    case FrameClass::OutgoingDatacast: return QMX_EVENT_DATACAST;
    default: return QMX_EVENT_OTHER;
    }
}

uint32_t messageActionOf(FrameClass cls) {
    switch (cls) {
    case FrameClass::IncomingIm: return QMX_ACTION_IM_IN;
    case FrameClass::OutgoingIm: return QMX_ACTION_IM_OUT;
    case FrameClass::IncomingDatacast: return QMX_ACTION_DATACAST_IN;
    default: return QMX_ACTION_DATACAST_OUT;
    }
}

size_t nameLength(const char *name) { return strnlen(name, kOscarNameMax); }

// The user's second connection signs on with the cookie of an earlier login
// reply; claiming that ticket tells us who is on this connection.
void claimPendingLogin(OscarSession *session, ByteStream *frame) {
    uint8_t cookie[kOscarCookieSize] = {};
    parseSignonCookie(frame, cookie);
    QmxLockGuard guard(oscarLock());
    const int32_t count = DArray_count(pendingLogins);
    for (int32_t i = 0; i < count; ++i) {
        PendingLogin item;
        DArray_get(i, &item, pendingLogins);
        const size_t n =
            item.cookieLength < kOscarCookieSize ? item.cookieLength : kOscarCookieSize;
        if (std::memcmp(item.cookie, cookie, n) != 0) continue;
        item.screenName[kOscarNameMax] = '\0';
        std::memcpy(session->clientName, item.screenName, kOscarNameSize);
        DArray_remove(i, nullptr, pendingLogins);
        const uint32_t zero = 0;
        HashTable_insert(session->clientName, static_cast<int32_t>(nameLength(session->clientName)),
                         &zero, signedOn);
        return;
    }
}

void rememberLoginReply(ByteStream *frame) {
    PendingLogin item{};
    if (parseLoginReply(frame, item.screenName, item.cookie, &item.cookieLength) != 1) return;
    QmxLockGuard guard(oscarLock());
    if (!pendingLogins) return;
    // A reply is claimed seconds later by the user's next connection. One
    // never claimed (a client that gives up, or a hostile server) would stay
    // for the life of the process, so the oldest makes room.
    if (DArray_count(pendingLogins) >= kOscarMaxPendingLogins) {
        DArray_remove(0, nullptr, pendingLogins);
    }
    DArray_append(&item, pendingLogins);
}

void markSignedOn(const char *name) {
    const uint32_t zero = 0;
    QmxLockGuard guard(oscarLock());
    HashTable_insert(name, static_cast<int32_t>(nameLength(name)), &zero, signedOn);
}

bool isSignedOn(const char *name) {
    QmxLockGuard guard(oscarLock());
    return HashTable_find(name, static_cast<int32_t>(nameLength(name)), nullptr, signedOn) == HT_OK;
}

void fillEvent(FrameClass cls, const char *label, const OscarSession *session, const char *name,
               const IcbmInfo &info, FilterEvent *event) {
    *event = FilterEvent{};
    event->type = eventTypeOf(cls);
    if (isLoginClass(cls)) {
        // A login names only the user logging in; a cookie sign-on carries
        // no name, so it shows the one learned from its ticket.
        event->fromClient = std::strcmp(label, kOscarLabelClientToServer) == 0 ? 1 : 0;
        event->from = cls == FrameClass::CookieSignon ? session->clientName : name;
        event->to = nullptr;
    } else {
        event->fromClient = info.direction != 0 ? 1 : 0;
        event->from = event->fromClient ? session->clientName : name;
        event->to = event->fromClient ? name : session->clientName;
        event->wideText = info.charsetClass != 0 ? 1 : 0;
    }
    if (info.text && !isLoginClass(cls)) {
        event->text = reinterpret_cast<const char *>(info.text);
        event->textLength = info.textLength;
    } else {
        event->text = kNoText;
        event->textLength = 0;
    }
}

// Rebuilds the frame around the host's replacement text. A text that would
// not fit a 16-bit length, or would push the FLAP length or an enclosing
// length out of 0..65535, is not applied: the frame goes out as it came.
bool applyReplacement(ByteStream *frame, const FilterEvent &event, OscarFrameWork *work) {
    const uint64_t size = QMX_getReplacementTextSize(&event);
    if (size > kFlapMaxLength) return false;
    const auto replacementLength = static_cast<uint16_t>(size);
    IcbmInfo info;
    LengthFixupList fixups{};
    parseIcbm(frame, &info, nullptr, nullptr, 0, &fixups);
    if (info.status != kIcbmStatusText) return false;
    FlapHeader header;
    readFlapHeader(frame, &header);
    const int64_t difference = int64_t{replacementLength} - info.textLength;
    const int64_t newLength = int64_t{header.length} + difference;
    if (newLength < 0 || newLength > kFlapMaxLength) return false;
    for (uint32_t i = 0; i < fixups.count; ++i) {
        const int64_t moved = int64_t{fixups.entry[i].value} + difference;
        if (moved < 0 || moved > kFlapMaxLength) return false;
    }

    const uint32_t total = static_cast<uint32_t>(newLength) + kFlapHeaderSize;
    auto *rewritten = static_cast<uint8_t *>(qmxMalloc(total));
    if (!rewritten) return false;
    ByteStream output;
    ByteStream_init(rewritten, total, &output);
    if (parseIcbm(frame, &info, &output, QMX_getReplacementText(&event), replacementLength,
                  &fixups) != 1) {
        qmxFree(rewritten);
        return false;
    }
    work->rewritten = rewritten;
    ByteStream_init(rewritten, total, frame);
    return true;
}

// Approved rendezvous cookies let exactly one further frame of the same
// transfer through without asking again.
bool decideFile(OscarSession *session, const IcbmInfo &info, const char *peer, int32_t verdict,
                const char *sender, const char *receiver) {
    uint8_t cookie[kOscarCookieItemSize] = {};
    ByteStream cookieStream;
    ByteStream_init(cookie, sizeof cookie, &cookieStream);
    ByteStream_writeU32(info.cookie[0], &cookieStream);
    ByteStream_writeU32(info.cookie[1], &cookieStream);

    const auto keyLength = static_cast<int32_t>(nameLength(peer));
    DArray *list = nullptr;
    if (HashTable_find(peer, keyLength, &list, session->approvals) == HT_OK && list) {
        for (int32_t i = 0; i < DArray_count(list); ++i) {
            uint8_t item[kOscarCookieItemSize];
            DArray_get(i, item, list);
            if (std::memcmp(item, cookie, sizeof cookie) == 0) {
                DArray_remove(i, nullptr, list);
                return true;
            }
        }
    }
    if (verdict == 0 || !checkFilePolicy(session->instanceId, sender, receiver)) return false;
    // Approvals only spare the policy a second question, so they are bounded
    // rather than kept for the connection's life: a peer's oldest cookie makes
    // room for its newest, and past the peer bound a transfer is simply asked
    // about again at its next frame.
    if (!list && HashTable_count(session->approvals) >= kOscarMaxApprovalPeers) return true;
    if (list && DArray_count(list) >= kOscarMaxApprovalsPerPeer) DArray_remove(0, nullptr, list);
    if (!list) {
        list = DArray_create(1, kOscarCookieItemSize, 2, 0);
        if (list && HashTable_insert(peer, keyLength, &list, session->approvals) != HT_OK) {
            DArray_free(list);
            list = nullptr;
        }
    }
    // Without memory to remember the approval the transfer still passes; its
    // next frame is simply asked about again.
    if (list) DArray_append(cookie, list);
    return true;
}

int truncateIcbm(ByteStream *frame, char name[kOscarNameSize], uint16_t subtype) {
    FlapHeader header;
    SnacHeader snac;
    if (!readFlapHeader(frame, &header) || header.channel != kFlapChannelData ||
        !oscarReadSnacHeader(frame, &snac) || snac.family != kSnacFamilyIcbm ||
        snac.subtype != subtype)
        return 0;
    uint8_t length = 0;
    if (ByteStream_remaining(frame) < 8 + 2) return 0;
    ByteStream_skip(8 + 2, frame);
    if (!ByteStream_readU8(&length, frame) || ByteStream_remaining(frame) < length) return 0;
    if (name[0] == '\0') {
        oscarCopyName(ByteStream_current(frame), length, name);
        return 0;
    }
    if (!oscarNameMatches(ByteStream_current(frame), length, name)) return 0;
    uint32_t newLength = kOutgoingIcbmHeaderSize + length;
    if (subtype == kSnacIcbmToClient) {
        ByteStream_skip(length, frame);
        if (ByteStream_remaining(frame) < 4) return 0;
        ByteStream_skip(2, frame);
        ByteStream_writeU16(0, frame);
        newLength = kIncomingIcbmHeaderSize + length;
    }
    oscarSeek(kFlapLengthOffset, frame);
    ByteStream_writeU16(static_cast<uint16_t>(newLength), frame);
    return 1;
}

} // namespace

int truncateOutgoingIcbm(ByteStream *frame, char name[kOscarNameSize]) {
    return truncateIcbm(frame, name, kSnacIcbmFromClient);
}

int truncateIncomingIcbm(ByteStream *frame, char name[kOscarNameSize]) {
    return truncateIcbm(frame, name, kSnacIcbmToClient);
}

bool checkFilePolicy(uint32_t id, const char *sender, const char *receiver) {
    if (isSignedOn(sender) && policySlot()(id, sender, QMX_ACTION_FILE_SEND, receiver) == 0)
        return false;
    if (isSignedOn(receiver) && policySlot()(id, receiver, QMX_ACTION_FILE_RECEIVE, sender) == 0)
        return false;
    return true;
}

OscarVerdict oscarFilterFrame(const char *label, OscarSession *session, ByteStream *frame,
                              OscarFrameWork *work) {
    const uint32_t id = session->instanceId;
    char name[kOscarNameSize];
    IcbmInfo info{};
    FrameClass cls = classifyFrame(frame, name, &info);

    const bool fromClientSide = std::strcmp(label, kOscarLabelClientToServer) == 0;
    if (fromClientSide && cls == FrameClass::CookieSignon && session->clientName[0] == '\0')
        claimPendingLogin(session, frame);

    FilterEvent *event = &work->event;
    fillEvent(cls, label, session, name, info, event);
    int32_t verdict = 1;
    if (event->type != QMX_EVENT_OTHER) verdict = eventSlot()(id, event);

    if (event->replacement && event->type == QMX_EVENT_TEXT) {
        ByteStream original = *frame;
        if (applyReplacement(frame, *event, work)) {
            const FrameClass again = classifyFrame(frame, name, &info);
            // The rewrite only moves the text and its lengths; should it ever
            // read as something else, the original frame is used instead.
            if (again != cls) {
                *frame = original;
                cls = classifyFrame(frame, name, &info);
            }
        }
    }

    const char *client = session->clientName;
    switch (cls) {
    case FrameClass::LoginRequest:
        if (policySlot()(id, name, QMX_ACTION_LOGIN, nullptr) == 0) {
            parseLoginRequest(frame, name);
            oscarLog(id, QMX_LOG_BLOCKED, "Blocked LOGIN from client %s", name);
        }
        break;
    case FrameClass::LoginReply:
        if (client[0] == '\0') rememberLoginReply(frame);
        break;
    case FrameClass::FileSend:
        if (!decideFile(session, info, name, verdict, client, name)) {
            oscarLog(id, QMX_LOG_BLOCKED, "Blocked file send from client %s to user %s", client,
                     name);
            truncateOutgoingIcbm(frame, name);
        }
        break;
    case FrameClass::FileReceive:
        if (!decideFile(session, info, name, verdict, name, client)) {
            oscarLog(id, QMX_LOG_BLOCKED, "Blocked file receive from user %s to client %s", name,
                     client);
            truncateIncomingIcbm(frame, name);
        }
        break;
    case FrameClass::IncomingIm:
    case FrameClass::OutgoingIm:
    case FrameClass::IncomingDatacast:
    case FrameClass::OutgoingDatacast:
        if (verdict != 0 && policySlot()(id, client, messageActionOf(cls), name) != 0) break;
        if (info.direction == 0) {
            oscarLog(id, QMX_LOG_BLOCKED, "Blocked incoming IM/DATACAST from user %s to client %s",
                     name, client);
            truncateIncomingIcbm(frame, name);
        } else {
            oscarLog(id, QMX_LOG_BLOCKED, "Blocked outgoing IM/DATACAST from client %s to user %s",
                     client, name);
            truncateOutgoingIcbm(frame, name);
        }
        break;
    case FrameClass::SelfInfo:
        if (client[0] != '\0') break;
        if (policySlot()(id, name, QMX_ACTION_LOGIN, nullptr) == 0) {
            oscarLog(id, QMX_LOG_BLOCKED, "Blocked LOGIN from client %s", name);
            return OscarVerdict::kClose;
        }
        std::memcpy(session->clientName, name, kOscarNameSize);
        markSignedOn(session->clientName);
        break;
    default: break;
    }
    return OscarVerdict::kForward;
}

void oscarReleaseFrameWork(OscarFrameWork *work) {
    QMX_deleteReplacementText(&work->event);
    qmxFree(work->rewritten);
    work->rewritten = nullptr;
}
