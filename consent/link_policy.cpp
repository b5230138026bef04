// The link service's decisions: yes answers kept for one link each, who gets in, and the places
// of connections in their handshake and of links.
#include "link_policy.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace telvane::consent {

std::optional<int> local_display_number(std::string_view name) {
    const auto colon = name.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view host = name.substr(0, colon);
    if (host != "" && host != "unix" && host != "localhost" && host != "127.0.0.1") return std::nullopt;
    std::string_view rest = name.substr(colon + 1);
    rest = rest.substr(0, rest.find('.'));
    int number = -1;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    if (error != std::errc() || end != rest.data() + rest.size() || number < 0 || number > 65535)
        return std::nullopt;
    return number;
}

void RecentYes::record(std::uint32_t peer, int display, LinkClock::time_point now) {
    if (yes_.size() >= kMaxRecentYes) yes_.pop_front();
    yes_.push_back({peer, display, now});
}

bool RecentYes::take(std::uint32_t peer, int display, LinkClock::time_point now) {
    // Forget what no longer counts, so that only the last minute's answers are kept.
    while (!yes_.empty() && now - yes_.front().at > kRecentYes) yes_.pop_front();
    auto it = std::find_if(yes_.begin(), yes_.end(),
                           [&](const Yes &y) { return y.peer == peer && y.display == display; });
    if (it == yes_.end()) return false;
    yes_.erase(it);
    return true;
}

LinkDecision decide_link(AnswerMode mode, bool remembered, bool yes_taken) {
    if (mode == AnswerMode::AcceptAll) return LinkDecision::Accept;
    if (mode == AnswerMode::RefuseAll) return LinkDecision::Refuse;
    return remembered || yes_taken ? LinkDecision::Accept : LinkDecision::Ask;
}

LinkPlaces::Verdict LinkPlaces::refuse(Peer &p) {
    return news(p) ? Verdict::Refused : Verdict::RefusedQuietly;
}

bool LinkPlaces::news(Peer &p) { return !std::exchange(p.quiet, true); }

LinkPlaces::Arrival LinkPlaces::arrive(LinkId id, std::uint32_t peer, LinkClock::time_point now) {
    Arrival a;
    Peer &p = peers_[peer];
    if (p.handshakes >= kMaxHandshakesPerPeer) {
        a.verdict = refuse(p);
        return a;
    }
    if (handshakes_ >= kMaxHandshakes) {
        // Entries are kept by id, and ids grow: the first in its handshake is the oldest.
        auto oldest = std::find_if(entries_.begin(), entries_.end(),
                                   [](const auto &e) { return e.second.stage == Stage::Handshake; });
        if (oldest != entries_.end()) {
            oldest->second.stage = Stage::GaveWay;
            --peers_[oldest->second.peer].handshakes;
            --handshakes_;
            a.displaced = oldest->first;
        }
    }
    entries_[id] = Entry{peer, Stage::Handshake, now};
    ++p.handshakes;
    ++p.open;
    ++handshakes_;
    return a;
}

LinkPlaces::Verdict LinkPlaces::spoke(LinkId id) {
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.stage != Stage::Handshake) return Verdict::RefusedQuietly;
    Entry &e = it->second;
    Peer &p = peers_[e.peer];
    --p.handshakes;
    --handshakes_;
    if (p.links >= kMaxLinksPerPeer || links_ >= kMaxLinks) {
        e.stage = Stage::Refused;
        return refuse(p);
    }
    e.stage = Stage::Linked;
    ++p.links;
    ++links_;
    return Verdict::Open;
}

bool LinkPlaces::leave(LinkId id) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return false;
    const Entry e = it->second;
    entries_.erase(it);
    auto peer = peers_.find(e.peer);
    Peer &p = peer->second;
    bool report = false;
    switch (e.stage) {
    case Stage::Handshake:
        --p.handshakes;
        --handshakes_;
        report = news(p);
        break;
    case Stage::GaveWay: report = news(p); break;
    case Stage::Linked:
        --p.links;
        --links_;
        report = true;
        break;
    case Stage::Refused: break;
    }
    // The address's burst ends with its last connection.
    if (--p.open == 0) peers_.erase(peer);
    return report;
}

bool LinkPlaces::in_handshake(LinkId id) const {
    auto it = entries_.find(id);
    return it != entries_.end() && it->second.stage == Stage::Handshake;
}

std::vector<LinkId> LinkPlaces::overdue(LinkClock::time_point now) const {
    std::vector<LinkId> late;
    for (const auto &[id, e] : entries_)
        if (e.stage == Stage::Handshake && now - e.since > kLinkHandshakeLimit) late.push_back(id);
    return late;
}

}  // namespace telvane::consent
