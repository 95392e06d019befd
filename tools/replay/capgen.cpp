// qmx-capgen: writes a capture of simulated IM traffic, for the replay
// benchmark and the hostile-input checks. The units come from tools/imsim,
// so the library sees genuine OSCAR, MSN and YMSG.
//
//   qmx-capgen chat FILE [--mb N] [--streams K] [--text-bytes B]
//       K connections at once (OSCAR, MSN and YMSG in turn), each a login
//       and then instant messages both ways, until the file holds N MB
//   qmx-capgen tiny FILE --count N [--open]
//       N short connections one after another, each a login; --open leaves
//       every one without its FIN, so that all of them stay open
#include "pcap_out.h"

#include "imsim/msn.h"
#include "imsim/oscar.h"
#include "imsim/ymsg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string mode;
    std::string path;
    double mb = 200;
    size_t streams = 64;
    size_t textBytes = 1000;
    size_t count = 1000;
    bool open = false;
};

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: qmx-capgen chat FILE [--mb N] [--streams K] [--text-bytes B]\n"
                         "       qmx-capgen tiny FILE --count N [--open]\n");
    std::exit(2);
}

Options parse(int argc, char **argv) {
    Options o;
    if (argc < 3) usage();
    o.mode = argv[1];
    o.path = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--open") {
            o.open = true;
        } else if (a == "--mb" && more) {
            o.mb = std::atof(argv[++i]);
        } else if (a == "--streams" && more) {
            o.streams = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--text-bytes" && more) {
            o.textBytes = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--count" && more) {
            o.count = std::strtoul(argv[++i], nullptr, 10);
        } else {
            usage();
        }
    }
    if ((o.mode != "chat" && o.mode != "tiny") || o.streams == 0) usage();
    return o;
}

const uint16_t kPorts[] = {5190, 1863, 5050};

struct Conversation {
    qmxreplay::PcapOut::Flow flow;
    int proto = 0;
    int turn = 0;
    std::string user;
    std::string peer;
};

qmxreplay::PcapOut::Flow flowFor(size_t n, int proto) {
    qmxreplay::PcapOut::Flow f;
    const uint8_t client[4] = {10, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                               static_cast<uint8_t>(n)};
    const uint8_t server[4] = {192, 0, 2, static_cast<uint8_t>(1 + proto)};
    std::memcpy(f.addr[0].bytes, client, 4);
    std::memcpy(f.addr[1].bytes, server, 4);
    f.port[0] = static_cast<uint16_t>(20000 + n % 40000);
    f.port[1] = kPorts[proto];
    return f;
}

std::string login(const Conversation &c) {
    switch (c.proto) {
    case 0: return imsim::oscarLoginRequest(1, c.user, "0123456789abcdef");
    case 1: return imsim::msnLogin(1, c.user + "@example.com");
    default: return imsim::ymsgLogin(c.user);
    }
}

// Messages both ways; one in four carries a word the example policy replaces.
std::string message(const Conversation &c, bool fromClient, const std::string &text) {
    const auto seq = static_cast<uint16_t>(c.turn);
    switch (c.proto) {
    case 0:
        return fromClient ? imsim::oscarMessageOut(seq, "cookie08", c.peer, text)
                          : imsim::oscarMessageIn(seq, "cookie08", c.peer, text);
    case 1:
        return fromClient ? imsim::msnTextFromClient(c.turn, text)
                          : imsim::msnTextFromServer(c.peer + "@example.com", text);
    default:
        return fromClient ? imsim::ymsgMessage(c.user, c.peer, text)
                          : imsim::ymsgMessage(c.peer, c.user, text);
    }
}

void put(qmxreplay::PcapOut &out, Conversation &c, int from, const std::string &unit,
         qmxreplay::Timestamp &ts) {
    out.data(c.flow, from, reinterpret_cast<const uint8_t *>(unit.data()), unit.size(), ts);
    ts.nsec += 1000000;
    if (ts.nsec >= 1000000000) {
        ts.nsec -= 1000000000;
        ++ts.sec;
    }
}

} // namespace

int main(int argc, char **argv) {
    const Options o = parse(argc, argv);
    qmxreplay::PcapOut out;
    std::string error;
    if (!out.open(o.path, &error)) {
        std::fprintf(stderr, "qmx-capgen: %s\n", error.c_str());
        return 1;
    }
    qmxreplay::Timestamp ts{1700000000, 0};
    if (o.mode == "tiny") {
        for (size_t i = 0; i < o.count; ++i) {
            Conversation c;
            c.proto = static_cast<int>(i % 3);
            c.flow = flowFor(i, c.proto);
            c.user = "user" + std::to_string(i);
            put(out, c, 0, login(c), ts);
            if (!o.open) out.finish(c.flow, ts);
        }
    } else {
        std::vector<Conversation> talks(o.streams);
        for (size_t i = 0; i < talks.size(); ++i) {
            Conversation &c = talks[i];
            c.proto = static_cast<int>(i % 3);
            c.flow = flowFor(i, c.proto);
            c.user = "user" + std::to_string(i);
            c.peer = "buddy" + std::to_string(i);
            put(out, c, 0, login(c), ts);
        }
        const std::string plain(o.textBytes, 'a');
        std::string rude = plain;
        rude.replace(0, std::min<size_t>(5, rude.size()), "darn ");
        const auto target = static_cast<uint64_t>(o.mb * 1e6);
        uint64_t written = 0;
        for (uint64_t n = 0; written < target; ++n) {
            Conversation &c = talks[n % talks.size()];
            const bool fromClient = (c.turn & 1) == 0;
            const std::string unit = message(c, fromClient, c.turn % 4 == 3 ? rude : plain);
            put(out, c, fromClient ? 0 : 1, unit, ts);
            // Each segment also carries 40 bytes of headers and 16 of record.
            written += unit.size() + 56 * ((unit.size() + 1459) / 1460);
            ++c.turn;
        }
        for (Conversation &c : talks) out.finish(c.flow, ts);
    }
    if (!out.close(&error)) {
        std::fprintf(stderr, "qmx-capgen: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
