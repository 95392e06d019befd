#include "msn_fixture.h"

#include "msn/framing.h"

namespace qmxtest {
namespace {

class MsnFraming : public MsnTest {};

struct FramingCase {
    const char *name;
    std::vector<Bytes> reads; // client reads, in order
    std::vector<Bytes> sends; // what reaches the server, one entry per send
    int malformed;            // "zOMG!" lines logged
    size_t raws = 0;          // reads handed to the raw-data hook
};

TEST_F(MsnFraming, CommandsAreForwardedOnceCompleteAndByteForByte) {
    const Bytes adlPayload(120, 'x');
    const Bytes straddling = [] {
        Bytes b;
        for (int i = 0; b.size() < 1300; ++i)
            b += msnLine({"PNG", std::to_string(i), std::string(static_cast<size_t>(i % 40), 'p')});
        return b.substr(0, 1298) + "\r\n";
    }();
    const FramingCase cases[] = {
        {"two commands and a partial third",
         {"VER 1 MSNP8\r\nCVR 2 0x0409\r\nINF", " 3\r\n"},
         {"VER 1 MSNP8\r\nCVR 2 0x0409\r\n", "INF 3\r\n"},
         0},
        {"a line in three reads", {"SYN 1 ", "0 0", "\r\n"}, {"SYN 1 0 0\r\n"}, 0},
        {"a lone LF is no line end",
         {"CHG 1 NLN\n", "XFR 2 NS\r\n"},
         {"CHG 1 NLN\nXFR 2 NS\r\n"},
         0},
        {"an empty line", {"PNG\r\n\r\nQNG 1\r\n"}, {"PNG\r\n\r\nQNG 1\r\n"}, 0},
        {"unknown command with a payload",
         {"SYN 1 9\r\nLST a b\r\n"},
         {"SYN 1 9\r\nLST a b\r\n"},
         0},
        {"ADL waits for its payload",
         {msnPayloadCommand({"ADL", "1"}, adlPayload).substr(0, 11 + 50), adlPayload.substr(50)},
         {msnPayloadCommand({"ADL", "1"}, adlPayload)},
         0},
        {"a trailing word is no payload length", {"PAG 1 word\r\n"}, {"PAG 1 word\r\n"}, 0},
        {"QRY with two tokens has no payload",
         {"QRY 1\r\n", "abcde"},
         {"QRY 1\r\n", "abcde"},
         0,
         1},
        {"QRY with three tokens has a payload",
         {"QRY 1 id 5\r\n", "abcde"},
         {"QRY 1 id 5\r\nabcde"},
         0},
        {"UUN with header lines is removed",
         {msnPayloadCommand({"UUN", "1", "bob@x", "1"}, "Key: v\r\n")},
         {},
         0},
        {"UUN without header lines passes",
         {msnPayloadCommand({"UUN", "1", "bob@x", "1"}, "<Data>a:b</Data>")},
         {msnPayloadCommand({"UUN", "1", "bob@x", "1"}, "<Data>a:b</Data>")},
         0},
        {"lines straddling the 512-byte pieces", {straddling}, {straddling}, 0},
        {"a MSG without blank line is dropped, the next line goes on",
         {MsnMsg().header("Content-Type", "text/plain").withoutBlankLine().build() + "PNG\r\n"},
         {"PNG\r\n"},
         1},
        {"a MSG of length 0 has no blank line", {"MSG 1 N 0\r\nPNG\r\n"}, {"PNG\r\n"}, 1},
        {"a 2^31 payload length is dropped", {"MSG 1 N 2147483648\r\nPNG\r\n"}, {"PNG\r\n"}, 1},
        {"a NUL inside a line drops that line", {Bytes("FOO a\0b\r\nPNG\r\n", 14)}, {"PNG\r\n"}, 1},
        {"a line with a NUL waits for its end",
         {Bytes("FOO a\0b", 7), "\r\nPNG\r\n"},
         {"PNG\r\n"},
         1},
        {"tokens of nothing but separators",
         {"ADL    \r\nUSR    \r\n"},
         {"ADL    \r\nUSR    \r\n"},
         0},
    };
    for (const FramingCase &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(straddling.size(), 1300u);
        fromClient(c.reads);
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(sendsTo(kServer), c.sends);
        EXPECT_EQ(host().raws().size(), c.raws);
        EXPECT_EQ(malformedLogs(), c.malformed);
        EXPECT_EQ(DArray_count(data()->directions[0].pending), 0);
        fresh();
    }
}

TEST_F(MsnFraming, OutputOfOneReadGoesOutInOneSendInCommandOrder) {
    fromClient({"PNG\r\nQRY 1 id 3\r\nab", "cPNG\r\nADL 2 4\r\n<m/", ">\r\n"});
    run();
    EXPECT_EQ(sendsTo(kServer),
              (std::vector<Bytes>{"PNG\r\n", "QRY 1 id 3\r\nabcPNG\r\n", "ADL 2 4\r\n<m/>\r\n"}));
}

TEST_F(MsnFraming, ALineThatNeverEndsIsDroppedInsteadOfHeldForever) {
    std::vector<Bytes> reads{"SYN "};
    for (int i = 0; i < 40; ++i) reads.push_back(Bytes(3000, 'a'));
    reads.push_back("x\r\nPNG\r\n");
    fromClient(reads);
    run();
    EXPECT_LE(DArray_count(data()->directions[0].pending), kMsnMaxLineSize + 512);
    EXPECT_GE(malformedLogs(), 1);
    EXPECT_EQ(host().sent(kServer).substr(host().sent(kServer).size() - 5), "PNG\r\n");
}

TEST_F(MsnFraming, LongPayloadsAreHeldOnlyUpToTheCommandLimit) {
    fromClient(
        {"ADL 1 " + std::to_string(kMsnMaxCommandSize) + "\r\n", Bytes(3000, 'x'), "PNG\r\n"});
    run();
    EXPECT_EQ(malformedLogs(), 1);
    EXPECT_EQ(data()->directions[0].need, 0);
    EXPECT_EQ(host().sent(kServer), Bytes(3000, 'x') + "PNG\r\n")
        << "the dropped line's payload is framed as lines";
}

} // namespace
} // namespace qmxtest
