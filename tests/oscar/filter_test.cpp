// What the OSCAR filter shows and asks the host, and what it does with the answers.
#include <gtest/gtest.h>

#include "oscar/oscar_fixture.h"

namespace qmxtest {
namespace {

using namespace std::string_literals;
using OscarFilter = OscarTest;

const std::string kTzer = "F02D12D9 3091D311 8DD70010 4B06462F "; // any plugin but the file one
const std::string kBlockedOut = "log 0 Blocked outgoing IM/DATACAST from client  to user ";
const std::string kBlockedIn = "log 0 Blocked incoming IM/DATACAST from user ";

TEST_F(OscarFilter, RefusalsSpoilALoginOrCutAMessageToItsIcbmHeader) {
    const std::string n31(31, 'n');
    const std::string login =
        "event 0 C alice>- ''\npolicy alice 0 -\nlog 0 Blocked LOGIN from client alice\n";
    const std::string toBob = im(kOut, "0001 {'bob'}", "");
    const std::string hiToBob = im(kOut, "0001 {'bob'}", text("'hi'"));
    const std::vector<Conn> rows = {
        one(true, "*01 0001 [00000001 0001 ['alice'] 0002 ['pw'] 0003 ['aim']]",
            "*01 0001 [00000001 0001 ['alice'] 0002 [8F 'w'] 0003 ['aim']]", login),
        // Over SNAC it is the hash, not a TLV 2, that is spoiled.
        one(true, "*02 0001 [0017 0002 0000 00000000 0001 ['alice'] 0002 ['pw'] 0025 [0F*16]]",
            "*02 0001 [0017 0002 0000 00000000 0001 ['alice'] 0002 ['pw'] 0025 [F0 0F*15]]", login),
        one(true, "*01 0001 [00000001 0001 ['alice']]", "=", login),
        one(true, "*01 0001 [00000001 0001 ['alice'] 0002 [] 0003 ['aim']]", "=", login),
        // A name over 31 bytes is known by its first 31.
        one(true, im(kOut, "0001 {6E*40}", text("'x'")), im(kOut, "0001 {6E*40}", ""),
            "event 1 C ''>" + n31 + " 'x'\npolicy '' 1 " + n31 + "\n" + kBlockedOut + n31 + "\n"),
        one(true, hiToBob, toBob,
            "event 1 C ''>bob 'hi'\npolicy '' 1 bob\n" + kBlockedOut + "bob\n"),
        // An event answer of 0 refuses without asking the policy.
        {hiToBob, "", toBob, "",
         "event 1 C ''>bob 'hi'\n" + kBlockedOut + "bob\n" + kClientEnds + end(3), "", "0"},
        one(true, im(kOut, "0002 {'777'}", pluginMessage(kTzer, "")), im(kOut, "0002 {'777'}", ""),
            "event 3 C ''>777 ''\npolicy '' 5 777\n" + kBlockedOut + "777\n"),
        // Coming in, the user-info count drops to 0 with the TLVs it counted.
        one(false, im(kIn, "0001 {'carol'} 0007 0002 0001 [0010] 0006 [00000000]", text("'hey'")),
            im(kIn, "0001 {'carol'} 0007 0000", ""),
            "event 1 S carol>'' 'hey'\npolicy '' 2 carol\n" + kBlockedIn + "carol to client \n"),
        one(false, im(kIn, "0002 {'777'}" + kUserInfo, pluginMessage(kTzer, "")),
            im(kIn, "0002 {'777'} 0000 0000", ""),
            "event 3 S 777>'' ''\npolicy '' 6 777\n" + kBlockedIn + "777 to client \n"),
        // A refused sign-on is held back and ends the server side.
        {"*05 0009 []", "*02 0001 [" + kSelfInfo + "{'mallory'}" + kUserInfo + "] *05 0002 []", "=",
         "",
         "policy mallory 0 -\nlog 0 Blocked LOGIN from client mallory\n" + kServerEnds +
             kClientEnds + end(3),
         "0"},
    };
    for (const Conn &row : rows) play({row});
}

TEST_F(OscarFilter, ReplacementIsSplicedWithEveryEnclosingLengthMovedWhereItCanApply) {
    const auto replace = [](const std::string &from, const Bytes &by, const std::string &to) {
        return Conn{from, "", to, "", "", "", "=" + by};
    };
    const auto toBob = [](const std::string &t, const std::string &more = "") {
        return im(kOut, "0001 {'bob'}", text(t) + more);
    };
    const std::string icqAbc = "01 00 0000 0100 <'abc' 00> 00000000 00000000";
    const std::vector<Conn> rows = {
        replace(toBob("'hello'", "0003 []"), "hello!!!", toBob("'hello!!!'", "0003 []")),
        replace(toBob("'hello'"), "", toBob("")),
        replace(
            im(kOut, "0002 {'12345'}", icq(icqAbc)), "abcdefgh",
            im(kOut, "0002 {'12345'}", icq("01 00 0000 0100 <'abcdefgh' 00> 00000000 00000000"))),
        replace(toBob("'hi'"), Bytes(65494, 'y'), toBob("79*65494")), // the largest frame
        {"", im(kIn, "0001 {'carol'}" + kUserInfo, text("'hey'", "0002")), "",
         im(kIn, "0001 {'carol'}" + kUserInfo, text("'yo'", "0002")), "", "", "=yo"},
        // Not a text, or a text or frame that would outgrow its 16-bit length.
        replace(im(kOut, "0002 {'777'}", pluginMessage(kTzer, "")), "x", "="),
        replace(im(kOut, "0002 {'bob'}", kSendFile), "x", "="),
        replace("*01 0001 [00000001 0001 ['a'] 0002 ['b']]", "x", "="),
        replace(toBob("'hi'"), Bytes(65536, 'y'), "="),
        replace(toBob("'hi'"), Bytes(65495, 'y'), "="),
    };
    for (const Conn &row : rows) play({row});
}

// The login server's reply names the user's next connection, which signs on
// with its cookie; a self-info frame names a connection too. File requests
// between two users signed on here are put to the policy for both (an
// approved cookie lets one more frame through); deleting an instance signs
// its user off. Past 1024 unclaimed login replies the oldest makes room.
TEST_F(OscarFilter, ConnectionsLearnTheirUserAndFileRequestsAskBothUsersSignedOnHere) {
    const std::string signon = "*01 0001 [00000001 0006 [42*300]]";
    const std::string request = im(kOut, "0002 {'bob'}", kSendFile);
    const std::string asked =
        "event 2 C alice>bob 'a.txt'\npolicy alice 3 bob\npolicy bob 4 alice\n";
    std::string replies =
        "*04 0001 [0001 ['old'] 0006 [0A*300]] *04 0001 [0001 ['alice'] 0006 [42*300]]";
    for (int i = 0; i < 1023; ++i) replies += "*04 0001 [0001 ['x'] 0006 [0C*300]]";
    play({
        {"", replies, "", "=", "", "", "", [](Ids) { host().setReadLimit(kServer, 0); }},
        // Neither from the server side nor on a connection already named.
        one(false, signon, "=", "event 0 S ''>- ''\n", ""),
        {signon + im(kOut, "0001 {'carol'}", text("'yes'")),
         "*02 0001 [" + kSelfInfo + "{'zed'}" + kUserInfo + "]" +
             im(kIn, "0001 {'bob'} 0000 0000", text("00 'h' 00 'i'", "0002")),
         "=", "=",
         "policy zed 0 -\nevent 1 S bob>zed wide '\0h\0i'\npolicy zed 2 bob\nevent 0 C zed>- ''\n"s +
             kServerEnds + "event 1 C zed>carol 'yes'\npolicy zed 1 carol\n" + kClientEnds +
             end(6, "zed"),
         "", "", [](Ids) { host().pushWaits(kServer, 2, 2); }},
        {"", "*02 0001 [" + kSelfInfo + "{'bob'}]", "", "=",
         "policy bob 0 -\n" + kServerEnds + end(3, "bob")},
        {signon + request + request + request, im(kIn, "0002 {'bob'} 0000 0000", kSendFile),
         signon + request + request + im(kOut, "0002 {'bob'}", ""),
         im(kIn, "0002 {'bob'} 0000 0000", ""),
         "event 0 C alice>- ''\nevent 2 S bob>alice 'a.txt'\npolicy bob 3 alice\n"
         "log 0 Blocked file receive from user bob to client alice\n" +
             asked + kServerEnds + "event 2 C alice>bob 'a.txt'\n" + asked +
             "log 0 Blocked file send from client alice to user bob\n" + kClientEnds +
             end(6, "alice"),
         "01110"},
        // A ticket is claimed once, and the oldest reply made room for the newest.
        one(true, signon, "=", "event 0 C ''>- ''\n", ""),
        one(true, "*01 0001 [00000001 0006 [0A*300]]", "=", "event 0 C ''>- ''\n", ""),
        {request, im(kIn, "0002 {'eve'} 0000 0000", kSendFile), "=", "=",
         "event 2 C ''>bob 'a.txt'\nevent 2 S eve>'' 'a.txt'\n" + kClientEnds + kServerEnds +
             end(3),
         "00", "", [](Ids ids) { QMX_deleteInstance(ids[3]); }},
    });
}

} // namespace
} // namespace qmxtest
