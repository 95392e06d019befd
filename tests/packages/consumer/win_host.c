/* A Windows host linked the MSVC way (clang-cl target, lld-link) against
 * qmx.lib from the SDK zip, with no C runtime at all: one YMSG message is
 * relayed between two in-memory sockets. */
#include <qmx/qmx.h>

__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *bytes, unsigned long count,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned code);

enum { kClient = 1, kServer = 2 };
static const uint8_t msg[] = "YMSG\0\x10\0\0\0\x1a\0\x06\0\0\0\0\0\0\0\0"
                             "1\xc0\x80"
                             "alice\xc0\x80"
                             "5\xc0\x80"
                             "bob\xc0\x80"
                             "14\xc0\x80"
                             "hi\xc0\x80";
static uint8_t out[64];
static intptr_t taken, sent;

static int32_t wait_(QMX_Socket a, QMX_Socket b, QMX_Socket ea, QMX_Socket eb, int32_t s,
                     int32_t us) {
    (void)ea, (void)eb, (void)s, (void)us;
    return a ? QMX_READY_A : b ? QMX_READY_B : -1;
}
/* The client sends the message and closes; the server closes at once. */
static int32_t recv_(QMX_Socket s, uint8_t *buffer, intptr_t n, uint32_t flags) {
    intptr_t left = (intptr_t)sizeof msg - 1 - taken;
    if (s != kClient || flags) return 0;
    if (n > left) n = left;
    for (intptr_t i = 0; i < n; ++i) buffer[i] = msg[taken + i];
    taken += n;
    return (int32_t)n;
}
static int32_t send_(QMX_Socket s, const uint8_t *bytes, intptr_t n, uint32_t flags) {
    if (s != kServer || flags || sent + n > (intptr_t)sizeof out) return -1;
    for (intptr_t i = 0; i < n; ++i) out[sent + i] = bytes[i];
    sent += n;
    return (int32_t)n;
}

void start(void) {
    static const char good[] = "ok: relayed the message through qmx.lib\r\n", bad[] = "FAILED\r\n";
    unsigned long written;
    int ok = !QMX_init() && !QMX_setCallback(QMX_CB_WAIT, (QMX_Callback)wait_) &&
             !QMX_setCallback(QMX_CB_RECV, (QMX_Callback)recv_) &&
             !QMX_setCallback(QMX_CB_SEND, (QMX_Callback)send_);
    uint32_t id = QMX_newInstance(QMX_PROTO_YMSG, kClient, kServer, 0);
    QMX_processInstance(id);
    QMX_deleteInstance(id);
    QMX_shutdown();
    ok = ok && id != 0 && sent == (intptr_t)sizeof msg - 1;
    for (intptr_t i = 0; ok && i < sent; ++i) ok = out[i] == msg[i];
    WriteFile(GetStdHandle((unsigned long)-11), ok ? good : bad,
              ok ? sizeof good - 1 : sizeof bad - 1, &written, 0);
    ExitProcess(ok ? 0 : 1);
}
