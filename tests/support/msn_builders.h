// MSN commands for tests, fuzzers and benchmarks. The text protocol needs no
// notation: lines are written out with their CR LF, and msnCommand("ADL 1",
// "<ml/>") puts the payload's byte count at the end of the line for it.
#pragma once

#include <string>
#include <vector>

#include "support/scripted_host.h"

namespace qmxtest {

inline Bytes msnCommand(const std::string &line, const Bytes &payload) {
    return line + " " + std::to_string(payload.size()) + "\r\n" + payload;
}
// The tokens joined by single spaces, then CR LF.
Bytes msnLine(const std::vector<std::string> &tokens);

// A MSG: the tokens between "MSG" and the length ("1 N" from a client,
// sender and nickname from a server), header lines and a body.
class MsnMsg {
public:
    MsnMsg &tokens(const std::vector<std::string> &between) { return tokens_ = between, *this; }
    MsnMsg &header(const std::string &name, const std::string &value) {
        return headers_ += name + ": " + value + "\r\n", *this;
    }
    MsnMsg &body(const Bytes &text) { return body_ = text, *this; }
    Bytes build() const;

private:
    std::vector<std::string> tokens_{"1", "N"};
    Bytes headers_, body_;
};

// A plain-text MSG as clients send it.
Bytes msnTextMsg(const std::vector<std::string> &between, const Bytes &text);

} // namespace qmxtest
