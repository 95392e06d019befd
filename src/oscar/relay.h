// The OSCAR relay: one OscarSession per instance, the loop that moves whole
// FLAP frames between the client and the server through the host's slots,
// the process-wide cache of those slots, and the state shared by every OSCAR
// instance of the process (pending logins and signed-on names).
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

#include "containers/darray.h"
#include "containers/hash_table.h"
#include "oscar/framing.h"
#include "platform/lock.h"

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

constexpr char kOscarLabelClientToServer[] = "CLI=>SRV";
constexpr char kOscarLabelServerToClient[] = "SRV=>CLI";

// Guards pendingLogins and signedOn; never held while a host callback runs.
QmxLock &oscarLock();
extern DArray *pendingLogins; // of PendingLogin
extern HashTable *signedOn;   // name bytes -> u32 0

// Host slots 0 to 6 of protocol 0 as the first relay found them. Filled by
// oscarRelay, never cleared; NULL for a slot that was empty.
QMX_Callback oscarCachedCallback(uint32_t slot);

// Logs through slot 0 when the host has one; the host does the formatting.
template <typename... Args>
void oscarLog(uint32_t id, uint32_t level, const char *format, Args... args) {
    auto log = reinterpret_cast<QMX_LogFn>(oscarCachedCallback(QMX_CB_LOG));
    if (log) log(id, level, format, args...);
}

void oscarRelay(OscarSession *session);
// Reads one frame from `from`, filters it and forwards it to `to`. True when
// `from` has ended (or its frame was cut short or refused) and is no longer
// to be read.
bool oscarHandleFrame(const char *label, uint64_t from, uint64_t to, OscarSession *session);
// Passes on a stream that does not start with a FLAP header and stops the
// instance.
void oscarPassThrough(const uint8_t header[kFlapHeaderSize], uint64_t from, uint64_t to,
                      OscarSession *session);
int32_t oscarReadExactly(uint64_t socket, uint8_t *buffer, uint32_t n);
void oscarSendAll(uint64_t socket, const uint8_t *buffer, uint32_t n);
