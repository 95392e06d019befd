// The proxy's own decisions, without sockets: configuration values, policy
// rule order, text replacement and audit-line quoting.
#include <gtest/gtest.h>

#ifndef QMX_E2E_WITHOUT_PROXY

#include "audit.h"
#include "config.h"
#include "policy.h"

#include <qmx/qmx.h>

namespace {

using namespace qmxproxy;

Config load(const std::string &text) {
    std::string error;
    auto c = loadConfigText(text, "test.toml", &error);
    EXPECT_TRUE(c.has_value()) << error;
    return c ? *c : Config{};
}

TEST(HostPolicy, FirstMatchingRuleDecidesAndNamesMatchWithoutCase) {
    const Config c = load(R"toml(
[policy]
default = "deny"
[[policy.rules]]
protocol = "msn"
action = "im_*"
remote = "*@blocked.example"
decision = "deny"
[[policy.rules]]
action = "im_*"
decision = "allow"
[[policy.rules]]
action = "login"
local = "Alice"
decision = "allow"
)toml");
    struct Row {
        uint32_t protocol, action;
        const char *local, *remote;
        bool allow;
        int rule;
    } rows[] = {
        {QMX_PROTO_MSN, QMX_ACTION_IM_OUT, "a@x", "BOB@Blocked.Example", false, 0},
        {QMX_PROTO_YMSG, QMX_ACTION_IM_OUT, "a", "bob@blocked.example", true, 1},
        {QMX_PROTO_MSN, QMX_ACTION_IM_IN, "a@x", "carol@x", true, 1},
        {QMX_PROTO_OSCAR, QMX_ACTION_LOGIN, "alice", nullptr, true, 2},
        {QMX_PROTO_OSCAR, QMX_ACTION_LOGIN, "alicia", nullptr, false, -1},
        {QMX_PROTO_OSCAR, QMX_ACTION_FILE_SEND, "alice", "bob", false, -1},
    };
    for (const Row &r : rows) {
        const Verdict v = decide(c, r.protocol, r.action, r.local, r.remote);
        EXPECT_EQ(v.allow, r.allow) << actionName(r.action) << " " << r.local;
        EXPECT_EQ(v.rule, r.rule) << actionName(r.action) << " " << r.local;
    }
}

TEST(HostAudit, JsonStringsStayValidWhateverTheBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"quote \" and \\ backslash", "\"quote \\\" and \\\\ backslash\""},
        {"line\r\nbreak\t\x01", "\"line\\r\\nbreak\\t\\u0001\""},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""}, // valid UTF-8 passes through
        {"caf\xE9", "\"caf\xC3\xA9\""},     // Latin-1 byte becomes U+00E9
        {"\xC3", "\"\xC3\x83\""},           // truncated sequence
        {std::string("nul\0!", 5), "\"nul\\u0000!\""},
    };
    for (const auto &[in, out] : cases) {
        std::string json;
        appendJsonString(json, in);
        EXPECT_EQ(json, out);
    }
}

} // namespace

#endif
