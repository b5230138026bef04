// Who gets a display link in, and how many at once.
#include <gtest/gtest.h>

#include "link_policy.h"

using namespace telvane::consent;

TEST(LinkPolicy, FixedAnswersWinThenARememberedSenderOrARecentYesAndOneAddressCannotHoldEveryPlace) {
    const LinkClock::time_point t0{};
    RecentYes yes;
    yes.record(7, t0);
    EXPECT_TRUE(yes.recent(7, t0 + kRecentYes));
    EXPECT_FALSE(yes.recent(7, t0 + kRecentYes + std::chrono::seconds(1)));
    EXPECT_FALSE(yes.recent(8, t0));
    EXPECT_EQ(decide_link(AnswerMode::RefuseAll, true, true), LinkDecision::Refuse);
    EXPECT_EQ(decide_link(AnswerMode::AcceptAll, false, false), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, true, false), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, false, true), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, false, false), LinkDecision::Ask);
    LinkCounter links;
    for (int i = 0; i < kMaxLinksPerPeer; ++i) ASSERT_TRUE(links.admit(1));
    EXPECT_FALSE(links.admit(1));
    links.release(1);
    EXPECT_TRUE(links.admit(1));
    for (std::uint32_t peer = 2; links.open() < kMaxLinks; ++peer) ASSERT_TRUE(links.admit(peer));
    EXPECT_FALSE(links.admit(999));
    links.release(999);   // never admitted: changes nothing
    EXPECT_EQ(links.open(), kMaxLinks);
}
