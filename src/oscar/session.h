// The bottom of the OSCAR folder: the state of one OSCAR instance, the state
// shared by every OSCAR instance of the process (pending logins and
// signed-on names), the host slots the relay caches for the life of the
// process, and the log helper. Everything else in src/oscar builds on this
// header; it includes none of them.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

#include "containers/darray.h"
#include "containers/hash_table.h"
#include "platform/lock.h"

// Screen names are copied into 32-byte buffers (31 bytes and a terminator);
// cookies into 256-byte buffers.
constexpr uint32_t kOscarNameSize = 32;
constexpr uint32_t kOscarNameMax = kOscarNameSize - 1;
constexpr uint32_t kOscarCookieSize = 256;

struct OscarSession {
    char clientName[kOscarNameSize]; // the local user, learned once; "" until then
    HashTable *approvals;            // peer name -> DArray* of approved 8-byte cookies
    uint64_t clientSocket;
    uint64_t serverSocket;
    uint32_t instanceId;
    uint8_t running; // drops to 0 once a stream that is not FLAP has been passed on
};

// A sign-on ticket of a login reply, waiting for the cookie sign-on on the
// user's second connection.
struct PendingLogin {
    uint8_t cookie[kOscarCookieSize];
    uint16_t cookieLength;
    char screenName[kOscarNameSize];
};
static_assert(sizeof(PendingLogin) == 290, "a pending login is stored as a 290-byte item");

constexpr uint32_t kOscarCookieItemSize = 8;

// Bounds on what waits for a later frame that may never come: login replies
// not yet claimed by a sign-on (process-wide) and approved file-transfer
// cookies (per connection).
constexpr int32_t kOscarMaxPendingLogins = 1024;
constexpr int32_t kOscarMaxApprovalPeers = 256;
constexpr int32_t kOscarMaxApprovalsPerPeer = 64;

constexpr char kOscarLabelClientToServer[] = "CLI=>SRV";
constexpr char kOscarLabelServerToClient[] = "SRV=>CLI";

// Guards pendingLogins and signedOn; never held while a host callback runs.
QmxLock &oscarLock();
extern DArray *pendingLogins; // of PendingLogin
extern HashTable *signedOn;   // name bytes -> u32 0

// Fills every cache entry that is still empty from the OSCAR table; called
// at the start of each relay.
void oscarFillCallbackCache();

// Host slots 0 to 6 of protocol 0 as the first relay found them. Filled by
// oscarRelay, never cleared; NULL for a slot that was empty.
QMX_Callback oscarCachedCallback(uint32_t slot);

// Logs through slot 0 when the host has one; the host does the formatting.
template <typename... Args>
void oscarLog(uint32_t id, uint32_t level, const char *format, Args... args) {
    auto log = reinterpret_cast<QMX_LogFn>(oscarCachedCallback(QMX_CB_LOG));
    if (log) log(id, level, format, args...);
}
