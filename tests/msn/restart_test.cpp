// A host may end an MSN relay at any wait and start it again on the same
// instance (qmx-proxy does, to bound the histories): the framing state lives
// in the instance, so the stream comes out whole wherever the cut falls.
#include "support/msn_builders.h"
#include "support/relay_fixture.h"

namespace qmxtest {
namespace {

using MsnRestart = RelayTest<QMX_PROTO_MSN>;

TEST_F(MsnRestart, ARelayStartedAgainMidCommandForwardsEveryByteOnceAndInOrder) {
    const std::vector<Bytes> commands{msnTextMsg({"1", "N"}, Bytes(700, 't')), "PNG\r\n",
                                      msnCommand("ADL 2", "<ml><d n=\"x\"/></ml>"),
                                      msnTextMsg({"3", "N"}, "hi")};
    Bytes stream;
    std::vector<size_t> ends;
    for (const Bytes &c : commands) ends.push_back((stream += c).size());
    const size_t line = commands[0].find("\r\n") + 2;
    std::vector<size_t> every97;
    for (size_t at = 97; at < stream.size(); at += 97) every97.push_back(at);
    // Each relay ends, on its failed wait, after the read up to its cut.
    for (std::vector<size_t> cuts : {std::vector<size_t>{5, line + 40, line + 600},
                                     {line, ends[0] + 3},
                                     {ends[1] + 1, ends[1] + 9, ends[2] - 1},
                                     every97}) {
        cuts.push_back(stream.size());
        size_t pushed = 0;
        for (size_t cut : cuts) {
            host().pushRecv(kClient, stream.substr(pushed, cut - pushed));
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
