// Who gets a display link in, and how many at once.
#include <gtest/gtest.h>

#include "link_policy.h"

#include <string>

using namespace telvane::consent;
using namespace std::chrono_literals;

namespace {

const LinkClock::time_point t0 = LinkClock::time_point{} + 1000s;

}  // namespace

TEST(LinkPolicy, FixedAnswersWinThenARememberedSenderOrAYesAndEachYesAdmitsOneLinkToItsDisplay) {
    EXPECT_EQ(decide_link(AnswerMode::RefuseAll, true, true), LinkDecision::Refuse);
    EXPECT_EQ(decide_link(AnswerMode::AcceptAll, false, false), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, true, false), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, false, true), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, false, false), LinkDecision::Ask);

    // Yes answers given (record) and links coming (take), in order: a link finds a yes or not.
    struct Step {
        bool link;
        std::uint32_t peer;
        int display;
        std::chrono::seconds at;
        bool found;
    } steps[] = {
        {false, 7, 0, 0s, false},
        {true, 8, 0, 1s, false},   // another address
        {true, 7, 1, 1s, false},   // another display: asked, and the yes stays
        {true, 7, 0, 60s, true},
        {true, 7, 0, 60s, false},  // used up by the first
        {false, 7, 0, 70s, false}, {false, 7, 0, 71s, false},
        {true, 7, 0, 72s, true}, {true, 7, 0, 72s, true},   // two yes answers, two links
        {false, 9, 3, 100s, false},
        {true, 9, 3, 161s, false},  // too late
    };
    RecentYes yes;
    for (const Step &s : steps) {
        if (!s.link) yes.record(s.peer, s.display, t0 + s.at);
        else EXPECT_EQ(yes.take(s.peer, s.display, t0 + s.at), s.found) << s.peer << " :" << s.display << " " << s.at.count();
    }
    // A long session keeps only the newest answers.
    for (std::uint32_t peer = 0; peer <= kMaxRecentYes; ++peer) yes.record(peer, 0, t0);
    EXPECT_FALSE(yes.take(0, 0, t0));
    EXPECT_TRUE(yes.take(kMaxRecentYes, 0, t0));

    // A yes counts for the display the person was asked on only when that is one of this host's.
    const std::pair<const char *, std::optional<int>> names[] = {
        {":3", 3}, {"unix:3.0", 3}, {"localhost:12", 12}, {"127.0.0.1:0.1", 0}, {":65535", 65535},
        {"otherhost:0", std::nullopt}, {"10.0.0.1:0", std::nullopt}, {":", std::nullopt}, {":x", std::nullopt},
        {"", std::nullopt}, {":3x", std::nullopt}, {":-1", std::nullopt}, {":65536", std::nullopt},
    };
    for (const auto &[name, number] : names) EXPECT_EQ(local_display_number(name), number) << name;
}

TEST(LinkPolicy, SilentConnectionsGiveWayToNewOnesOneAddressCannotHoldThePoolAndABurstIsLoggedOnce) {
    LinkPlaces places;
    // Eight addresses hold every handshake place: ids 1-4 from 10, 5-8 from 11, ... 29-32 from 17.
    for (LinkId id = 1; id <= kMaxHandshakes; ++id)
        ASSERT_EQ(places.arrive(id, 10 + (id - 1) / 4, t0).verdict, LinkPlaces::Verdict::Open);
    // What each step says: arrivals "open" (and which connection gives way), "refused" (logged)
    // or "quiet" (refused within a burst); opening words the same; an end "news" or "quiet".
    struct Step {
        char op;   // a arrives, s says its opening words, l leaves
        LinkId id;
        std::uint32_t peer;
        const char *says;
    } steps[] = {
        {'a', 33, 10, "refused"}, {'a', 34, 10, "quiet"},    // 10 has its four in their handshake
        {'a', 35, 99, "open, 1 gives way"},                  // the pool is full: the oldest goes
        {'a', 36, 10, "open, 2 gives way"},
        {'s', 1, 0, "quiet"},                                // gone, it cannot become a link
        {'l', 1, 0, "quiet"},                                // 10's burst is logged already
        {'l', 9, 0, "news"}, {'l', 10, 0, "quiet"},          // 12's first failure, then its burst
        {'s', 35, 0, "open"}, {'l', 35, 0, "news"},          // a link's end is always news
        {'s', 13, 0, "open"}, {'s', 14, 0, "open"}, {'s', 15, 0, "open"}, {'s', 16, 0, "open"},
        {'a', 37, 13, "open"}, {'s', 37, 0, "refused"},      // 13 has four links
        {'l', 37, 0, "quiet"},                               // its refusal was the news
        {'l', 11, 0, "quiet"}, {'l', 12, 0, "quiet"},        // 12 has nothing open now:
        {'a', 38, 12, "open"}, {'l', 38, 0, "news"},         // a new burst
    };
    auto verdict = [](LinkPlaces::Verdict v) {
        return v == LinkPlaces::Verdict::Open ? "open" : v == LinkPlaces::Verdict::Refused ? "refused" : "quiet";
    };
    for (const Step &s : steps) {
        std::string said;
        if (s.op == 'a') {
            const auto a = places.arrive(s.id, s.peer, t0 + 1s);
            said = verdict(a.verdict);
            if (a.displaced) said += ", " + std::to_string(*a.displaced) + " gives way";
        } else if (s.op == 's') {
            said = verdict(places.spoke(s.id));
        } else {
            said = places.leave(s.id) ? "news" : "quiet";
        }
        EXPECT_EQ(said, s.says) << s.op << " " << s.id;
    }
    EXPECT_EQ(places.links(), 4);
    // Only connections still in their handshake run out of time.
    EXPECT_EQ(places.overdue(t0 + kLinkHandshakeLimit), std::vector<LinkId>{});
    const auto late = places.overdue(t0 + kLinkHandshakeLimit + 1ms);
    EXPECT_EQ(late.size(), 22u);
    EXPECT_EQ(late.front(), 3u);
    EXPECT_EQ(places.handshakes(), 23);
    EXPECT_FALSE(places.leave(999)) << "never arrived";

    // Links in all: every place taken refuses the next one's opening words.
    LinkPlaces full;
    for (LinkId id = 1; id <= kMaxLinks; ++id) {
        full.arrive(id, static_cast<std::uint32_t>(id % 8), t0);
        ASSERT_EQ(full.spoke(id), LinkPlaces::Verdict::Open);
    }
    full.arrive(100, 100, t0);
    EXPECT_EQ(full.spoke(100), LinkPlaces::Verdict::Refused);
}
