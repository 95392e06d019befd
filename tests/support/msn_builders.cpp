#include "support/msn_builders.h"

namespace qmxtest {

Bytes msnLine(const std::vector<std::string> &tokens) {
    std::string line;
    for (const std::string &token : tokens) line += (line.empty() ? "" : " ") + token;
    return line + "\r\n";
}

Bytes MsnMsg::build() const {
    std::string line = "MSG";
    for (const std::string &token : tokens_) line += " " + token;
    return msnCommand(line, headers_ + "\r\n" + body_);
}

Bytes msnTextMsg(const std::vector<std::string> &between, const Bytes &text) {
    return MsnMsg()
        .tokens(between)
        .header("MIME-Version", "1.0")
        .header("Content-Type", "text/plain; charset=UTF-8")
        .header("X-MMS-IM-Format", "FN=Arial; EF=; CO=0; CS=0; PF=22")
        .body(text)
        .build();
}

} // namespace qmxtest
