// qmx-proxy restarts an MSN relay every msn_relay_bytes, so that a long
// connection's memory stays bounded while its bytes pass whole.
#include <gtest/gtest.h>

#ifndef QMX_E2E_WITHOUT_PROXY

#include "proxy_process.h"

#include "imsim/msn.h"

#include <signal.h>

#include <deque>
#include <filesystem>
#include <fstream>

namespace {

using namespace imsim;

constexpr uint64_t kLimit = 256 * 1024;
constexpr uint64_t kPerDirection = uint64_t{32} << 20;

// The proxy's resident set in KiB, found by its configuration path.
long proxyRssKib(const std::string &dir) {
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream cmd(e.path() / "cmdline"), status(e.path() / "status");
        if (std::string(std::istreambuf_iterator<char>(cmd), {}).find(dir) == std::string::npos)
            continue;
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// One direction: MSG commands of several sizes and PNGs, written in chunks
// that cut commands anywhere; every whole command must come out unchanged.
struct Direction {
    Socket *from, *to;
    uint64_t written = 0;
    std::string unsent = {}, unchecked = {};
    std::deque<size_t> lengths = {}; // unsent bytes of each command not wholly sent
    int n = 0;

    void step(size_t chunk) {
        static const size_t kBodies[] = {60, 1500, 7000, 200, 30000, 3};
        for (; unsent.size() < chunk; ++n) {
            const std::string body(kBodies[n % 6], static_cast<char>('a' + n % 26));
            lengths.push_back(unsent.size());
            unsent += n % 7 == 6 ? std::string("PNG\r\n") : msnTextFromClient(n, body);
            lengths.back() = unsent.size() - lengths.back();
        }
        from->write(std::string_view(unsent).substr(0, chunk));
        unchecked += unsent.substr(0, chunk);
        unsent.erase(0, chunk);
        written += chunk;
        size_t whole = 0, left = chunk;
        for (; !lengths.empty() && left >= lengths.front(); lengths.pop_front()) {
            left -= lengths.front();
            whole = unchecked.size() - left;
        }
        if (!lengths.empty()) lengths.front() -= left;
        ASSERT_EQ(to->readExact(whole), unchecked.substr(0, whole));
        unchecked.erase(0, whole);
    }
};

TEST(MsnRelayBytes, SixtyFourMebibytesPassWholeWhileTheRelayRestartsInBoundedMemory) {
    Listener upstream;
    e2e::ProxyProcess proxy("[limits]\nmsn_relay_bytes = " + std::to_string(kLimit) + "\n" +
                            e2e::forwardTo(upstream.port(), "msn"));
    Socket client = connectLoopback(proxy.forwardPort());
    Socket server = upstream.accept();
    Direction up{&client, &server}, down{&server, &client};
    static const size_t kChunks[] = {65536 - 7, 40000, 3001, 17, 52000};
    long rssAt16 = -1;
    for (int i = 0; up.written < kPerDirection || down.written < kPerDirection; ++i) {
        up.step(kChunks[i % 5]);
        down.step(kChunks[(i + 2) % 5]);
        if (rssAt16 < 0 && up.written + down.written >= (uint64_t{16} << 20))
            rssAt16 = proxyRssKib(proxy.dir());
    }
    const long rssAt64 = proxyRssKib(proxy.dir());
    std::printf("[ rss ] after 16 MiB %ld KiB, after 64 MiB %ld KiB\n", rssAt16, rssAt64);
    ASSERT_EQ(proxy.stop(SIGTERM), 0);
    const size_t at = proxy.output().find("msn relay restarts");
    ASSERT_NE(at, std::string::npos) << proxy.output();
    EXPECT_GE(std::stoul(proxy.output().substr(at + 18)), kPerDirection / kLimit);
#if !defined(__SANITIZE_ADDRESS__) // its quarantine keeps freed memory resident
    // Without the restarts the histories alone would add 48 MiB here.
    ASSERT_GT(rssAt16, 0);
    EXPECT_LT(rssAt64, rssAt16 + 8 * 1024);
#endif
}

} // namespace

#endif
