// Writes the seed corpora (fuzz/corpus/<target>/) from the test frame
// builders: real conversations of each protocol, wrapped in relay scripts
// where the target takes one.
//
//   qmx_fuzz_seeds <folder that holds corpus/>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "support/msn_builders.h"
#include "support/oscar_builders.h"
#include "support/ymsg_builders.h"

using namespace qmxtest;
using qmxfuzz::script::Op;
namespace fs = std::filesystem;

namespace {

struct Seed {
    std::string name;
    Bytes bytes;
};

std::string op(Op o, uint8_t arg) {
    return std::string(1, static_cast<char>(o)) + static_cast<char>(arg);
}
std::string client(const Bytes &b) {
    return qmxfuzz::script::data(qmxfuzz::script::kClientData, b);
}
std::string server(const Bytes &b) {
    return qmxfuzz::script::data(qmxfuzz::script::kServerData, b);
}

// The same streams under different hosts: plain, refusing with a huge
// replacement, short of memory, reading a few bytes at a time with short
// sends.
void addScripts(std::vector<Seed> &seeds, const std::string &name, const Bytes &fromClient,
                const Bytes &fromServer) {
    const std::string streams = client(fromClient) + server(fromServer);
    seeds.push_back({name, std::string(1, '\0') + streams});
    seeds.push_back({name + "-refused-huge", std::string(1, '\x0F') + streams});
    // Allocations start failing after 4 * 10 of them.
    seeds.push_back({name + "-out-of-memory", std::string("\x10\x0A", 2) + streams});
    seeds.push_back(
        {name + "-chunked",
         std::string(1, '\x02') + op(qmxfuzz::script::kReadLimit, 3) +
             op(qmxfuzz::script::kReadLimit, 0x80 | 5) +
             op(qmxfuzz::script::kSendBehaviour, 1 | 4 << 1) +
             op(qmxfuzz::script::kEventAnswer, 1 | qmxfuzz::script::kHugeReplacement << 1) +
             op(qmxfuzz::script::kOutOfBand, 0x80 | 3) + "abcd" + streams +
             op(qmxfuzz::script::kSendBehaviour, 0) + op(qmxfuzz::script::kWait, 0)});
}

std::vector<Seed> ymsgSeeds() {
    std::vector<Seed> s;
    addScripts(s, "conversation",
               ymsgLogin("alice") + ymsgMessage("alice", "bob", "hello") +
                   ymsgPeerToPeer("alice", "bob") + ymsgFileTransfer("alice", "bob", "a.zip"),
               ymsgMessage("bob", "alice", "hi there") + ymsgDatacast("bob", "alice"));
    addScripts(
        s, "odd-packets",
        YmsgPacket().service(6).field("1", "alice").field("5", "bob").field("14", "").build() +
            YmsgPacket().service(6).lengthField(3).build() +
            YmsgPacket().service(6).rawBody("1\xC0\x80").build(),
        "HTTP/1.0 200 OK\r\n\r\nnot ymsg at all");
    // The largest message there is; any replacement that makes it longer
    // cannot be carried by the 16-bit length.
    addScripts(s, "largest-message", ymsgMessage("a", "b", Bytes(0xFFFF - 18, 't')), "");
    return s;
}

std::vector<Seed> oscarSeeds() {
    const uint64_t cookie = 0x1122334455667788ull;
    const Bytes text = oscarMessageDataTlv("hello", kCharsetAscii, 0);
    const Bytes sendFile =
        oscarRendezvousTlv(0, cookie, oscarCapSendFile(), oscarSendFileTlv(0, 1, 10, "a.txt"));
    const Bytes icq =
        oscarRendezvousTlv(0, cookie, oscarCapIcqServerRelay(),
                           oscarIcqExtendedTlv(oscarPluginNull(), 1, 0, 0, 1, "icq text",
                                               oscarLe32(0) + oscarLe32(0)));
    const Bytes loginCookie(300, '\x42');
    std::vector<Seed> s;
    addScripts(s, "login",
               oscarSignonFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0002, "pw")) +
                   oscarSnacFrame(2, 0x0017, 0x0002,
                                  oscarTlv(0x0001, "alice") + oscarTlv(0x0025, Bytes(16, '\x0F'))),
               oscarSignoffFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0006, loginCookie)));
    addScripts(s, "session",
               oscarSignonFrame(1, oscarTlv(0x0006, loginCookie)) + oscarClientReadyFrame(2) +
                   oscarOutgoingIcbm(3, cookie, 1, "bob", text) +
                   oscarOutgoingIcbm(4, cookie, 2, "bob", sendFile) +
                   oscarOutgoingIcbm(5, cookie, 2, "bob", icq),
               oscarSelfInfoFrame(1, "alice") +
                   oscarIncomingIcbm(2, cookie, 1, "carol", 7, 1, oscarTlv(0x0001, Bytes(2, '\0')),
                                     oscarMessageDataTlv(Bytes("\0h\0i", 4), kCharsetUnicode, 0)) +
                   oscarIncomingIcbm(3, cookie, 2, "carol", 0, 0, "", sendFile));
    addScripts(s, "odd-frames", oscarFlapAnnouncing(2, 1, 40, "short") + oscarFlap(2, 2, ""),
               "GET / HTTP/1.0\r\n\r\n");
    addScripts(s, "largest-message",
               oscarOutgoingIcbm(1, cookie, 1, "bob",
                                 oscarMessageDataTlv(Bytes(0xFFFF - 100, 'm'), kCharsetAscii, 0)),
               "");
    return s;
}

