#pragma once
// Which question is put to the person and when: one at a time, oldest first, with time limits.
// Pure bookkeeping over connection ids and a clock the caller passes in, so tests choose the time.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace telvane::consent {

using ConnectionId = std::uint64_t;
using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// Questions one address may have in the line or on the screen at once, and questions that may
// wait behind the shown one.
constexpr int kMaxQuestionsPerPeer = 4;
constexpr std::size_t kMaxQuestionsWaiting = 16;

// After a dialog goes down, the next question waits this long before it comes up, so that a
// click meant for the old question cannot land on the new one.
constexpr std::chrono::milliseconds kSettleTime{400};

// The questions that wait for the person, and the one on the screen. The service owns one and
// asks it what to show after every event.
class QuestionQueue {
public:
    // `answer_limit`: how long a shown question may stay unanswered.
    explicit QuestionQueue(std::chrono::milliseconds answer_limit,
                           std::chrono::milliseconds settle = kSettleTime)
        : answer_limit_(answer_limit), settle_(settle) {}

    // Whether a question was let into the line.
    enum class Admission { Queued, PeerBusy, Full };
    // Puts the question of connection `id`, which came from the address `peer` (any number
    // that names it), at the end of the line, unless that address has kMaxQuestionsPerPeer
    // questions in already or the line holds kMaxQuestionsWaiting: so a flood from one address,
    // or from many, cannot make a genuine question wait for hours. Called when its request
    // has been read; the caller refuses what is not queued.
    Admission add(ConnectionId id, std::uint32_t peer);

    // The question to put up now, which from here on counts as shown and whose answer time
    // starts at `now`. Nothing while another is shown, while the line is empty, or while the
    // pause after the last dialog lasts.
    std::optional<ConnectionId> show_next(TimePoint now);

    // The question on the screen, if any.
    std::optional<ConnectionId> shown() const;

    // The shown question is settled (answered or timed out) and its dialog goes down at
    // `now`. Returns its id, or nothing when none was shown.
    std::optional<ConnectionId> finish_shown(TimePoint now);

    // Where a dropped question was.
    enum class Dropped { NotQueued, Waiting, Shown };
    // Removes connection `id`'s question wherever it is, e.g. because the peer went away.
    // When it was shown, its dialog goes down at `now` as with finish_shown.
    Dropped drop(ConnectionId id, TimePoint now);

    // The shown question when its answer time is over at `now`; the caller then finishes it.
    std::optional<ConnectionId> overdue(TimePoint now) const;

    // When something next changes without any input: the shown question's limit, or the end
    // of the pause when questions wait and none is shown (a time already past when one could
    // be shown at once). Nothing when neither applies.
    std::optional<TimePoint> next_deadline() const;

    // Questions waiting behind the shown one.
    std::size_t waiting() const { return line_.size(); }

private:
    std::chrono::milliseconds answer_limit_;
    std::chrono::milliseconds settle_;
    std::deque<ConnectionId> line_;
    std::optional<ConnectionId> shown_;
    TimePoint shown_deadline_{};
    std::optional<TimePoint> settled_at_;
    std::map<ConnectionId, std::uint32_t> peer_of_;   // every question in, shown or waiting
    std::map<std::uint32_t, int> per_peer_;

    void forget(ConnectionId id);
};

// A time limit per connection (for reading a request, or for the last bytes before closing).
// The service owns one of each and sets its single toolkit timer to the earliest limit.
class Deadlines {
public:
    // Sets or replaces connection `id`'s limit.
    void set(ConnectionId id, TimePoint when) { limits_[id] = when; }
    // Forgets connection `id`'s limit, if it had one.
    void clear(ConnectionId id) { limits_.erase(id); }
    // Removes and returns, oldest id first, every connection whose limit is at or before `now`.
    std::vector<ConnectionId> take_due(TimePoint now);
    // The earliest limit, if any.
    std::optional<TimePoint> earliest() const;

private:
    std::map<ConnectionId, TimePoint> limits_;
};

}  // namespace telvane::consent
