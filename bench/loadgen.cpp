// Load generator for the end-to-end benchmarks on loopback.
//
// It plays both ends: a simulated IM server listening on 127.0.0.1:--listen,
// and clients connecting to 127.0.0.1:--connect (a relay in front of that
// server, or the server itself for the direct case). Frames come from
// tools/imsim, so every relay sees genuine OSCAR, MSN or YMSG traffic.
//
//   qmx-loadgen rt    --proto P --connect C --listen S [--seconds N]
//       one client, one 100-byte IM at a time, the server answers each with a
//       100-byte IM to the client: msgs/s, p50 and p99 of the round trip
//   qmx-loadgen bulk  --proto P --connect C --listen S [--seconds N]
//       one client streams 8 KiB IMs one way: MB/s as the server receives them
//   qmx-loadgen scale --proto P --connect C --listen S --count N [--pid PID]
//       N idle connections, each proven end to end by one IM; the memory that
//       the process tree of PID gained, per connection
//
// Output: one line of key=value pairs on standard output.
#include "imsim/msn.h"
#include "imsim/net.h"
#include "imsim/oscar.h"
#include "imsim/ymsg.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "qmx-loadgen: %s\n", what.c_str());
    std::exit(2);
}

struct Options {
    std::string mode;
    std::string proto = "oscar";
    uint16_t connectPort = 0;
    uint16_t listenPort = 0;
    double seconds = 5;
    int count = 1000;
    int pid = 0;
};

std::string textOf(size_t size) {
    static const char kWords[] = "the quick brown fox jumps over the lazy dog ";
    std::string text;
    while (text.size() < size) text += kWords;
    text.resize(size);
    return text;
}

// What the client sends and what the server answers, for one protocol.
struct Frames {
    std::string toServer;
    std::string toClient;
};

Frames framesFor(const std::string &proto, size_t textSize) {
    const std::string text = textOf(textSize);
    const std::string cookie = "\x01\x02\x03\x04\x05\x06\x07\x08";
    if (proto == "oscar") {
        return {imsim::oscarMessageOut(1, cookie, "bob", text),
                imsim::oscarMessageIn(1, cookie, "bob", text)};
    }
    if (proto == "msn") {
        return {imsim::msnTextFromClient(1, text),
                imsim::msnTextFromServer("bob@example.com", text)};
    }
    if (proto == "ymsg") {
        return {imsim::ymsgMessage("alice", "bob", text), imsim::ymsgMessage("bob", "alice", text)};
    }
    die("unknown protocol " + proto);
}

int listenOn(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) die("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) die("bind 127.0.0.1");
    if (listen(fd, 4096) != 0) die("listen");
    return fd;
}

void noDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool writeAll(int fd, const char *data, size_t n) {
    while (n > 0) {
        ssize_t r = send(fd, data, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        data += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool readExact(int fd, char *data, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, data, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        data += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

int acceptOne(int listener, int timeoutMs) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) die("no connection reached the server");
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) die("accept");
    return fd;
}

int connectTo(uint16_t port) {
    imsim::Socket s = imsim::connectLoopback(port);
    // The fd outlives the wrapper: it is handed over, not closed.
    int fd = dup(s.fd());
    if (fd < 0) die("dup");
    return fd;
}

void roundTrips(const Options &o) {
    const Frames f = framesFor(o.proto, 100);
    int listener = listenOn(o.listenPort);
    int client = connectTo(o.connectPort);
    int server = acceptOne(listener, 10000);
    noDelay(client);
    noDelay(server);

    std::atomic<bool> serverOk{true};
    std::thread answer([&] {
        std::string in(f.toServer.size(), '\0');
        while (readExact(server, in.data(), in.size())) {
            if (!writeAll(server, f.toClient.data(), f.toClient.size())) break;
        }
    });

    std::vector<double> micros;
    micros.reserve(1 << 20);
    std::string reply(f.toClient.size(), '\0');
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(o.seconds);
    auto now = start;
    while (now < end) {
        auto t0 = Clock::now();
        if (!writeAll(client, f.toServer.data(), f.toServer.size()) ||
            !readExact(client, reply.data(), reply.size()))
            die("round trip broken");
        now = Clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(now - t0).count());
    }
    const double elapsed = std::chrono::duration<double>(now - start).count();
    shutdown(client, SHUT_WR);
    answer.join();
    close(client);
    close(server);
    close(listener);
    if (reply != f.toClient) die("the answer arrived changed");
    (void)serverOk;

    std::sort(micros.begin(), micros.end());
    auto pct = [&](double p) { return micros[static_cast<size_t>(p * (micros.size() - 1))]; };
    std::printf("mode=rt proto=%s msgs=%zu msgs_per_s=%.0f p50_us=%.1f p99_us=%.1f\n",
                o.proto.c_str(), micros.size(), micros.size() / elapsed, pct(0.50), pct(0.99));
}

uint64_t rssKib(int pid);