std::vector<Seed> msnSeeds() {
    std::vector<Seed> s;
    addScripts(
        s, "notification",
        msnLine({"VER", "1", "MSNP8", "CVR0"}) +
            msnLine({"USR", "2", "TWN", "I", "alice@example.com"}) +
            msnPayloadCommand({"ADL", "3"}, "<ml><d n=\"example.com\"/></ml>") +
            msnPayloadCommand({"UUX", "4"}, "<Data/>"),
        msnLine({"USR", "2", "OK", "alice@example.com", "Alice"}) +
            msnLine({"ILN", "5", "NLN", "bob@example.com", "Bob"}) +
            msnLine({"NLN", "NLN", "carol@example.com", "Carol"}) +
            msnPayloadCommand({"UBN", "bob@example.com", "1"}, "Content-Type: text/x\r\n\r\n"));
    addScripts(s, "switchboard",
               msnLine({"ANS", "1", "alice@example.com", "ticket", "42"}) +
                   msnLine({"CAL", "2", "bob@example.com"}) + msnTextMsg({"3", "N"}, "hello bob") +
                   msnInvitationMsg({"4", "N"}, "INVITE") + msnDatacastMsg({"5", "N"}, "1"),
               msnLine({"IRO", "1", "1", "1", "bob@example.com", "Bob"}) +
                   msnLine({"JOI", "bob@example.com", "Bob"}) +
                   msnTextMsg({"bob@example.com", "Bob"}, "hi alice") +
                   msnP2pMsg({"bob@example.com", "Bob"}, Bytes(48, '\0') + "200 OK"));
    addScripts(s, "odd-commands",
               MsnMsg().lengthToken("2147483648").build() + Bytes("MSG 1 N 5\r\nab\0\r\n", 16) +
                   MsnMsg().withoutBlankLine().body("x").build() + "lowercase line\r\n",
               "\x01\x02 raw bytes that are not commands");
    // A text body past 65535 bytes: the event reports it modulo 65536 and
    // the whole body is still forwarded (or replaced).
    const Bytes longText = msnTextMsg({"1", "N"}, Bytes(66000, 'L'));
    s.push_back({"long-text", std::string(1, '\x06') + client(longText.substr(0, 60000)) +
                                  client(longText.substr(60000))});
    return s;
}

