#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oscar/decode.h"
#include "oscar_fixture.h"

namespace qmxtest {
namespace {

constexpr uint64_t kCookie = 0xA1A2A3A4B1B2B3B4ull;

Bytes complementAt(Bytes bytes, size_t offset) {
    bytes[offset] = static_cast<char>(~static_cast<uint8_t>(bytes[offset]));
    return bytes;
}

TEST(OscarDecode, CheckingALoginSpoilsOnlyTheFirstPasswordByteOfTheNamedUser) {
    const std::string longName(40, 'L');
    const Bytes channel1 = oscarSignonFrame(
        3, oscarTlv(0x0001, "alice") + oscarTlv(0x0003, "client") + oscarTlv(0x0002, "pw"));
    const Bytes channel2 = oscarSnacFrame(4, 0x0017, 0x0002,
                                          oscarTlv(0x0001, "alice") + oscarTlv(0x0002, "decoy") +
                                              oscarTlv(0x0025, "HASH"));
    const Bytes longLogin = oscarSignonFrame(3, oscarTlv(0x0001, longName) + oscarTlv(0x0002, "x"));
    const Bytes noPassword = oscarSignonFrame(3, oscarTlv(0x0001, "alice"));
    // Password value offsets: header 6 + version 4 + TLV 1 (9) + TLV 3 (10) + 4.
    const size_t channel1Password = 6 + 4 + 9 + 10 + 4;
    // SNAC 10 + TLV 1 (9) + decoy TLV 2 (9) + 4: the hash, not TLV 2, is spoiled.
    const size_t channel2Hash = 6 + 10 + 9 + 9 + 4;
    const size_t longPassword = 6 + 4 + 4 + 40 + 4;

    struct Case {
        const char *what;
        Bytes frame;
        std::string name;
        int result;
        Bytes after;
    } cases[] = {
        {"channel 1, same name", channel1, "alice", 1, complementAt(channel1, channel1Password)},
        {"channel 2, same name", channel2, "alice", 1, complementAt(channel2, channel2Hash)},
        {"name of another length", channel1, "alic", 0, channel1},
        {"name with other bytes", channel1, "alicf", 0, channel1},
        {"no password", noPassword, "alice", 0, noPassword},
        {"name over 31 bytes", longLogin, longName.substr(0, 31), 1,
         complementAt(longLogin, longPassword)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OscarFrame frame(c.frame);
        char name[kOscarNameSize] = {};
        std::strncpy(name, c.name.c_str(), kOscarNameMax);
        EXPECT_EQ(parseLoginRequest(frame.stream(), name), c.result);
        EXPECT_EQ(frame.bytes(), c.after);
    }
}

TEST(OscarDecode, LoginReplyCookiesAreBoundedTo256Bytes) {
    Bytes cookie;
    for (int i = 0; i < 300; ++i) cookie += static_cast<char>(i);
    OscarFrame reply(oscarSignoffFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0006, cookie)));
    char name[kOscarNameSize] = {};
    uint8_t copied[kOscarCookieSize + 8];
    std::memset(copied, 0xEE, sizeof copied);
    uint16_t length = 0;
    ASSERT_EQ(parseLoginReply(reply.stream(), name, copied, &length), 1);
    EXPECT_STREQ(name, "alice");
    EXPECT_EQ(length, kOscarCookieSize);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(copied), kOscarCookieSize), cookie.substr(0, 256));
    EXPECT_EQ(copied[kOscarCookieSize], 0xEE);

    // A cookie that runs past the frame is no cookie.
    const Bytes whole = oscarSignoffFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0006, cookie));
    OscarFrame cut(whole.substr(0, whole.size() - 1));
    EXPECT_EQ(parseLoginReply(cut.stream(), name, copied, &length), 0);
}

TEST(OscarDecode, SignonCookieIsCopiedWhenPresentAndTheAnswerDependsOnlyOnTheFrameShape) {
    const Bytes cookie(280, '\x5A');
    OscarFrame withCookie(oscarSignonFrame(1, oscarTlv(0x0006, cookie)));
    uint8_t copied[kOscarCookieSize] = {};
    EXPECT_EQ(parseSignonCookie(withCookie.stream(), copied), 1);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(copied), sizeof copied), cookie.substr(0, 256));

    OscarFrame withoutCookie(oscarSignonFrame(1, oscarPaddingTlv(0x0099, 300)));
    uint8_t untouched[kOscarCookieSize] = {};
    EXPECT_EQ(parseSignonCookie(withoutCookie.stream(), untouched), 1);
    EXPECT_EQ(untouched[0], 0);

    OscarFrame small(oscarSignonFrame(1, oscarTlv(0x0006, Bytes(20, 'c'))));
    EXPECT_EQ(parseSignonCookie(small.stream(), copied), 0);
}

// Charset words sort into three classes; the file plugin's data is
// little-endian throughout and names the file behind the plugin name and the
// request text.
TEST(OscarDecode, IcbmTextCarriesItsCharsetClassAndAPluginFileRequestItsFileName) {
    const Bytes pluginFile = oscarRendezvousTlv(
        0, kCookie, oscarCapIcqServerRelay(),
        oscarIcqExtendedTlv(oscarPluginNull(), 0x1A, 0, 0, 1, "",
                            oscarIcqPluginData(oscarPluginFile(), 0x29, "File Transfer",
                                               "here you go", "notes.txt")));
    const struct {
        uint16_t channel;
        Bytes tlvs;
        uint32_t status, charsetClass;
        Bytes text;
    } cases[] = {
        {1, oscarMessageDataTlv("text", 0x0000, 0), kIcbmStatusText, 0, "text"},
        {1, oscarMessageDataTlv("text", 0x0003, 0), kIcbmStatusText, 0, "text"},
        {1, oscarMessageDataTlv("text", 0x0002, 0), kIcbmStatusText, 1, "text"},
        {1, oscarMessageDataTlv("text", 0x0001, 0), kIcbmStatusText, 2, "text"},
        {1, oscarMessageDataTlv("text", 0xFFFF, 0), kIcbmStatusText, 2, "text"},
        {2, pluginFile, kIcbmStatusFile, 0, "notes.txt"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text + " " + std::to_string(c.charsetClass));
        OscarFrame frame(oscarOutgoingIcbm(1, kCookie, c.channel, "bob", c.tlvs));
        IcbmInfo info{};
        parseIcbm(frame.stream(), &info, nullptr, nullptr, 0, nullptr);
        EXPECT_EQ(info.status, c.status);
        if (c.status == kIcbmStatusText) {
            EXPECT_EQ(info.charsetClass, c.charsetClass);
        }
        ASSERT_NE(info.text, nullptr);
        EXPECT_EQ(Bytes(reinterpret_cast<const char *>(info.text), info.textLength), c.text);
        EXPECT_EQ(std::vector<uint32_t>({info.cookie[0], info.cookie[1]}),
                  std::vector<uint32_t>({0xA1A2A3A4u, 0xB1B2B3B4u}));
    }
}

} // namespace
} // namespace qmxtest
