/* A host as a user writes one against the installed package: one YMSG
 * message relayed between two socket pairs, with a policy that counts. */
#include <poll.h>
#include <qmx/qmx.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

static int questions;
static int32_t ask(uint32_t id, const char *local, uint32_t action, const char *remote) {
    (void)id, (void)local, (void)action, (void)remote;
    return ++questions;
}
static int32_t wait_(QMX_Socket a, QMX_Socket b, QMX_Socket ea, QMX_Socket eb, int32_t s,
                     int32_t us) {
    struct pollfd p[2] = {{a ? (int)a : -1, POLLIN, 0}, {b ? (int)b : -1, POLLIN, 0}};
    (void)ea, (void)eb, (void)us;
    if (!a && !b) return -1;
    if (poll(p, 2, s * 1000) <= 0) return -1;
    return (p[0].revents ? QMX_READY_A : 0) | (p[1].revents ? QMX_READY_B : 0);
}
static int32_t recv_(QMX_Socket s, uint8_t *b, intptr_t n, uint32_t f) {
    return (int32_t)recv((int)s, b, (size_t)n, f ? MSG_OOB : 0);
}
static int32_t send_(QMX_Socket s, const uint8_t *b, intptr_t n, uint32_t f) {
    return (int32_t)send((int)s, b, (size_t)n, f ? MSG_OOB : MSG_NOSIGNAL);
}

int main(void) {
    static const uint8_t msg[] = "YMSG\0\x10\0\0\0\x1a\0\x06\0\0\0\0\0\0\0\0"
                                 "1\xc0\x80"
                                 "alice\xc0\x80"
                                 "5\xc0\x80"
                                 "bob\xc0\x80"
                                 "14\xc0\x80"
                                 "hi\xc0\x80";
    uint8_t got[64];
    int c[2], s[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, c) || socketpair(AF_UNIX, SOCK_STREAM, 0, s)) return 1;
    if (QMX_init() || QMX_setCallback(QMX_CB_POLICY, (QMX_Callback)ask) ||
        QMX_setCallback(QMX_CB_WAIT, (QMX_Callback)wait_) ||
        QMX_setCallback(QMX_CB_RECV, (QMX_Callback)recv_) ||
        QMX_setCallback(QMX_CB_SEND, (QMX_Callback)send_))
        return 1;
    send(c[0], msg, sizeof msg - 1, 0);
    shutdown(c[0], SHUT_WR);
    shutdown(s[1], SHUT_WR);
    uint32_t id = QMX_newInstance(QMX_PROTO_YMSG, (QMX_Socket)c[1], (QMX_Socket)s[0], 0);
    QMX_processInstance(id);
    QMX_deleteInstance(id);
    QMX_shutdown();
    ssize_t n = recv(s[1], got, sizeof got, 0);
    int ok =
        n == (ssize_t)(sizeof msg - 1) && memcmp(got, msg, sizeof msg - 1) == 0 && questions == 1;
    printf("%s: relayed %zd of %zu bytes, %d policy question(s)\n", ok ? "ok" : "FAILED", n,
           sizeof msg - 1, questions);
    return ok ? 0 : 1;
}
