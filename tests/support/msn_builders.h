// MSN builders for tests: command lines from their tokens, and MSG payloads
// from named headers and a body, with the length token computed unless a
// test overrides it.
//
//   Bytes m = MsnMsg().tokens({"1", "N"}).header("Content-Type", "text/plain")
//                 .body("hello").build();
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/scripted_host.h"

namespace qmxtest {

// "CMD a b c\r\n": the tokens joined by single spaces, then CR LF.
Bytes msnLine(const std::vector<std::string> &tokens);

// A payload command: the tokens, the payload's byte count as the last token,
// CR LF and the payload ("ADL 1 5\r\n<x/>!").
Bytes msnPayloadCommand(const std::vector<std::string> &tokens, const Bytes &payload);

class MsnMsg {
public:
    // Tokens between "MSG" and the length: trid and acknowledgement mode from
    // the client ("1", "N"), sender and nickname from the server.
    MsnMsg &tokens(const std::vector<std::string> &between);
    // One header line "name: value".
    MsnMsg &header(const std::string &name, const std::string &value);
    // A line put into the header block as it is (without its CR LF).
    MsnMsg &rawHeaderLine(const Bytes &line);
    MsnMsg &body(const Bytes &body);
    // Leaves out the blank line between headers and body.
    MsnMsg &withoutBlankLine();

    Bytes headerBlock() const; // the header lines joined by CR LF
    Bytes payload() const;     // header block, blank line, body
    Bytes build() const;       // "MSG <tokens> <length>\r\n" + payload

private:
    std::vector<std::string> tokens_{"1", "N"};
    std::vector<Bytes> headerLines_;
    Bytes body_;
    bool blankLine_ = true;
};

// The usual MSG shapes.
Bytes msnTextMsg(const std::vector<std::string> &between, const Bytes &text);
Bytes msnInvitationMsg(const std::vector<std::string> &between,
                       const std::string &invitationCommand);
Bytes msnP2pMsg(const std::vector<std::string> &between, const Bytes &binaryBody);
Bytes msnDatacastMsg(const std::vector<std::string> &between, const std::string &id);

} // namespace qmxtest
