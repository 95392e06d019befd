#include "msn/policy.h"

#include <cstring>

namespace {

int32_t msnAskEvent(uint32_t id, FilterEvent *event) {
    auto slot = reinterpret_cast<QMX_EventFn>(QMX_getProtoCallback(QMX_PROTO_MSN, QMX_CB_EVENT));
    return slot != nullptr ? slot(id, event) : 1;
}

int32_t msnAskPolicy(uint32_t id, const char *local, uint32_t action, const char *remote) {
    auto slot = reinterpret_cast<QMX_PolicyFn>(QMX_getProtoCallback(QMX_PROTO_MSN, QMX_CB_POLICY));
    return slot != nullptr ? slot(id, local, action, remote) : 1;
}

// Event and policy for messages, files, datacasts and acceptances: the event
// names the sender and the recipient, the policy always (own, action, peer).
int32_t msnAskAboutTraffic(uint32_t id, FilterEvent *event, bool outgoing, uint32_t eventType,
                           uint32_t outAction, uint32_t inAction, const char *own,
                           const char *peer) {
    event->type = eventType;
    event->from = outgoing ? own : peer;
    event->to = outgoing ? peer : own;
    if (msnAskEvent(id, event) == 0) {
        return 1;
    }
    return msnAskPolicy(id, own, outgoing ? outAction : inAction, peer) == 0 ? 1 : 0;
}

void msnSetAddress(const char *address, DArray *target) {
    DArray_clear(target);
    DArray_appendRun(address, static_cast<int32_t>(std::strlen(address)), target);
}

bool msnIsAddressSeparator(char c) { return c == ';' || c == ':'; }

} // namespace

const char *msnPickAddress(char *address) {
    if (address == nullptr) {
        return nullptr;
    }
    char *last = nullptr;
    char *lastEnd = nullptr;
    for (char *cursor = address; *cursor != '\0';) {
        if (msnIsAddressSeparator(*cursor)) {
            ++cursor;
            continue;
        }
        char *end = cursor;
        bool hasAt = false;
        while (*end != '\0' && !msnIsAddressSeparator(*end)) {
            hasAt = hasAt || *end == '@';
            ++end;
        }
        last = cursor;
        lastEnd = end;
        if (hasAt) {
            break;
        }
        cursor = end;
    }
    if (last != nullptr) {
        *lastEnd = '\0';
    }
    return last;
}

int32_t msnPolicyStep(uint32_t id, MsnInstanceData *data, MsnCommand *command) {
    FilterEvent event{};
    event.fromClient = command->fromClient;
    const char *picked = msnPickAddress(command->address);
    const char *own = msnText(data->ownAddress);
    const char *peer = msnText(data->peerAddress);
    const bool fromClient = command->fromClient != 0;
    int32_t blocked = 0;

    switch (command->type) {
    case MSN_CMD_LOGIN:
        if (picked == nullptr) {
            break;
        }
        event.type = QMX_EVENT_LOGIN;
        event.from = picked;
        if (msnAskEvent(id, &event) == 0 ||
            msnAskPolicy(id, picked, QMX_ACTION_LOGIN, nullptr) == 0) {
            blocked = 1;
        } else if (DArray_count(data->ownAddress) == 0) {
            msnSetAddress(picked, data->ownAddress);
        }
        break;
    case MSN_CMD_TEXT:
        event.text = command->text;
        event.textLength = command->textLength;
        blocked = msnAskAboutTraffic(id, &event, fromClient, QMX_EVENT_TEXT, QMX_ACTION_IM_OUT,
                                     QMX_ACTION_IM_IN, own, peer);
        if (blocked == 0 && event.replacement != nullptr) {
            replaceBody(QMX_getReplacementText(&event), QMX_getReplacementTextSize(&event),
                        command);
        }
        break;
    case MSN_CMD_FILE:
        blocked = msnAskAboutTraffic(id, &event, fromClient, QMX_EVENT_FILE, QMX_ACTION_FILE_SEND,
                                     QMX_ACTION_FILE_RECEIVE, own, peer);
        break;
    case MSN_CMD_DATACAST:
        blocked = msnAskAboutTraffic(id, &event, fromClient, QMX_EVENT_DATACAST,
                                     QMX_ACTION_DATACAST_OUT, QMX_ACTION_DATACAST_IN, own, peer);
        break;
    case MSN_CMD_P2P_ACCEPT:
        // Described in the direction of the offer being accepted: the
        // client accepting means a file comes in to the user.
        event.fromClient = fromClient ? 0 : 1;
        blocked = msnAskAboutTraffic(id, &event, !fromClient, QMX_EVENT_FILE, QMX_ACTION_FILE_SEND,
                                     QMX_ACTION_FILE_RECEIVE, own, peer);
        break;
    case MSN_CMD_CALL:
        if (picked != nullptr && std::strcmp(picked, own) != 0) {
            blocked = msnAskPolicy(id, own, QMX_ACTION_IM_OUT, picked) == 0 ? 1 : 0;
        }
        break;
    case MSN_CMD_ROSTER:
    case MSN_CMD_JOIN:
        if (picked != nullptr && DArray_count(data->peerAddress) == 0 &&
            std::strcmp(picked, own) != 0) {
            msnSetAddress(picked, data->peerAddress);
        }
        break;
    case MSN_CMD_PRESENCE:
        if (picked != nullptr && !fromClient) {
            blocked = msnAskPolicy(id, own, QMX_ACTION_IM_IN, picked) == 0 ? 1 : 0;
        }
        break;
    default: break;
    }

    if (event.replacement != nullptr) {
        QMX_deleteReplacementText(&event);
    }
    return blocked;
}
