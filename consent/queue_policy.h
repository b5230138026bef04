#pragma once
// Which connections may stay open, and which question is put to the person and when: one at a
// time, oldest first, with time limits. Pure bookkeeping over connection ids, addresses and a
// clock the caller passes in, so tests choose the time.

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

// Connections one address may hold open at once, whatever they have sent so far (a request
// trickled in a byte at a time holds its connection as long as a whole one does), and
// connections open in all. A connection beyond its address's limit is refused as it comes, so
// one address never fills the service; beyond the total, connections wait in the kernel's queue.
constexpr int kMaxConnectionsPerPeer = 8;
constexpr std::size_t kMaxConnections = 256;

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

// Open connections counted per address, for deciding whether a new one may stay. The service
// owns one, asks it at every accept and tells it of every close.
class ConnectionLimits {
public:
    // Refused connections come in bursts: the first refusal of a burst is PeerFull, the rest
    // PeerStillFull, until the address has no connection open, so a flood is logged once.
    enum class Admission { Open, PeerFull, PeerStillFull, AllFull };
    // Counts a new connection from `peer` (any number that names the address) when both its
    // address's limit and the total allow it; the caller closes it at once otherwise.
    Admission open(std::uint32_t peer);
    // A connection from `peer` that open() let in has closed.
    void close(std::uint32_t peer);
    // Whether the total is reached, so that the caller leaves new connections in the kernel's
    // queue for now.
    bool full() const { return total_ >= kMaxConnections; }

private:
    struct PerPeer {
        int open = 0;
        bool refusing = false;
    };
    std::map<std::uint32_t, PerPeer> per_peer_;   // only addresses with a connection open
    std::size_t total_ = 0;
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
