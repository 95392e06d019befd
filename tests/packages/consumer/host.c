/* A host as a user writes one against the installed package: one YMSG
 * message relayed between two in-memory sockets, its text replaced, with a
 * policy that counts. Built on Linux with CMake (find_package) and with
 * pkg-config, and for Windows the MSVC way (clang, lld-link) against qmx.lib
 * of the SDK zip, with no C runtime at all. */
#include <qmx/qmx.h>

#define HEADER(length) "YMSG\0\x10\0\0\0" length "\0\x06\0\0\0\0\0\0\0\0"
#define FIELDS "1\300\200alice\300\2005\300\200bob\300\20014\300\200"
static const char in[] = HEADER("\x1a") FIELDS "hi\300\200";
static const char want[] = HEADER("\x1b") FIELDS "bye\300\200";
enum { kClient = 1, kServer = 2 };
static char out[64];
static intptr_t taken, sent;
static int questions;

static int32_t ask(uint32_t id, const char *local, uint32_t action, const char *remote) {
    (void)id, (void)local, (void)action, (void)remote;
    return ++questions;
}
static int32_t event(uint32_t id, FilterEvent *e) {
    (void)id;
    if (e->type == QMX_EVENT_TEXT) QMX_setReplacementText(0, e, "bye", 3);
    return 1;
}
static int32_t wait_(QMX_Socket a, QMX_Socket b, QMX_Socket x, QMX_Socket y, int32_t s, int32_t u) {
    (void)x, (void)y, (void)s, (void)u;
    return a ? QMX_READY_A : b ? QMX_READY_B : -1;
}
/* The client sends the message and closes; the server closes at once. */
static int32_t recv_(QMX_Socket s, uint8_t *buffer, intptr_t n, uint32_t flags) {
    intptr_t left = (intptr_t)sizeof in - 1 - taken;
    if (s != kClient || flags) return 0;
    if (n > left) n = left;
    for (intptr_t i = 0; i < n; ++i) buffer[i] = (uint8_t)in[taken + i];
    taken += n;
    return (int32_t)n;
}
static int32_t send_(QMX_Socket s, const uint8_t *bytes, intptr_t n, uint32_t flags) {
    if (s != kServer || flags || sent + n > (intptr_t)sizeof out) return -1;
    for (intptr_t i = 0; i < n; ++i) out[sent + i] = (char)bytes[i];
    sent += n;
    return (int32_t)n;
}

static int relayed(void) {
    int ok = !QMX_init() && !QMX_setCallback(QMX_CB_POLICY, (QMX_Callback)ask) &&
             !QMX_setCallback(QMX_CB_EVENT, (QMX_Callback)event) &&
             !QMX_setCallback(QMX_CB_WAIT, (QMX_Callback)wait_) &&
             !QMX_setCallback(QMX_CB_RECV, (QMX_Callback)recv_) &&
             !QMX_setCallback(QMX_CB_SEND, (QMX_Callback)send_);
    uint32_t id = QMX_newInstance(QMX_PROTO_YMSG, kClient, kServer, 0);
    QMX_processInstance(id);
    QMX_deleteInstance(id);
    QMX_shutdown();
    ok = ok && id != 0 && questions == 1 && sent == (intptr_t)sizeof want - 1;
    for (intptr_t i = 0; ok && i < sent; ++i) ok = out[i] == want[i];
    return ok;
}

#ifdef _WIN32
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned code);

void start(void) { ExitProcess(relayed() ? 0 : 1); }
#else
#include <stdio.h>

int main(void) {
    const int ok = relayed();
    puts(ok ? "ok: relayed the message, its text replaced, one policy question" : "FAILED");
    return ok ? 0 : 1;
}
#endif
