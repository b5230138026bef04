#pragma once
// Who may open a display link, and how many: the decisions of the link service as pure code over
// addresses, fingerprints and a clock the caller passes in.

#include "options.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace telvane::consent {

using LinkClock = std::chrono::steady_clock;

// A yes given to a share question counts for a link from the same address this long, so that
// nobody is asked twice for one share.
constexpr std::chrono::seconds kRecentYes{60};

// Links open at once from one address, and in all; beyond them a new connection is closed at
// once. Enough for a sender with several displays, too few for one address to hold the service.
constexpr int kMaxLinksPerPeer = 4;
constexpr int kMaxLinks = 32;

// How long a new link may take over its TLS handshake and its opening words together.
constexpr std::chrono::seconds kLinkHandshakeLimit{10};

// The yes answers to share questions of the last kRecentYes, by address.
class RecentYes {
public:
    // The person said yes to a question from `peer` at `now`. Called by the consent service.
    void record(std::uint32_t peer, LinkClock::time_point now);
    // Whether `peer` had a yes within kRecentYes before `now`.
    bool recent(std::uint32_t peer, LinkClock::time_point now) const;

private:
    std::map<std::uint32_t, LinkClock::time_point> last_;
};

// What to do with a link whose opening words have come.
enum class LinkDecision { Accept, Refuse, Ask };

// The decision for a link from a sender whose fingerprint is or is not among the remembered
// senders (`remembered`), with or without a recent yes from its address, under `mode`: a fixed
// answer wins; then a remembered sender or a recent yes lets it in; else the person is asked.
LinkDecision decide_link(AnswerMode mode, bool remembered, bool recent_yes);

// Counts the links open per address and in all.
class LinkCounter {
public:
    // Takes a place for a new link from `peer`; false (and nothing taken) beyond the limits.
    bool admit(std::uint32_t peer);
    // Gives the place of a link from `peer` back.
    void release(std::uint32_t peer);
    int open() const { return total_; }

private:
    std::map<std::uint32_t, int> per_peer_;
    int total_ = 0;
};

}  // namespace telvane::consent
