// The link service's decisions: recent yes answers, who gets in, and how many at once.
#include "link_policy.h"

namespace telvane::consent {

void RecentYes::record(std::uint32_t peer, LinkClock::time_point now) {
    // Forget what no longer counts, so that the table holds only the last minute's addresses.
    for (auto it = last_.begin(); it != last_.end();) {
        if (now - it->second > kRecentYes) it = last_.erase(it);
        else ++it;
    }
    last_[peer] = now;
}

bool RecentYes::recent(std::uint32_t peer, LinkClock::time_point now) const {
    auto it = last_.find(peer);
    return it != last_.end() && now - it->second <= kRecentYes;
}

LinkDecision decide_link(AnswerMode mode, bool remembered, bool recent_yes) {
    if (mode == AnswerMode::AcceptAll) return LinkDecision::Accept;
    if (mode == AnswerMode::RefuseAll) return LinkDecision::Refuse;
    return remembered || recent_yes ? LinkDecision::Accept : LinkDecision::Ask;
}

bool LinkCounter::admit(std::uint32_t peer) {
    int &n = per_peer_[peer];
    if (n >= kMaxLinksPerPeer || total_ >= kMaxLinks) {
        if (n == 0) per_peer_.erase(peer);
        return false;
    }
    ++n;
    ++total_;
    return true;
}

void LinkCounter::release(std::uint32_t peer) {
    auto it = per_peer_.find(peer);
    if (it == per_peer_.end()) return;
    if (--it->second == 0) per_peer_.erase(it);
    --total_;
}

}  // namespace telvane::consent
