// The question line's rules (first come first asked, one on screen, a pause between dialogs)
// and how many connections an address may hold.
#include "queue_policy.h"

#include <algorithm>
#include <utility>

namespace telvane::consent {

QuestionQueue::Admission QuestionQueue::add(ConnectionId id, std::uint32_t peer) {
    if (per_peer_[peer] >= kMaxQuestionsPerPeer) return Admission::PeerBusy;
    if (line_.size() >= kMaxQuestionsWaiting) {
        if (per_peer_[peer] == 0) per_peer_.erase(peer);
        return Admission::Full;
    }
    ++per_peer_[peer];
    peer_of_[id] = peer;
    line_.push_back(id);
    return Admission::Queued;
}

void QuestionQueue::forget(ConnectionId id) {
    auto it = peer_of_.find(id);
    if (it == peer_of_.end()) return;
    if (--per_peer_[it->second] <= 0) per_peer_.erase(it->second);
    peer_of_.erase(it);
}

std::optional<ConnectionId> QuestionQueue::show_next(TimePoint now) {
    if (shown_ || line_.empty()) return std::nullopt;
    if (settled_at_ && now < *settled_at_ + settle_) return std::nullopt;
    shown_ = line_.front();
    line_.pop_front();
    shown_deadline_ = now + answer_limit_;
    return shown_;
}

std::optional<ConnectionId> QuestionQueue::shown() const { return shown_; }

std::optional<ConnectionId> QuestionQueue::finish_shown(TimePoint now) {
    auto id = shown_;
    if (id) {
        settled_at_ = now;
        forget(*id);
    }
    shown_.reset();
    return id;
}

QuestionQueue::Dropped QuestionQueue::drop(ConnectionId id, TimePoint now) {
    if (shown_ == id) {
        finish_shown(now);
        return Dropped::Shown;
    }
    auto it = std::find(line_.begin(), line_.end(), id);
    if (it == line_.end()) return Dropped::NotQueued;
    line_.erase(it);
    forget(id);
    return Dropped::Waiting;
}

std::optional<ConnectionId> QuestionQueue::overdue(TimePoint now) const {
    if (shown_ && now >= shown_deadline_) return shown_;
    return std::nullopt;
}

std::optional<TimePoint> QuestionQueue::next_deadline() const {
    if (shown_) return shown_deadline_;
    if (line_.empty()) return std::nullopt;
    if (settled_at_) return *settled_at_ + settle_;
    return TimePoint{};
}

ConnectionLimits::Admission ConnectionLimits::open(std::uint32_t peer) {
    if (full()) return Admission::AllFull;
    PerPeer &p = per_peer_[peer];
    if (p.open >= kMaxConnectionsPerPeer) {
        return std::exchange(p.refusing, true) ? Admission::PeerStillFull : Admission::PeerFull;
    }
    ++p.open;
    ++total_;
    return Admission::Open;
}

void ConnectionLimits::close(std::uint32_t peer) {
    auto it = per_peer_.find(peer);
    if (it == per_peer_.end()) return;
    --total_;
    if (--it->second.open == 0) per_peer_.erase(it);
}

std::vector<ConnectionId> Deadlines::take_due(TimePoint now) {
    std::vector<ConnectionId> due;
    for (auto it = limits_.begin(); it != limits_.end();) {
        if (it->second <= now) {
            due.push_back(it->first);
            it = limits_.erase(it);
        } else {
            ++it;
        }
    }
    return due;
}

std::optional<TimePoint> Deadlines::earliest() const {
    std::optional<TimePoint> first;
    for (const auto &[id, when] : limits_) {
        if (!first || when < *first) first = when;
    }
    return first;
}

}  // namespace telvane::consent
