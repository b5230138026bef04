// The question line, on a clock the test moves by hand.
#include <gtest/gtest.h>

#include "queue_policy.h"

using namespace telvane::consent;
using namespace std::chrono_literals;

namespace {

const TimePoint t0 = TimePoint{} + 1000s;

struct Line : ::testing::Test { QuestionQueue queue{30s, 400ms}; };

}  // namespace

TEST_F(Line, OneAtATimeOldestFirstWithAPauseBetweenAndALimitForTheShownOne) {
    for (ConnectionId id : {1, 2, 3, 4}) queue.add(id, static_cast<std::uint32_t>(id));
    EXPECT_EQ(queue.overdue(t0 + 1h), std::nullopt) << "not shown, so not timing";
    EXPECT_LE(queue.next_deadline().value_or(t0 + 1h), t0) << "the first question may come up at once";
    EXPECT_EQ(queue.show_next(t0), 1u);
    EXPECT_EQ(queue.show_next(t0), std::nullopt) << "a second dialog while one is up";
    EXPECT_EQ(queue.next_deadline(), t0 + 30s) << "waiting questions do not shorten the shown one's time";
    EXPECT_EQ(queue.overdue(t0 + 30s - 1ms), std::nullopt);
    EXPECT_EQ(queue.overdue(t0 + 30s), 1u);
    EXPECT_EQ(queue.drop(3, t0), QuestionQueue::Dropped::Waiting);
    EXPECT_EQ(queue.drop(3, t0), QuestionQueue::Dropped::NotQueued);

    EXPECT_EQ(queue.finish_shown(t0 + 5s), 1u);
    EXPECT_EQ(queue.overdue(t0 + 1h), std::nullopt);
    EXPECT_EQ(queue.show_next(t0 + 5s + 399ms), std::nullopt) << "no pause after the dialog went down";
    EXPECT_EQ(queue.next_deadline(), t0 + 5s + 400ms);
    EXPECT_EQ(queue.show_next(t0 + 5s + 400ms), 2u);
    // The shown one going away takes its dialog down, so the pause applies as after an answer.
    EXPECT_EQ(queue.drop(2, t0 + 6s), QuestionQueue::Dropped::Shown);
    EXPECT_EQ(queue.show_next(t0 + 6s), std::nullopt);
    EXPECT_EQ(queue.show_next(t0 + 7s), 4u);
    EXPECT_EQ(queue.waiting(), 0u);
    queue.finish_shown(t0 + 8s);
    EXPECT_EQ(queue.show_next(t0 + 9s), std::nullopt);
    EXPECT_EQ(queue.finish_shown(t0 + 9s), std::nullopt);
    EXPECT_EQ(queue.next_deadline(), std::nullopt);
}

TEST(Deadlines, DueOnesAreTakenOthersStay) {
    Deadlines d;
    d.set(1, t0 + 10s);
    d.set(2, t0 + 5s);
    d.set(3, t0 + 1s), d.clear(3);
    d.set(1, t0 + 2s);   // replaces, does not add
    EXPECT_EQ(d.earliest(), t0 + 2s);
    EXPECT_EQ(d.take_due(t0 + 5s), (std::vector<ConnectionId>{1, 2}));
    EXPECT_EQ(d.earliest(), std::nullopt);
}

TEST_F(Line, OneAddressCannotFloodTheLineAndTheLineHasAnEnd) {
    using A = QuestionQueue::Admission;
    const std::uint32_t flooder = 0x0a000001, genuine = 0x0a000002;
    ConnectionId id = 1;
    for (int i = 0; i < kMaxQuestionsPerPeer; ++i) EXPECT_EQ(queue.add(id++, flooder), A::Queued);
    EXPECT_EQ(queue.add(id++, flooder), A::PeerBusy);
    EXPECT_EQ(queue.add(id++, genuine), A::Queued) << "another address still gets in";
    // Shown or waiting, a question counts until it is settled; then its address may ask again.
    ASSERT_EQ(queue.show_next(t0), std::optional<ConnectionId>(1));
    EXPECT_EQ(queue.add(id++, flooder), A::PeerBusy);
    queue.finish_shown(t0);
    EXPECT_EQ(queue.add(id++, flooder), A::Queued);
    EXPECT_EQ(queue.drop(2, t0), QuestionQueue::Dropped::Waiting);
    EXPECT_EQ(queue.add(id++, flooder), A::Queued);
    // Many addresses: the line stops at its limit.
    std::uint32_t peer = 0x0b000000;
    while (queue.waiting() < kMaxQuestionsWaiting) ASSERT_EQ(queue.add(id++, ++peer), A::Queued);
    EXPECT_EQ(queue.add(id++, ++peer), A::Full);
    EXPECT_EQ(queue.add(id++, peer), A::Full) << "a refused question does not count against its address";
}
