#include "msn_fixture.h"

namespace qmxtest {
namespace {

class MsnPolicy : public MsnTest {
protected:
    std::string own() const { return text(data()->ownAddress); }
    std::string peer() const { return text(data()->peerAddress); }
};

TEST_F(MsnPolicy, LoginCommandsNameTheAddressThatLogsIn) {
    struct Case {
        Bytes line;
        bool fromServer;
        const char *login; // NULL: not a login
    } cases[] = {
        {msnLine({"USR", "1", "TWN", "I", "alice@example.com"}), false, "alice@example.com"},
        {msnLine({"USR", "1", "SSO", "I", "alice@example.com"}), false, "alice@example.com"},
        {msnLine({"USR", "1", "TWN", "S", "t=ticket"}), false, nullptr},
        {msnLine({"USR", "1", "TWN", "I"}), false, nullptr},
        {msnLine({"USR", "2", "OK", "alice@example.com", "1", "0"}), true, nullptr},
        {msnLine({"USR", "2", "SHA", "A", "abc"}), false, nullptr},
        {msnLine({"USR", "3", "carol@example.com", "Carol"}), true, "carol@example.com"},
        {msnLine({"USR", "1", "TWN", "I", "12:alice@example.com"}), false, "alice@example.com"},
        {msnLine({"USR", "1", "TWN", "I", "alice@example.com;{f52973b6}"}), false,
         "alice@example.com"},
        {msnLine({"USR", "1", "TWN", "I", "12:34"}), false, "34"},
        {msnLine({"USR", "1", "TWN", "I", ";;::"}), false, nullptr},
        {msnLine({"ANS", "1", "alice@example.com", "ticket", "1"}), false, "alice@example.com"},
        {msnLine({"ANS", "1", "alice@example.com", "ticket", "1"}), true, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        (c.fromServer ? fromServer({c.line}) : fromClient({c.line}));
        run();
        const std::string who = c.login != nullptr ? std::string("'") + c.login + "'" : "";
        const uint32_t side = c.fromServer ? 0 : 1;
        EXPECT_EQ(questions(), c.login == nullptr
                                   ? ""
                                   : "event type=0 fromClient=" + std::to_string(side) + " from=" +
                                         who + " to=NULL len=0\npolicy " + who + " 0 NULL\n");
        EXPECT_EQ(own(), c.login != nullptr ? c.login : "");
        EXPECT_EQ(host().sent(c.fromServer ? kClient : kServer), c.line);
        fresh();
    }
}

TEST_F(MsnPolicy, ARefusedLoginIsAnsweredWithTheRefusalLineAndLearnsNothing) {
    for (bool bySlot2 : {true, false}) {
        SCOPED_TRACE(bySlot2 ? "refused by slot 2" : "refused by slot 1");
        if (bySlot2)
            host().pushEventAnswer(id, EventAnswer{0, std::nullopt});
        else
            host().pushPolicyAnswer(id, 0);
        fromClient({msnLine({"USR", "1", "TWN", "I", "alice@example.com"}) + "PNG\r\n"});
        run();
        EXPECT_EQ(host().policies().size(), bySlot2 ? 0u : 1u);
        EXPECT_EQ(own(), "");
        EXPECT_EQ(host().sent(kServer), "USR user not allowed\r\nPNG\r\n");
        fresh();
    }
}

TEST_F(MsnPolicy, TheFirstAllowedLoginKeepsTheOwnAddress) {
    fromClient({msnLine({"USR", "1", "TWN", "I", "alice@example.com"}),
                msnLine({"USR", "2", "TWN", "I", "mallory@example.com"}),
                msnTextMsg({"3", "N"}, "hi")});
    run();
    EXPECT_EQ(own(), "alice@example.com");
    EXPECT_EQ(host().policies().back().local, "alice@example.com");
}

TEST_F(MsnPolicy, CallsAreAskedAboutUnlessTheyCallTheUserOrComeFromTheServer) {
    fromClient({msnLine({"USR", "1", "TWN", "I", "alice@example.com"}),
                msnLine({"CAL", "2", "alice@example.com"}),
                msnLine({"CAL", "3", "bob@example.com"}),
                msnLine({"CAL", "7", "eve@example.com"})});
    fromServer({msnLine({"CAL", "4", "RINGING", "1234"})});
    host().pushPolicyAnswer(id, 1); // login
    host().pushPolicyAnswer(id, 1); // bob
    host().pushPolicyAnswer(id, 0); // eve
    run();
    EXPECT_EQ(questions(), "event type=0 fromClient=1 from='alice@example.com' to=NULL len=0\n"
                           "policy 'alice@example.com' 0 NULL\n"
                           "policy 'alice@example.com' 1 'bob@example.com'\n"
                           "policy 'alice@example.com' 1 'eve@example.com'\n");
    EXPECT_EQ(host().sent(kServer), msnLine({"USR", "1", "TWN", "I", "alice@example.com"}) +
                                        msnLine({"CAL", "2", "alice@example.com"}) +
                                        msnLine({"CAL", "3", "bob@example.com"}) +
                                        "CAL 7 BLOCKED_CONTACT\r\n");
    EXPECT_EQ(host().sent(kClient), msnLine({"CAL", "4", "RINGING", "1234"}));
}

TEST_F(MsnPolicy, ThePeerIsTheFirstRosterOrJoinEntryOtherThanTheUser) {
    fromClient({msnLine({"ANS", "1", "alice@example.com", "ticket", "99"})});
    fromServer({msnLine({"IRO", "1", "1", "2", "alice@example.com", "Alice"}),
                msnLine({"IRO", "1", "2", "2", "bob@example.com", "Bob"}),
                msnLine({"JOI", "carol@example.com", "Carol"}),
                msnTextMsg({"bob@example.com", "Bob"}, "hey")});
    run();
    EXPECT_EQ(peer(), "bob@example.com");
    const std::string asked = questions();
    EXPECT_NE(asked.find("event type=1 fromClient=0 from='bob@example.com' to='alice@example.com'"),
              std::string::npos)
        << asked;
    EXPECT_EQ(asked.substr(asked.rfind("policy")),
              "policy 'alice@example.com' 2 'bob@example.com'\n");
}

TEST_F(MsnPolicy, PresenceFromTheServerIsAskedAboutAndRemovedWhenRefused) {
    const Bytes nln = msnLine({"NLN", "NLN", "bob@example.com", "Bob", "0"});
    const Bytes iln = msnLine({"ILN", "5", "BSY", "carol@example.com", "Carol"});
    fromServer({nln + iln});
    fromClient({nln});
    host().pushPolicyAnswer(id, 0);
    run();
    EXPECT_EQ(questions(), "policy '' 2 'bob@example.com'\npolicy '' 2 'carol@example.com'\n");
    EXPECT_EQ(host().sent(kClient), iln);
    EXPECT_EQ(host().sent(kServer), nln);
}

TEST_F(MsnPolicy, AnAcceptanceSentByTheClientIsAFileComingIn) {
    fromClient({msnLine({"USR", "1", "TWN", "I", "alice@example.com"}),
                msnP2pMsg({"2", "D"}, "MSNSLP/1.0 200 OK\r\n")});
    fromServer({msnLine({"JOI", "bob@example.com", "Bob"})});
    run();
    const std::string asked = questions();
    EXPECT_NE(asked.find("event type=2 fromClient=0 from='bob@example.com' to='alice@example.com'"),
              std::string::npos)
        << asked;
    EXPECT_EQ(asked.substr(asked.rfind("policy")),
              "policy 'alice@example.com' 4 'bob@example.com'\n");
}

int32_t refuseEverything(uint32_t, const char *, uint32_t, const char *) { return 0; }

TEST_F(MsnPolicy, PolicyAndEventSlotsAreReadAfreshForEveryCommand) {
    const Bytes nln = msnLine({"NLN", "NLN", "bob@example.com", "Bob", "0"});
    fromServer({nln});
    run();
    ASSERT_EQ(host().sent(kClient), nln);
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_POLICY, cb(refuseEverything)), 0u);
    fromServer({nln, msnTextMsg({"bob@example.com", "Bob"}, "hi")});
    run();
    EXPECT_EQ(host().sent(kClient), nln) << "nothing more reached the client";
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_EVENT, nullptr), 0u);
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_POLICY, nullptr), 0u);
    fromServer({nln});
    run();
    EXPECT_EQ(host().sent(kClient), nln + nln) << "empty slots allow, as the defaults do";
}

} // namespace
} // namespace qmxtest
