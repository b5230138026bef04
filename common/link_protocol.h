#pragma once
// What telvane-server and a receiver's telvane-consent say to each other on an encrypted display
// link before the X stream starts, and the two files that remember peers by fingerprint. Pure
// code: no sockets, no TLS, so the readers are fuzzed and tested alone.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane::tlslink {

// The names of the root-window properties by which telvane-server knows its own display, so
// that it never takes that display for a receiver: this, then its own id in hex. A receiver's
// service lets a link read these properties of the root, and no others.
inline constexpr std::string_view kServerIdentityPrefix = "_TELVANE_SERVER_";

// The port a receiver's telvane-consent takes display links on.
inline constexpr uint16_t kLinkPort = 34591;

// The opening of a link, sent by the sender inside TLS: "TVL2", the sender's IPv4 address as it
// names itself (network byte order), the display number wanted on the receiver's host (two
// bytes, most significant first), then the sender's identity text ended by one zero byte. The
// digit is the stream's version: "TVL1" peers knew no raw batches, and now fail the magic.
inline constexpr char kHelloMagic[4] = {'T', 'V', 'L', '2'};
inline constexpr std::size_t kMaxIdentity = 199;

struct Hello {
    uint32_t sender_address = 0;   // network byte order, as on the wire
    uint16_t display = 0;
    std::string identity;
};

// The service's one-byte answer to a hello. After kLinked the X stream follows, compressed.
enum class LinkAnswer : uint8_t {
    Linked = '1',
    Refused = '0',      // the receiver's user said no (or nobody answered)
    NoDisplay = 'x',    // the display named cannot be reached on the receiver's host
    Busy = 'b',         // too many links already
};

// The bytes of `hello`; the identity is cut to kMaxIdentity characters.
std::string encode_hello(const Hello &hello);

// Reads a hello as its bytes arrive. Called by the service for each read of a new link.
class HelloParser {
public:
    enum class State { NeedMore, Done, Bad };
    // Takes `bytes`; Done once the zero that ends the identity has come, Bad for a wrong magic
    // or an identity longer than kMaxIdentity. Bytes after the hello are left in `rest`.
    State feed(std::string_view bytes);
    const Hello &hello() const { return hello_; }
    const std::string &rest() const { return rest_; }
    const std::string &error() const { return error_; }

private:
    std::string head_;   // the fixed ten bytes, as they come
    Hello hello_;
    std::string rest_;
    std::string error_;
    State state_ = State::NeedMore;
};

// The length of the X connection set-up request at the start of `bytes`, once its fixed part
// has come (0 before); kNotSetup when the first byte names no byte order. Used by the receiver's
// service, which puts its own user's credentials into the sender's set-up.
inline constexpr std::size_t kNotSetup = static_cast<std::size_t>(-1);
std::size_t setup_request_length(std::string_view bytes);

// The whole set-up request `request` with its authorization replaced by `name` and `data`
// (both empty: none), in the request's byte order.
std::string replace_setup_auth(std::string_view request, const std::string &name, const std::string &data);

// The sender's file of receivers met through a link, in its private folder ~/.Telvane: written by
// telvane-server, read by the client to tell its user which line a changed key stands on.
inline constexpr char kKnownReceiversFile[] = "known_receivers";

// One remembered peer: a key (the receiver's address, or the sender's identity text) and its
// fingerprint, with the line it stands on (1-based) for messages that tell people what to edit.
struct PeerEntry {
    std::string key;
    std::string fingerprint;
    int line = 0;
};

// The entries of a file of "KEY FINGERPRINT" (known receivers) or "FINGERPRINT COMMENT"
// (allowed senders, `fingerprint_first`) lines. Blank lines and lines beginning with '#' are
// skipped; so are lines whose fingerprint is not 64 hex digits, which are listed in `bad_lines`.
std::vector<PeerEntry> read_peer_lines(std::string_view text, bool fingerprint_first, std::vector<int> *bad_lines = nullptr);

// Whether the sender whose key has `fingerprint` is one the receiver's user allowed always: a
// line of the allowed-senders file `text` names that key.
bool sender_remembered(std::string_view text, const std::string &fingerprint);

// What the sender makes of a receiver's fingerprint against its known receivers.
struct PinVerdict {
    enum class Kind { New, Known, Changed } kind = Kind::New;
    std::string pinned;   // Changed: the fingerprint remembered
    int line = 0;         // Known, Changed: its line
};
// Judges `fingerprint` shown by the receiver at `address` ("a.b.c.d") against `entries`.
PinVerdict judge_receiver(const std::vector<PeerEntry> &entries, const std::string &address,
                          const std::string &fingerprint);

// Whether `text` is a fingerprint: 64 hex digits (either case).
bool is_fingerprint(std::string_view text);

// A line for the known-receivers file ("a.b.c.d FINGERPRINT\n") or the allowed-senders file
// ("FINGERPRINT identity\n", the identity with control characters replaced).
std::string known_receiver_line(const std::string &address, const std::string &fingerprint);
std::string allowed_sender_line(const std::string &fingerprint, const std::string &identity);

}  // namespace telvane::tlslink
