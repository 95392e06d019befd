// The OSCAR relay loop: foreign streams, idleness, urgent bytes, cut frames, failures.
#include <gtest/gtest.h>

#include "oscar/oscar_fixture.h"

namespace qmxtest {
namespace {

using OscarRelay = OscarTest;

TEST_F(OscarRelay, EachSideIsRelayedFrameByFrameUntilItEndsOrFails) {
    const std::string ready = "*02 0001 [0001 0002 0000 00000000 0001 0004 0110164F]";
    const std::string request = "'GET / HTTP/1.0' 0D0A 58*3000";
    const auto wholeReads = [](Ids) { host().setReadLimit(kClient, 0); };
    const std::vector<Conn> rows = {
        // Bytes that are not FLAP go to the raw-data slot and, unless it
        // answers 2, on to the other side: the six read and one more
        // receive's worth, at most 2048 in all. Then the instance stops.
        {request, "", "'GET / HTTP/1.0' 0D0A 58*2032", "",
         "raw 101>202 2048\nwait 101 101 0 0 3.0\n" + end(2, "", 1), "", "", wholeReads},
        {"*05 0001 []" + request, "", "*05 0001 []", "",
         "raw 101>202 2048\nwait 101 101 0 0 3.0\n" + end(3, "", 1), "", "",
         [&](Ids ids) {
             wholeReads(ids);
             host().pushRawAnswer(ids.back(), 2);
         }},
        // When the wait for the rest fails, only the six bytes read go on.
        {request, "", "'GET / '", "", "raw 101>202 6\nwait 101 101 0 0 3.0\n" + end(2, "", 1), "",
         "",
         [](Ids) {
             for (const int r : {1, -1}) host().pushWait(kClient, r);
         }},
        {"", "", "", "", end(101), "", "", [](Ids) { host().pushWaits(kClient, 0, 150); }},
        // Urgent bytes are copied in pieces of up to 1024, never filtered.
        {"", "", "", "", "oob 202 1024\noob 101 1\noob 202 1024\noob 202 952\n" + end(4), "", "",
         [&](Ids ids) {
             wholeReads(ids);
             host().pushOob(kClient, Bytes(3000, '*'));
             host().pushOob(kServer, "!");
         }},
        // Nothing of a frame that a side ends inside goes on.
        {"*05 0000 [] *02 0001 0012 00*17", "*05 0007 []", "*05 0000 []", "=",
         "log 2 Incomplete/malformed message\n" + kClientEnds + kServerEnds + end(3)},
        // A failed send loses the rest of that frame only.
        {ready + "*05 0002 []", "", "*02 0001 *05 0002 []", "", kClientEnds + end(4), "", "",
         [](Ids) {
             host().setSendLimit(kServer, 4);
             host().pushSendResult(kServer, 4);
             host().pushSendResult(kServer, -1);
         }},
        {ready, "", "", "", "log 2 Out of memory for a frame of 24 bytes\n" + kClientEnds + end(2),
         "", "", [](Ids) { qmxAllocFailAfter(0); }},
    };
    for (const Conn &row : rows) play({row});
}

} // namespace
} // namespace qmxtest
