// The plain-relay anchor of the end-to-end benchmarks: the least a
// thread-per-connection TCP relay can do. One thread per connection polls
// both sockets, reads up to 3000 bytes from the readable one and sends them
// all to the other. No parsing, no buffering beyond one read.
//
//   qmx-minrelay LISTEN_PORT UPSTREAM_PORT     (both on 127.0.0.1)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kReadSize = 3000;
// Enough for the relay loop and libc; keeps the address space of 9,000
// threads reasonable. Resident memory only counts the pages touched.
constexpr size_t kThreadStack = 128 * 1024;

uint16_t upstreamPort = 0;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

bool sendAll(int fd, const char *data, ssize_t n) {
    while (n > 0) {
        ssize_t r = send(fd, data, static_cast<size_t>(n), MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        data += r;
        n -= r;
    }
    return true;
}

struct Pair {
    int client;
    int server;
};

void *relay(void *arg) {
    Pair pair = *static_cast<Pair *>(arg);
    delete static_cast<Pair *>(arg);
    char buffer[kReadSize];
    pollfd fds[2] = {{pair.client, POLLIN, 0}, {pair.server, POLLIN, 0}};
    bool open[2] = {true, true};
    while (open[0] || open[1]) {
        fds[0].fd = open[0] ? pair.client : -1;
        fds[1].fd = open[1] ? pair.server : -1;
        int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        for (int side = 0; side < 2; ++side) {
            if (!open[side] || fds[side].revents == 0) continue;
            int from = side == 0 ? pair.client : pair.server;
            int to = side == 0 ? pair.server : pair.client;
            ssize_t got = recv(from, buffer, kReadSize, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0 || !sendAll(to, buffer, got)) {
                // Pass the end of stream on and keep relaying the other way.
                open[side] = false;
                shutdown(to, SHUT_WR);
            }
        }
    }
    close(pair.client);
    close(pair.server);
    return nullptr;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qmx-minrelay LISTEN_PORT UPSTREAM_PORT\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    uint16_t listenPort = static_cast<uint16_t>(std::atoi(argv[1]));
    upstreamPort = static_cast<uint16_t>(std::atoi(argv[2]));

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = loopback(listenPort);
    if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(listener, 4096) != 0) {
        std::perror("qmx-minrelay: listen on 127.0.0.1");
        return 1;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kThreadStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);

    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::perror("qmx-minrelay: accept");
            sleep(1); // out of descriptors: let connections end
            continue;
        }
        int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in up = loopback(upstreamPort);
        if (server < 0 || connect(server, reinterpret_cast<sockaddr *>(&up), sizeof up) != 0) {
            if (server >= 0) close(server);
            close(client);
            continue;
        }
        pthread_t thread;
        auto *pair = new Pair{client, server};
        if (pthread_create(&thread, &attr, relay, pair) != 0) {
            delete pair;
            close(client);
            close(server);
        }
    }
}
