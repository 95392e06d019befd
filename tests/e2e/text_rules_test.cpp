// Replacement rules see what the recipient reads, in every charset and
// through markup, and write back in the message's own encoding.
#include <gtest/gtest.h>

#ifndef QMX_E2E_WITHOUT_PROXY

#include "config.h"
#include "message_text.h"
#include "policy.h"

#include "support/msn_builders.h"
#include "support/oscar_builders.h"
#include "support/scripted_host.h"
#include "support/ymsg_builders.h"

#include <qmx/qmx.h>

namespace {

using namespace qmxproxy;

std::string utf16(const std::u16string &s) {
    std::string out;
    for (char16_t c : s) {
        out += static_cast<char>(c >> 8);
        out += static_cast<char>(c & 0xFF);
    }
    return out;
}

const char *const kRules = R"toml(
[[replace]]
pattern = "\\bdarn\\b"
replacement = "[bleep]"
ignore_case = true
[[replace]]
pattern = "\\b([0-9]{4})[ -]?[0-9]{4}[ -]?[0-9]{4}[ -]?([0-9]{4})\\b"
replacement = "$1-****-****-$2"
[[replace]]
pattern = "smile"
replacement = "\U0001F600"
[[replace]]
pattern = "(x|y)+z"
replacement = "<$1>"
)toml";

TEST(TextRules, MatchWhatTheRecipientSeesAndWriteBackInItsEncoding) {
    std::string error;
    const auto config = loadConfigText(kRules, "rules.toml", &error);
    ASSERT_TRUE(config.has_value()) << error;
    struct Row {
        const char *what;
        uint32_t protocol;
        bool wide;
        std::string wire;
        std::string seen; // UTF-8, markup included: what the audit log shows
        std::string out;  // empty: no rule applies
        uint32_t masked;
    };
    const std::string hostile = std::string(200000, 'x') + "z";
    const Row rows[] = {
        {"UCS-2BE with an emoji", QMX_PROTO_OSCAR, true,
         utf16(u"pay 4111 1111 1111 1234 \U0001F600"), "pay 4111 1111 1111 1234 \xF0\x9F\x98\x80",
         utf16(u"pay 4111-****-****-1234 \U0001F600"), 0},
        {"UCS-2BE gets an emoji", QMX_PROTO_OSCAR, true, utf16(u"smile"), "smile",
         utf16(u"\U0001F600"), 0},
        {"Latin-1", QMX_PROTO_OSCAR, false, "caf\xE9 DARN", "caf\xC3\xA9 DARN", "caf\xE9 [bleep]",
         0},
        {"ASCII cannot carry an emoji", QMX_PROTO_OSCAR, false, "a smile", "a smile", "a *", 1},
        {"word split by tags", QMX_PROTO_OSCAR, false, "<HTML><BODY>da<B>rn</B></BODY></HTML>",
         "<HTML><BODY>da<B>rn</B></BODY></HTML>", "<HTML><BODY>[bleep]<B></B></BODY></HTML>", 0},
        {"entity-encoded word", QMX_PROTO_OSCAR, false, "d&#97;rn &amp; more",
         "d&#97;rn &amp; more", "[bleep] &amp; more", 0},
        {"markup in a replacement is escaped", QMX_PROTO_OSCAR, false, "<b>xz</b>", "<b>xz</b>",
         "<b>&lt;x&gt;</b>", 0},
        {"a lone '<' is text", QMX_PROTO_OSCAR, false, "1 <2 darn", "1 <2 darn", "1 <2 [bleep]", 0},
        {"YMSG colour escape", QMX_PROTO_YMSG, false, "\x1b[31mda\x1b[0mrn!",
         "\x1b[31mda\x1b[0mrn!", "\x1b[31m[bleep]\x1b[0m!", 0},
        {"YMSG Latin-1 fallback", QMX_PROTO_YMSG, false, "\xE9t\xE9 darn", "\xC3\xA9t\xC3\xA9 darn",
         "\xE9t\xE9 [bleep]", 0},
        {"MSN is UTF-8 without markup", QMX_PROTO_MSN, false, "caf\xC3\xA9 <i>darn</i>",
         "caf\xC3\xA9 <i>darn</i>", "caf\xC3\xA9 <i>[bleep]</i>", 0},
        {"word boundaries", QMX_PROTO_MSN, false, "darn darn,darn xdarn darnit",
         "darn darn,darn xdarn darnit", "[bleep] [bleep],[bleep] xdarn darnit", 0},
        {"NUL bytes are text", QMX_PROTO_MSN, false, std::string("a\0darn", 6),
         std::string("a\0darn", 6), std::string("a\0[bleep]", 9), 0},
        {"no rule applies", QMX_PROTO_YMSG, false, "hello", "hello", "", 0},
        {"hostile run", QMX_PROTO_YMSG, false, hostile, hostile, "<x>", 0},
    };
    for (const Row &r : rows) {
        const auto encoding = qmxhost::detectEncoding(r.protocol, r.wide, r.wire);
        EXPECT_EQ(qmxhost::toUtf8(r.wire, encoding), r.seen) << r.what;
        const auto rewritten = rewriteText(*config, r.protocol, r.wide, r.wire);
        EXPECT_EQ(rewritten ? rewritten->bytes : "", r.out) << r.what;
        EXPECT_EQ(rewritten ? rewritten->masked : 0, r.masked) << r.what;
    }
}

