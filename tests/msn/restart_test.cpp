// A host may end an MSN relay at any wait and start it again on the same
// instance (qmx-proxy does, to bound the histories): the framing state lives
// in the instance, so the stream comes out whole wherever the cut falls.
#include "msn_fixture.h"

namespace qmxtest {
namespace {

class MsnRestart : public MsnTest {};

TEST_F(MsnRestart, ARelayStartedAgainMidCommandForwardsEveryByteOnceAndInOrder) {
    const std::vector<Bytes> commands{
        msnTextMsg({"1", "N"}, Bytes(700, 't')),
        msnLine({"PNG"}),
        msnPayloadCommand({"ADL", "2"}, "<ml><d n=\"x\"/></ml>"),
        msnTextMsg({"3", "N"}, "hi"),
    };
    Bytes stream;
    std::vector<size_t> ends;
    for (const Bytes &c : commands) ends.push_back((stream += c).size());
    const size_t msgLine = commands[0].find("\r\n") + 2;
    struct Case {
        const char *name;
        std::vector<size_t> cuts; // a relay ends after each read
    } cases[] = {
        {"inside the line, then inside the payload", {5, msgLine + 40, msgLine + 600}},
        {"right after the line", {msgLine, ends[0] + 3}},
        {"one byte at a time through the ADL", {ends[1] + 1, ends[1] + 9, ends[2] - 1}},
        {"at every 97th byte", {}},
    };
    for (size_t at = 97; at < stream.size(); at += 97) cases[3].cuts.push_back(at);
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.cuts.push_back(stream.size());
        size_t pushed = 0;
        for (size_t cut : c.cuts) {
            fromClient({stream.substr(pushed, cut - pushed)});
            pushed = cut;
            EXPECT_EQ(run(), 1);
            size_t complete = 0;
            for (size_t end : ends) complete = end <= pushed ? end : complete;
            ASSERT_EQ(host().sent(kServer), stream.substr(0, complete)) << "after " << pushed;
        }
        EXPECT_TRUE(host().raws().empty()) << "a cut never turns framed bytes into raw ones";
        EXPECT_EQ(host().events().size(), 2u);
        TearDown();
        SetUp();
    }
}

} // namespace
} // namespace qmxtest
