// Frame classes at their edges, as the events they raise (filter rows pin the rest).
#include <gtest/gtest.h>

#include "oscar/oscar_fixture.h"

namespace qmxtest {
namespace {

using OscarDecode = OscarTest;

TEST_F(OscarDecode, EachFrameRaisesTheEventOfItsClassWithTheNameAndTextItCarries) {
    const auto toBob = [](const std::string &tlvs) { return im(kOut, "0002 {'bob'}", tlvs); };
    const std::vector<Conn> rows = {
        // A channel-1 frame over 256 bytes is a cookie sign-on, name or not.
        one(true, "*01 0001 [00000001 0001 ['alice'] 0002 ['secret'] 0099 [55*229]]", "=",
            "event 0 C alice>- ''\npolicy alice 0 -\n", ""),
        one(true, "*01 0001 [00000001 0001 ['alice'] 0002 ['secret'] 0099 [55*230]]", "=",
            "event 0 C ''>- ''\n"),
        // A channel-4 reply needs 256 bytes, a name and a cookie.
        one(false, "*04 0001 [0001 ['alice'] 0006 [42*243]]", "=", "event 0 S alice>- ''\n"),
        one(false, "*04 0001 [0001 ['alice'] 0006 [42*242]]", "=", ""),
        one(false, "*04 0001 [0001 ['alice'] 0099 [55*300]]", "=", ""),
        one(false, "*02 0001 [0017 0003 0000 00000000 0001 ['alice'] 0006 [42*10]]", "=",
            "event 0 S alice>- ''\n"),
        one(false, "*02 0001 [0004 0003 0000 00000000 0001 ['alice'] 0006 [42*10]]", "=", ""),
        // Latin-1 is single-byte text; a charset word the filter does not know is not.
        one(true, im(kOut, "0001 {'bob'}", text("'hi'", "0003")), "=",
            "event 1 C ''>bob 'hi'\npolicy '' 1 bob\n", ""),
        one(true, im(kOut, "0001 {'bob'}", text("'hi'", "0001")), "=",
            "event 1 C ''>bob wide 'hi'\npolicy '' 1 bob\n", ""),
        // Over the server relay, an accept is a file frame, and so is a plugin
        // message naming the file plugin, with its file name.
        one(true, toBob(rendezvous(kCapRelay, "", "0002")), "=", "event 2 C ''>bob ''\n"),
        one(false, im(kIn, "0002 {'777'} 0000 0000", pluginMessage(kPluginFile, "'notes.txt'")),
            "=", "event 2 S 777>'' 'notes.txt'\n"),
        one(true,
            toBob(rendezvous(kCapRelay, "2711 [1B00 0800 00*15 01 00*25 01 00 0000 0100 <00>]")),
            "=", ""),
        one(true, toBob(rendezvous("42*16", "2711 [0000 0001 00000001 'x' 00]")), "=", ""),
    };
    for (const Conn &row : rows) play({row});
}

} // namespace
} // namespace qmxtest