void bulk(const Options &o) {
    const Frames f = framesFor(o.proto, 8192);
    int listener = listenOn(o.listenPort);
    int client = connectTo(o.connectPort);
    int server = acceptOne(listener, 10000);

    std::atomic<uint64_t> received{0};
    Clock::time_point first{}, last{};
    std::thread sink([&] {
        std::vector<char> buffer(256 * 1024);
        for (;;) {
            ssize_t r = recv(server, buffer.data(), buffer.size(), 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            if (received == 0) first = Clock::now();
            received += static_cast<uint64_t>(r);
            last = Clock::now();
        }
    });

    // Several frames per write, as a busy client's socket buffer would hold.
    std::string batch;
    while (batch.size() < 64 * 1024) batch += f.toServer;
    const auto end = Clock::now() + std::chrono::duration<double>(o.seconds);
    uint64_t sent = 0;
    // With --pid, the relay's resident memory once 1 MiB and once 64 MiB have
    // gone through this one connection: what a relay keeps per byte shows
    // as growth between the two.
    uint64_t rssAt[2] = {0, 0};
    const uint64_t marks[2] = {uint64_t{1} << 20, uint64_t{64} << 20};
    while (Clock::now() < end) {
        if (!writeAll(client, batch.data(), batch.size())) die("bulk send broken");
        sent += batch.size();
        for (int i = 0; i < 2; ++i) {
            if (o.pid != 0 && rssAt[i] == 0 && received >= marks[i]) rssAt[i] = rssKib(o.pid);
        }
    }
    shutdown(client, SHUT_WR);
    sink.join();
    close(client);
    close(server);
    close(listener);
    const double elapsed = std::chrono::duration<double>(last - first).count();
    if (received != sent)
        die("the server received " + std::to_string(received) + " of " + std::to_string(sent) +
            " bytes");
    std::printf("mode=bulk proto=%s bytes=%llu mb_per_s=%.1f", o.proto.c_str(),
                static_cast<unsigned long long>(received), received / elapsed / 1e6);
    if (rssAt[1] != 0) {
        std::printf(" rss_1mib_kib=%llu rss_64mib_kib=%llu",
                    static_cast<unsigned long long>(rssAt[0]),
                    static_cast<unsigned long long>(rssAt[1]));
    }
    std::printf("\n");
}

// Proportional set size of a process and all its descendants, in KiB: for a
// single process it is its resident memory less its share of shared pages,
// and forked relays (socat) are counted without double-counting shared pages.
uint64_t pssKib(int pid) {
    uint64_t total = 0;
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind("Pss:", 0) == 0) total += std::strtoull(line.c_str() + 4, nullptr, 10);
    }
    // Children of every thread of the process.
    DIR *tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (tasks == nullptr) return total;
    while (dirent *t = readdir(tasks)) {
        if (t->d_name[0] == '.') continue;
        std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + t->d_name + "/children");
        int child = 0;
        while (children >> child) total += pssKib(child);
    }
    closedir(tasks);
    return total;
}

uint64_t rssKib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

void scale(const Options &o) {
    const Frames f = framesFor(o.proto, 100);
    int listener = listenOn(o.listenPort);
    const uint64_t pssBefore = o.pid ? pssKib(o.pid) : 0;
    const uint64_t rssBefore = o.pid ? rssKib(o.pid) : 0;
    const auto start = Clock::now();

    std::vector<int> clients;
    std::vector<int> servers;
    clients.reserve(o.count);
    servers.reserve(o.count);
    // Connect and accept in step so that the listen backlog never overflows.
    for (int i = 0; i < o.count; ++i) {
        clients.push_back(connectTo(o.connectPort));
        servers.push_back(acceptOne(listener, 20000));
    }
    // One IM over every connection proves that each is relayed end to end.
    for (int fd : clients) {
        if (!writeAll(fd, f.toServer.data(), f.toServer.size())) die("scale send broken");
    }
    std::string in(f.toServer.size(), '\0');
    for (int fd : servers) {
        if (!readExact(fd, in.data(), in.size()) || in != f.toServer) die("scale frame lost");
    }
    const double setup = std::chrono::duration<double>(Clock::now() - start).count();
    // Idle long enough for every relay thread or process to settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t pssAfter = o.pid ? pssKib(o.pid) : 0;
    const uint64_t rssAfter = o.pid ? rssKib(o.pid) : 0;

    for (int fd : clients) close(fd);
    for (int fd : servers) close(fd);
    close(listener);
    auto perConn = [&](uint64_t before, uint64_t after) {
        return after > before ? static_cast<double>(after - before) / o.count : 0.0;
    };
    std::printf("mode=scale proto=%s conns=%d setup_s=%.2f pss_kib_per_conn=%.2f "
                "rss_kib_per_conn=%.2f\n",
                o.proto.c_str(), o.count, setup, perConn(pssBefore, pssAfter),
                perConn(rssBefore, rssAfter));
}

Options parse(int argc, char **argv) {
    if (argc < 2)
        die("usage: qmx-loadgen rt|bulk|scale --proto P --connect PORT --listen PORT "
            "[--seconds N] [--count N] [--pid PID]");
    Options o;
    o.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        std::string value = argv[i + 1];
        if (key == "--proto")
            o.proto = value;
        else if (key == "--connect")
            o.connectPort = static_cast<uint16_t>(std::stoi(value));
        else if (key == "--listen")
            o.listenPort = static_cast<uint16_t>(std::stoi(value));
        else if (key == "--seconds")
            o.seconds = std::stod(value);
        else if (key == "--count")
            o.count = std::stoi(value);
        else if (key == "--pid")
            o.pid = std::stoi(value);
        else
            die("unknown option " + key);
    }
    if (o.connectPort == 0 || o.listenPort == 0) die("--connect and --listen are required");
    return o;
}

} // namespace

int main(int argc, char **argv) {
    const Options o = parse(argc, argv);
    try {
        if (o.mode == "rt")
            roundTrips(o);
        else if (o.mode == "bulk")
            bulk(o);
        else if (o.mode == "scale")
            scale(o);
        else
            die("unknown mode " + o.mode);
    } catch (const std::exception &e) {
        die(e.what());
    }
    return 0;
}