// The same rules as the proxy runs them, through the library: the new text
// goes back into its frame with every enclosing length fixed.
TEST(TextRules, RewrittenFramesCarryTheirLengthsThroughTheLibrary) {
    std::string error;
    const auto config = loadConfigText(kRules, "rules.toml", &error);
    ASSERT_TRUE(config.has_value()) << error;
    const auto frame = [](uint32_t protocol, bool wide, const std::string &text) {
        if (protocol == QMX_PROTO_OSCAR) {
            return qmxtest::oscarOutgoingIcbm(
                1, 7, 1, "bob",
                qmxtest::oscarMessageDataTlv(text, wide ? qmxtest::kCharsetUnicode : 0, 0));
        }
        if (protocol == QMX_PROTO_YMSG) {
            return qmxtest::YmsgPacket()
                .service(6)
                .field("1", "alice")
                .field("5", "bob")
                .field("14", text)
                .build();
        }
        return qmxtest::msnTextMsg({"1", "N"}, text);
    };
    const struct {
        uint32_t protocol;
        bool wide;
        std::string in, out;
    } rows[] = {
        {QMX_PROTO_OSCAR, true, utf16(u"pay 4111 1111 1111 1234 \U0001F600 darn"),
         utf16(u"pay 4111-****-****-1234 \U0001F600 [bleep]")},
        {QMX_PROTO_OSCAR, false, "<b>da</b>rn", "<b>[bleep]</b>"},
        {QMX_PROTO_YMSG, false, "\x1b[31mda\x1b[0mrn! " + std::string(300, 'x') + "z",
         "\x1b[31m[bleep]\x1b[0m! <x>"},
        {QMX_PROTO_MSN, false, "caf\xC3\xA9 darn", "caf\xC3\xA9 [bleep]"},
    };
    auto &host = qmxtest::ScriptedHost::get();
    ASSERT_EQ(QMX_init(), 0u);
    for (const auto &row : rows) {
        host.reset();
        host.install();
        host.setEventHook([&](uint32_t, FilterEvent *e) {
            const std::string_view text(e->text, static_cast<size_t>(e->textLength));
            if (auto r = rewriteText(*config, row.protocol, e->wideText != 0, text))
                QMX_setReplacementText(0, e, r->bytes.data(), r->bytes.size());
            return 1;
        });
        host.addConnection(1, 2);
        host.pushRecv(1, frame(row.protocol, row.wide, row.in));
        host.pushEof(1);
        host.pushEof(2);
        const uint32_t id = QMX_newInstance(row.protocol, 1, 2, 0);
        QMX_processInstance(id);
        QMX_deleteInstance(id);
        EXPECT_EQ(host.sent(2), frame(row.protocol, row.wide, row.out)) << row.protocol;
    }
    QMX_shutdown();
}

} // namespace

#endif
