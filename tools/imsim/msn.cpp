#include "imsim/msn.h"

#include <set>

namespace imsim {

namespace {

std::vector<std::string> splitSpaces(const std::string &line) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < line.size()) {
        const size_t sp = line.find(' ', at);
        const size_t end = sp == std::string::npos ? line.size() : sp;
        if (end > at) out.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

std::string msg(const std::string &head, const std::string &payload) {
    return head + " " + std::to_string(payload.size()) + "\r\n" + payload;
}

std::string textPayload(const std::string &text) {
    return "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\nX-MMS-IM-Format: "
           "FN=Arial\r\n\r\n" +
           text;
}

} // namespace

std::string MsnCommand::body() const {
    const auto at = payload.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : payload.substr(at + 4);
}

std::string MsnCommand::header(const std::string &name) const {
    const auto end = payload.find("\r\n\r\n");
    const std::string block = "\r\n" + payload.substr(0, end);
    const auto at = block.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const size_t from = at + name.size() + 4;
    return block.substr(from, block.find("\r\n", from) - from);
}

MsnCommand msnRead(Socket &s, int timeoutMs) {
    static const std::set<std::string> withPayload = {"MSG", "PAG", "NOT", "GCF", "ADL", "RML",
                                                      "UUX", "UBX", "NFY", "PUT", "UUN", "UBN"};
    MsnCommand c;
    c.raw = s.readUntil("\r\n", timeoutMs);
    c.line = c.raw.substr(0, c.raw.size() - 2);
    c.tokens = splitSpaces(c.line);
    if (!c.tokens.empty() && withPayload.count(c.tokens[0].substr(0, 3)) && c.tokens.size() > 1) {
        const std::string &last = c.tokens.back();
        if (!last.empty() && last.find_first_not_of("0123456789") == std::string::npos) {
            c.payload = s.readExact(std::stoul(last), timeoutMs);
            c.raw += c.payload;
        }
    }
    return c;
}

std::string msnLogin(int trid, const std::string &address) {
    return "USR " + std::to_string(trid) + " TWN I " + address + "\r\n";
}

std::string msnTextFromClient(int trid, const std::string &text) {
    return msg("MSG " + std::to_string(trid) + " N", textPayload(text));
}

std::string msnTextFromServer(const std::string &sender, const std::string &text) {
    return msg("MSG " + sender + " " + sender.substr(0, sender.find('@')), textPayload(text));
}

std::string msnFileInviteFromClient(int trid, const std::string &fileName) {
    const std::string payload =
        "MIME-Version: 1.0\r\nContent-Type: text/x-msmsgsinvite; charset=UTF-8\r\n\r\n"
        "Application-Name: File Transfer\r\nApplication-GUID: "
        "{5D3E02AB-6190-11d3-BBBB-00C04F795683}\r\n"
        "Invitation-Command: INVITE\r\nInvitation-Cookie: 42\r\nApplication-File: " +
        fileName + "\r\nApplication-FileSize: 4096\r\n\r\n";
    return msg("MSG " + std::to_string(trid) + " N", payload);
}

std::string msnJoin(const std::string &address) {
    return "JOI " + address + " " + address.substr(0, address.find('@')) + "\r\n";
}

} // namespace imsim