std::vector<Seed> oscarFrameSeeds() {
    const uint64_t cookie = 0x0102030405060708ull;
    const std::vector<Bytes> frames = {
        oscarSignonFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0002, "pw")),
        oscarSnacFrame(2, 0x0017, 0x0002,
                       oscarTlv(0x0001, "alice") + oscarTlv(0x0025, Bytes(16, 'h'))),
        oscarSignoffFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0006, Bytes(300, 'c'))),
        oscarSignonFrame(1, oscarTlv(0x0006, Bytes(300, 'c'))),
        oscarOutgoingIcbm(3, cookie, 1, "bob", oscarMessageDataTlv("hello", kCharsetAscii, 0)),
        oscarIncomingIcbm(3, cookie, 1, "carol", 0, 1, oscarTlv(1, "xx"),
                          oscarMessageDataTlv("hey", kCharsetLatin1, 0)),
        oscarOutgoingIcbm(
            4, cookie, 2, "bob",
            oscarRendezvousTlv(0, cookie, oscarCapSendFile(), oscarSendFileTlv(0, 1, 10, "a.txt"))),
        oscarOutgoingIcbm(
            5, cookie, 2, "bob",
            oscarRendezvousTlv(0, cookie, oscarCapIcqServerRelay(),
                               oscarIcqExtendedTlv(oscarPluginNull(), 1, 0, 0, 1, "icq",
                                                   oscarLe32(0) + oscarLe32(0)))),
        oscarSelfInfoFrame(6, "alice"),
        oscarClientReadyFrame(7),
    };
    std::vector<Seed> s;
    for (size_t i = 0; i < frames.size(); ++i) {
        // flags, known name "alice", replacement "replaced", the frame
        const Bytes header = Bytes("\x01\x05"
                                   "alice"
                                   "\x08"
                                   "replaced",
                                   16);
        s.push_back({"frame-" + std::to_string(i), header + frames[i]});
        s.push_back({"frame-" + std::to_string(i) + "-empty-replacement",
                     Bytes("\x00\x00\x00", 3) + frames[i]});
    }
    return s;
}

std::vector<Seed> ymsgFieldSeeds() {
    return {{"message", ymsgMessage("alice", "bob", "hello")},
            {"login", ymsgLogin("alice")},
            {"file", ymsgFileTransfer("alice", "bob", "a.zip")},
            {"long-key",
             YmsgPacket().service(6).field(std::string(40, '9'), "v").field("14", "t").build()},
            {"unterminated", YmsgPacket().service(6).rawBody("14\xC0\x80no separator").build()}};
}

std::vector<Seed> containerSeeds() {
    std::vector<Seed> s;
    Bytes darray("\x00\x01\x00\x00\x00", 5);
    Bytes table("\x01\x04\x04\x01\x08", 5);
    for (int i = 0; i < 64; ++i) {
        const char step[] = {static_cast<char>(i % 11),
                             static_cast<char>(i % 7 == 0 ? 0x81 : 0),
                             static_cast<char>(i * 3),
                             0,
                             static_cast<char>(i),
                             'a',
                             'b',
                             'c',
                             'd',
                             'e',
                             'f'};
        darray += Bytes(step, sizeof step);
        const char pair[] = {static_cast<char>(i % 6),
                             static_cast<char>(i % 9 == 0 ? 0x82 : 0),
                             static_cast<char>(i % 5),
                             static_cast<char>('a' + i % 4),
                             'v',
                             'a',
                             'l',
                             'u',
                             'e',
                             's',
                             'x'};
        table += Bytes(pair, sizeof pair);
    }
    s.push_back({"darray-mixed", darray});
    s.push_back({"hashtable-mixed", table});
    return s;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <fuzz folder>\n", argv[0]);
        return 2;
    }
    const struct {
        const char *target;
        std::vector<Seed> seeds;
    } sets[] = {{"ymsg_relay", ymsgSeeds()},       {"oscar_relay", oscarSeeds()},
                {"msn_relay", msnSeeds()},         {"oscar_frame", oscarFrameSeeds()},
                {"ymsg_fields", ymsgFieldSeeds()}, {"containers", containerSeeds()}};
    for (const auto &set : sets) {
        const fs::path folder = fs::path(argv[1]) / "corpus" / set.target;
        fs::create_directories(folder);
        for (const Seed &seed : set.seeds) {
            std::ofstream(folder / ("seed-" + seed.name), std::ios::binary) << seed.bytes;
        }
        std::printf("%s: %zu seeds\n", set.target, set.seeds.size());
    }
    return 0;
}
