#include "support/msn_builders.h"

namespace qmxtest {

namespace {

std::string msnJoin(const std::vector<std::string> &tokens) {
    std::string joined;
    for (const std::string &token : tokens) {
        if (!joined.empty()) joined += ' ';
        joined += token;
    }
    return joined;
}

} // namespace

Bytes msnLine(const std::vector<std::string> &tokens) { return msnJoin(tokens) + "\r\n"; }

Bytes msnPayloadCommand(const std::vector<std::string> &tokens, const Bytes &payload) {
    std::vector<std::string> all = tokens;
    all.push_back(std::to_string(payload.size()));
    return msnLine(all) + payload;
}

MsnMsg &MsnMsg::tokens(const std::vector<std::string> &between) {
    tokens_ = between;
    return *this;
}

MsnMsg &MsnMsg::header(const std::string &name, const std::string &value) {
    headerLines_.push_back(name + ": " + value);
    return *this;
}

MsnMsg &MsnMsg::rawHeaderLine(const Bytes &line) {
    headerLines_.push_back(line);
    return *this;
}

MsnMsg &MsnMsg::body(const Bytes &body) {
    body_ = body;
    return *this;
}

MsnMsg &MsnMsg::withoutBlankLine() {
    blankLine_ = false;
    return *this;
}

Bytes MsnMsg::headerBlock() const {
    Bytes block;
    for (size_t i = 0; i < headerLines_.size(); ++i) {
        if (i > 0) block += "\r\n";
        block += headerLines_[i];
    }
    return block;
}

Bytes MsnMsg::payload() const { return headerBlock() + (blankLine_ ? "\r\n\r\n" : "\r\n") + body_; }

Bytes MsnMsg::build() const {
    const Bytes bytes = payload();
    std::vector<std::string> line{"MSG"};
    line.insert(line.end(), tokens_.begin(), tokens_.end());
    line.push_back(std::to_string(bytes.size()));
    return msnLine(line) + bytes;
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

Bytes msnInvitationMsg(const std::vector<std::string> &between,
                       const std::string &invitationCommand) {
    const Bytes body = "Application-Name: File Transfer\r\n"
                       "Application-GUID: {5D3E02AB-6190-11d3-BBBB-00C04F795683}\r\n"
                       "Invitation-Command: " +
                       invitationCommand +
                       "\r\n"
                       "Invitation-Cookie: 12345\r\n"
                       "Application-File: notes.txt\r\n"
                       "Application-FileSize: 1024\r\n\r\n";
    return MsnMsg()
        .tokens(between)
        .header("MIME-Version", "1.0")
        .header("Content-Type", "text/x-msmsgsinvite; charset=UTF-8")
        .body(body)
        .build();
}

Bytes msnP2pMsg(const std::vector<std::string> &between, const Bytes &binaryBody) {
    return MsnMsg()
        .tokens(between)
        .header("MIME-Version", "1.0")
        .header("Content-Type", "application/x-msnmsgrp2p")
        .header("P2P-Dest", "bob@example.com")
        .body(binaryBody)
        .build();
}

Bytes msnDatacastMsg(const std::vector<std::string> &between, const std::string &id) {
    return MsnMsg()
        .tokens(between)
        .header("MIME-Version", "1.0")
        .header("Content-Type", "text/x-msnmsgr-datacast")
        .body("ID: " + id + "\r\n\r\n")
        .build();
}

} // namespace qmxtest
