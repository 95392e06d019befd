#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oscar/decode.h"
#include "oscar/framing.h"
#include "oscar_fixture.h"

namespace qmxtest {
namespace {

constexpr uint64_t kCookie = 0x0102030405060708ull;

Bytes cookieBytes(size_t n) {
    Bytes cookie;
    for (size_t i = 0; i < n; ++i) cookie += static_cast<char>(i * 7 + 1);
    return cookie;
}

// A channel-1 login whose payload is exactly `payloadLength` bytes.
Bytes signonOfLength(uint16_t payloadLength, bool withScreenName) {
    Bytes tlvs = withScreenName ? oscarTlv(0x0001, "alice") + oscarTlv(0x0002, "secret") : "";
    const size_t fixed = 4 + tlvs.size() + 4;
    return oscarSignonFrame(
        1, tlvs + oscarPaddingTlv(0x0099, static_cast<uint16_t>(payloadLength - fixed)));
}

Bytes tzerPlugin() {
    Bytes id = oscarPluginFile();
    id[0] = '\x11';
    return id;
}

struct ClassCase {
    const char *what;
    Bytes frame;
    FrameClass expected;
    std::string name;
};

std::vector<ClassCase> classCases() {
    const Bytes text = oscarMessageDataTlv("hello", kCharsetAscii, 0);
    const Bytes sendFile = oscarRendezvousTlv(0, kCookie, oscarCapSendFile(),
                                              oscarSendFileTlv(1, 1, 1234, "photo.jpg"));
    const Bytes icqText = oscarRendezvousTlv(
        0, kCookie, oscarCapIcqServerRelay(),
        oscarIcqExtendedTlv(oscarPluginNull(), 1, 0, 0, 1, "hi icq", oscarLe32(0) + oscarLe32(0)));
    const Bytes tzer = oscarRendezvousTlv(
        0, kCookie, oscarCapIcqServerRelay(),
        oscarIcqExtendedTlv(oscarPluginNull(), 0x1A, 0, 0, 1, "",
                            oscarIcqPluginData(tzerPlugin(), 0x29, "Send Tzer", "", "")));
    const Bytes pluginFile =
        oscarRendezvousTlv(0, kCookie, oscarCapIcqServerRelay(),
                           oscarIcqExtendedTlv(oscarPluginNull(), 0x1A, 0, 0, 1, "",
                                               oscarIcqPluginData(oscarPluginFile(), 0x29, "File",
                                                                  "take it", "notes.txt")));
    Bytes otherPlugin = oscarPluginNull();
    otherPlugin[15] = '\x01';
    const Bytes nonNullPlugin =
        oscarRendezvousTlv(0, kCookie, oscarCapIcqServerRelay(),
                           oscarIcqExtendedTlv(otherPlugin, 1, 0, 0, 1, "hi", ""));
    const Bytes accept = oscarRendezvousTlv(2, kCookie, oscarCapIcqServerRelay(), "");
    const Bytes unknownCapability =
        oscarRendezvousTlv(0, kCookie, Bytes(16, '\x42'), oscarSendFileTlv(0, 1, 1, "x"));
    const Bytes replyTlvs = oscarTlv(0x0001, "alice") + oscarTlv(0x0005, "bos.example:5190") +
                            oscarTlv(0x0006, cookieBytes(256));

    return {
        {"password login on channel 1", signonOfLength(200, true), FrameClass::LoginRequest,
         "alice"},
        {"channel-1 login of exactly 256 bytes", signonOfLength(256, true),
         FrameClass::LoginRequest, "alice"},
        {"channel-1 frame of 257 bytes with a screen name", signonOfLength(257, true),
         FrameClass::CookieSignon, ""},
        {"cookie sign-on", oscarSignonFrame(1, oscarTlv(0x0006, cookieBytes(256))),
         FrameClass::CookieSignon, ""},
        {"SNAC login request",
         oscarSnacFrame(2, 0x0017, 0x0002,
                        oscarTlv(0x0001, "bob") + oscarTlv(0x0025, Bytes(16, '\x33'))),
         FrameClass::LoginRequest, "bob"},
        {"channel-4 login reply", oscarSignoffFrame(3, replyTlvs), FrameClass::LoginReply, "alice"},
        {"SNAC login reply", oscarSnacFrame(3, 0x0017, 0x0003, replyTlvs), FrameClass::LoginReply,
         "alice"},
        {"channel-4 frame shorter than 256 bytes",
         oscarSignoffFrame(3, oscarTlv(0x0001, "alice") + oscarTlv(0x0006, cookieBytes(100))),
         FrameClass::OtherFrame, ""},
        {"login reply without a cookie",
         oscarSignoffFrame(3, oscarTlv(0x0001, "alice") + oscarPaddingTlv(0x0099, 300)),
         FrameClass::OtherFrame, "alice"},
        {"outgoing text", oscarOutgoingIcbm(4, kCookie, 1, "bob", text), FrameClass::OutgoingIm,
         "bob"},
        {"incoming text with user info",
         oscarIncomingIcbm(4, kCookie, 1, "carol", 0, 2,
                           oscarTlv(0x0001, oscarU16(0x10)) + oscarTlv(0x0003, oscarU32(7)), text),
         FrameClass::IncomingIm, "carol"},
        {"outgoing ICQ extended message", oscarOutgoingIcbm(5, kCookie, 2, "12345", icqText),
         FrameClass::OutgoingIm, "12345"},
        {"outgoing send-file request", oscarOutgoingIcbm(5, kCookie, 2, "bob", sendFile),
         FrameClass::FileSend, "bob"},
        {"incoming send-file request",
         oscarIncomingIcbm(5, kCookie, 2, "carol", 0, 0, "", sendFile), FrameClass::FileReceive,
         "carol"},
        {"rendezvous accept over the server relay capability",
         oscarOutgoingIcbm(5, kCookie, 2, "bob", accept), FrameClass::FileSend, "bob"},
        {"ICQ plugin message naming the file plugin",
         oscarIncomingIcbm(5, kCookie, 2, "777", 0, 0, "", pluginFile), FrameClass::FileReceive,
         "777"},
        {"incoming plugin message of another plugin",
         oscarIncomingIcbm(5, kCookie, 2, "777", 0, 0, "", tzer), FrameClass::IncomingDatacast,
         "777"},
        {"outgoing plugin message of another plugin", oscarOutgoingIcbm(5, kCookie, 2, "777", tzer),
         FrameClass::OutgoingDatacast, "777"},
        {"ICQ extended message with a non-null plugin id",
         oscarOutgoingIcbm(5, kCookie, 2, "777", nonNullPlugin), FrameClass::OtherFrame, ""},
        {"rendezvous of an unknown capability",
         oscarOutgoingIcbm(5, kCookie, 2, "bob", unknownCapability), FrameClass::OtherFrame, ""},
        {"own online information", oscarSelfInfoFrame(6, "alice"), FrameClass::SelfInfo, "alice"},
        {"client ready", oscarClientReadyFrame(7), FrameClass::ClientReady, ""},
        {"login reply TLVs in another family's SNAC 3",
         oscarSnacFrame(3, 0x0004, 0x0003, replyTlvs), FrameClass::OtherFrame, ""},
        {"buddy-list SNAC", oscarSnacFrame(8, 0x0003, 0x000B, oscarU8(3) + "bob"),
         FrameClass::OtherFrame, ""},
        {"keep-alive on channel 5", oscarFlap(5, 9, ""), FrameClass::OtherFrame, ""},
    };
}

TEST(OscarFraming, EveryFrameClassIsRecognisedWithTheNameItConcerns) {
    for (const ClassCase &c : classCases()) {
        SCOPED_TRACE(c.what);
        OscarFrame frame(c.frame);
        char name[kOscarNameSize] = "stale";
        IcbmInfo info{};
        EXPECT_EQ(classifyFrame(frame.stream(), name, &info), c.expected);
        EXPECT_EQ(std::string(name), c.name);
        EXPECT_EQ(frame.bytes(), c.frame) << "classification must not change the frame";
    }
}

// Every prefix of every sample frame, announced with its full FLAP length
// as a relay would never hand it over, must classify without reading past
// its end and without pointing a name or text outside it.
TEST(OscarFraming, FramesCutShortAreNeverReadPastTheirEnd) {
    for (const ClassCase &c : classCases()) {
        SCOPED_TRACE(c.what);
        for (size_t cut = 0; cut < c.frame.size(); ++cut) {
            OscarFrame frame(c.frame.substr(0, cut));
            char name[kOscarNameSize];
            IcbmInfo info{};
            classifyFrame(frame.stream(), name, &info);
            const auto *fb = reinterpret_cast<const uint8_t *>(frame.bytes().data());
            const auto *fe = fb + cut;
            if (info.text) {
                EXPECT_GE(info.text, fb);
                EXPECT_LE(info.text + info.textLength, fe) << "cut at " << cut;
            }
            if (info.name) {
                EXPECT_LE(info.name + info.nameLength, fe) << "cut at " << cut;
            }
        }
    }
}

TEST(OscarFraming, LongScreenNamesAreKeptToTheirFirst31Bytes) {
    const std::string longName(40, 'n');
    OscarFrame frame(
        oscarOutgoingIcbm(4, kCookie, 1, longName, oscarMessageDataTlv("x", kCharsetAscii, 0)));
    char name[kOscarNameSize];
    IcbmInfo info{};
    ASSERT_EQ(classifyFrame(frame.stream(), name, &info), FrameClass::OutgoingIm);
    EXPECT_EQ(std::string(name), longName.substr(0, 31));
    EXPECT_TRUE(oscarNameMatches(info.name, info.nameLength, name));
    char shorter[kOscarNameSize] = "nnn";
    EXPECT_FALSE(oscarNameMatches(info.name, 31, shorter));
}

} // namespace
} // namespace qmxtest
