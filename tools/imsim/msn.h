// MSN Messenger: CR LF-terminated command lines; MSG and a few other
// commands carry a payload whose byte length is the line's last token.
#pragma once

#include "imsim/net.h"

#include <string>
#include <vector>

namespace imsim {

struct MsnCommand {
    std::string line; // without CR LF
    std::string payload;
    std::vector<std::string> tokens;
    std::string raw;

    // The body after the blank line of a MSG payload.
    std::string body() const;
    // A header of a MSG payload ("Content-Type"), or empty.
    std::string header(const std::string &name) const;
};

// Reads one command and, for MSG and the other payload commands, its payload.
MsnCommand msnRead(Socket &s, int timeoutMs = kDefaultTimeoutMs);

std::string msnLogin(int trid, const std::string &address); // USR trid TWN I address
// A text message from the client ("MSG trid N len") or, with a sender,
// from the switchboard ("MSG sender nick len").
std::string msnTextFromClient(int trid, const std::string &text);
std::string msnTextFromServer(const std::string &sender, const std::string &text);
std::string msnFileInviteFromClient(int trid, const std::string &fileName);
std::string msnJoin(const std::string &address);

} // namespace imsim
