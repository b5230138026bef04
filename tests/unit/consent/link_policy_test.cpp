// Who gets a display link in, and how many at once.
#include <gtest/gtest.h>

#include "link_policy.h"

#include <string>
#include <tuple>

using namespace telvane::consent;
using namespace std::chrono_literals;

constexpr LinkClock::time_point t0{1000s};

TEST(LinkPolicy, FixedAnswersWinThenARememberedSenderOrAYesAndEachYesAdmitsOneLinkToItsDisplay) {
    EXPECT_EQ(decide_link(AnswerMode::RefuseAll, true, true), LinkDecision::Refuse);
    EXPECT_EQ(decide_link(AnswerMode::AcceptAll, false, false), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, true, false), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, false, true), LinkDecision::Accept);
    EXPECT_EQ(decide_link(AnswerMode::Ask, false, false), LinkDecision::Ask);

    // In order: yes answers given ('y') and links coming ('l'), each finding a yes or not.
    struct Step { char op; std::uint32_t peer; int display; int at; bool found; } steps[] = {
        {'y', 7, 0, 0, 0}, {'l', 8, 0, 1, 0}, {'l', 7, 1, 1, 0},   // another address, another display
        {'l', 7, 0, 60, 1}, {'l', 7, 0, 60, 0},                     // the yes is used up
        {'y', 7, 0, 70, 0}, {'y', 7, 0, 71, 0}, {'l', 7, 0, 72, 1}, {'l', 7, 0, 72, 1},   // two, two links
        {'y', 9, 3, 100, 0}, {'l', 9, 3, 161, 0},                  // too late
    };
    RecentYes yes;
    for (const Step &s : steps) {
        const auto at = t0 + std::chrono::seconds(s.at);
        if (s.op == 'y') yes.record(s.peer, s.display, at);
        else EXPECT_EQ(yes.take(s.peer, s.display, at), s.found) << s.peer << " :" << s.display << " at " << s.at;
    }
    for (std::uint32_t peer = 0; peer <= kMaxRecentYes; ++peer) yes.record(peer, 0, t0);
    EXPECT_FALSE(yes.take(0, 0, t0)) << "a long session keeps only the newest";

    // A yes counts for the display the person was asked on only when that is one of this host's.
    const std::pair<const char *, std::optional<int>> names[] = {
        {":3", 3}, {"unix:3.0", 3}, {"localhost:12", 12}, {"127.0.0.1:0.1", 0}, {":65535", 65535},
        {"otherhost:0", {}}, {"10.0.0.1:0", {}}, {":", {}}, {":x", {}}, {"", {}}, {":3x", {}}, {":-1", {}}, {":65536", {}}};
    for (const auto &[name, number] : names) EXPECT_EQ(local_display_number(name), number) << name;
}

TEST(LinkPolicy, SilentConnectionsGiveWayToNewOnesOneAddressCannotHoldThePoolAndABurstIsLoggedOnce) {
    LinkPlaces places;
    // Eight addresses hold every handshake place: ids 1-4 from 10, 5-8 from 11, ... 29-32 from 17.
    for (LinkId id = 1; id <= kMaxHandshakes; ++id) places.arrive(id, 10 + (id - 1) / 4, t0);
    // a: arrives, s: says its opening words, l: leaves. Each says "open" (and which connection
    // gives way), "refused" (logged) or "quiet" (within a logged burst); a leaving one "news" or not.
    struct Step { char op; LinkId id; std::uint32_t peer; const char *says; } steps[] = {
        {'a', 33, 10, "refused"}, {'a', 34, 10, "quiet"},   // 10 has four in their handshake
        {'a', 35, 99, "open, 1 gives way"}, {'a', 36, 10, "open, 2 gives way"},   // the oldest go
        {'s', 1, 0, "quiet"}, {'l', 1, 0, "quiet"},         // gone; 10's burst is logged already
        {'l', 9, 0, "news"}, {'l', 10, 0, "quiet"},         // 12's first failure, then its burst
        {'s', 35, 0, "open"}, {'l', 35, 0, "news"},         // a link's end is always news
        {'s', 13, 0, "open"}, {'s', 14, 0, "open"}, {'s', 15, 0, "open"}, {'s', 16, 0, "open"},
        {'a', 37, 13, "open"}, {'s', 37, 0, "refused"}, {'l', 37, 0, "quiet"},   // 13 has four links
        {'l', 11, 0, "quiet"}, {'l', 12, 0, "quiet"}, {'a', 38, 12, "open"}, {'l', 38, 0, "news"},   // a new burst
    };
    auto said = [](LinkPlaces::Verdict v) {
        return std::string(v == LinkPlaces::Verdict::Open ? "open" : v == LinkPlaces::Verdict::Refused ? "refused" : "quiet");
    };
    for (const Step &s : steps) {
        std::string out = s.op == 's' ? said(places.spoke(s.id)) : s.op == 'l' ? (places.leave(s.id) ? "news" : "quiet") : "";
        if (s.op == 'a') {
            const auto a = places.arrive(s.id, s.peer, t0 + 1s);
            out = said(a.verdict) + (a.displaced ? ", " + std::to_string(*a.displaced) + " gives way" : "");
        }
        EXPECT_EQ(out, s.says) << s.op << " " << s.id;
    }
    // Only connections still in their handshake run out of time.
    EXPECT_EQ(places.overdue(t0 + kLinkHandshakeLimit), std::vector<LinkId>{});
    const auto late = places.overdue(t0 + kLinkHandshakeLimit + 1ms);
    EXPECT_EQ(std::tuple(late.size(), late.front(), places.handshakes(), places.links()), std::tuple(22u, 3u, 23, 4));
    // Links in all: with every place taken, the next one's opening words are refused.
    LinkPlaces full;
    for (LinkId id = 1; id <= kMaxLinks; ++id) { full.arrive(id, static_cast<std::uint32_t>(id % 8), t0); full.spoke(id); }
    full.arrive(99, 99, t0);
    EXPECT_EQ(std::tuple(full.links(), full.spoke(99)), std::tuple(kMaxLinks, LinkPlaces::Verdict::Refused));
}
