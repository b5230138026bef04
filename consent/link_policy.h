#pragma once
// Who may open a display link, and how many: the decisions of the link service as pure code over
// addresses, fingerprints and a clock the caller passes in.

#include "options.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace telvane::consent {

using LinkClock = std::chrono::steady_clock;
using LinkId = std::uint64_t;

// A yes given to a share question lets in one link from the same address within this time, so
// that nobody is asked twice for one share.
constexpr std::chrono::seconds kRecentYes{60};
// Yes answers kept at most; beyond, the oldest is forgotten. A person answers one question at a
// time, so this only bounds what a long session keeps.
constexpr std::size_t kMaxRecentYes = 64;

// Connections still in their TLS handshake or opening words, from one address and in all. When
// all are taken, the oldest gives way to a new one, so silent connections cannot shut the port;
// one address beyond its own share is refused, so it cannot push everyone else out.
constexpr int kMaxHandshakesPerPeer = 4;
constexpr int kMaxHandshakes = 32;

// Links that have said their opening words (waiting for their decision or relaying), from one
// address and in all. Enough for a sender with several displays, too few for one address to hold
// the service.
constexpr int kMaxLinksPerPeer = 4;
constexpr int kMaxLinks = 32;

// How long a new link may take over its TLS handshake and its opening words together.
constexpr std::chrono::seconds kLinkHandshakeLimit{10};

// The number of display `name` ("[host]:N[.S]") when it is a display of this host that a link
// reaches through its local socket: no host, "unix", "localhost" or "127.0.0.1". Nothing for any
// other host or a name that does not parse. Called by main for the display the person is asked on.
std::optional<int> local_display_number(std::string_view name);

// The yes answers to share questions of the last kRecentYes, each good for one link.
class RecentYes {
public:
    // The person at display `display` of this host said yes to a question from `peer` at `now`.
    // Called by the consent service, only for answers its person gave.
    void record(std::uint32_t peer, int display, LinkClock::time_point now);
    // Whether a yes from `peer` for `display` given within kRecentYes before `now` is there; it
    // is used up (the oldest, when there are several). Called by the link service for every link
    // from `peer` to `display` once its opening words have come, whatever else lets it in, so a
    // yes admits the first such link and no other.
    bool take(std::uint32_t peer, int display, LinkClock::time_point now);

private:
    struct Yes {
        std::uint32_t peer;
        int display;
        LinkClock::time_point at;
    };
    std::deque<Yes> yes_;   // oldest first
};

// What to do with a link whose opening words have come.
enum class LinkDecision { Accept, Refuse, Ask };

// The decision for a link from a sender whose fingerprint is or is not among the remembered
// senders (`remembered`), with or without a yes taken for it, under `mode`: a fixed answer wins;
// then a remembered sender or a yes lets it in; else the person is asked.
LinkDecision decide_link(AnswerMode mode, bool remembered, bool yes_taken);

// The places of link connections: those in their handshake, and the links that have said their
// opening words, per address and in all. Also knows when an address's refusals and failures are
// news: the first of a burst is, the rest are not until the address has no connection left, so a
// flood writes one log line. The link service owns one and tells it every step of every
// connection, in the main loop.
class LinkPlaces {
public:
    enum class Verdict {
        Open,             // taken
        Refused,          // no place: close it, and log that
        RefusedQuietly,   // no place, and the burst is logged already
    };
    struct Arrival {
        Verdict verdict = Verdict::Open;
        std::optional<LinkId> displaced;   // the oldest handshake, which gives way: shut it down
    };
    // A connection `id` from `peer` accepted at `now`. Refused when its address has
    // kMaxHandshakesPerPeer in their handshake; when kMaxHandshakes are, the oldest gives way.
    Arrival arrive(LinkId id, std::uint32_t peer, LinkClock::time_point now);
    // Connection `id` has said its opening words: a link from here on, unless its address or the
    // service has every link place taken (or it gave way meanwhile), when it is refused.
    Verdict spoke(LinkId id);
    // Connection `id` has ended. Returns whether that is news for the log: always for a link;
    // for a connection that never became one (failed, too slow, gave way) only as the first of
    // its address's burst; never for one spoke() refused (that was logged then).
    bool leave(LinkId id);
    // The connections still in their handshake at `now` that have had kLinkHandshakeLimit.
    std::vector<LinkId> overdue(LinkClock::time_point now) const;
    // Whether connection `id` is still in its handshake.
    bool in_handshake(LinkId id) const;
    int handshakes() const { return handshakes_; }
    int links() const { return links_; }

private:
    enum class Stage { Handshake, Linked, GaveWay, Refused };
    struct Entry {
        std::uint32_t peer;
        Stage stage;
        LinkClock::time_point since;
    };
    struct Peer {
        int handshakes = 0, links = 0, open = 0;   // open: every entry, whatever its stage
        bool quiet = false;                        // this burst is logged already
    };
    Verdict refuse(Peer &p);
    bool news(Peer &p);

    std::map<LinkId, Entry> entries_;   // by id, so the oldest comes first
    std::map<std::uint32_t, Peer> peers_;   // only addresses with a connection
    int handshakes_ = 0, links_ = 0;
};

}  // namespace telvane::consent
