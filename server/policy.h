#pragma once
// The server's decisions as pure functions: which codes the extension takes, who passes the
// access check, which share requests are malformed, how a failed receiver connection is
// reported, and which clients may connect.

#include "connection_protocol.h"
#include "share_wire.h"
#include "x11_setup.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace telvane::server {

// One extension as upstream reports it through QueryExtension.
struct UpstreamExtension {
    std::string name;
    uint8_t major = 0;
    uint8_t first_event = 0;
    uint8_t first_error = 0;
};

// Picks a major opcode, first event and first error that no upstream extension uses. Event and
// error bases of others are assumed to span a few codes, so ours stays clear of them. Nothing when
// upstream has used up the opcode space.
std::optional<ExtensionCodes> choose_extension_codes(const std::vector<UpstreamExtension> &upstream);

// The error a share request gets instead of being executed: BadRequest for an unknown minor,
// BadLength when the request is not exactly 16 bytes. Nothing for a well-formed request.
std::optional<LocalAnswer> share_request_error(const wire::ShareRequest &req, size_t total_bytes);

// CheckAccess's verdict: 1 when `uid` is the server's own and `address` (four bytes in network
// order) is one of this machine's IPv4 addresses or a loopback address, else 0.
uint32_t check_access_verdict(uint32_t uid, const std::array<uint8_t, 4> &address, uint32_t server_uid,
                              const std::vector<std::array<uint8_t, 4>> &local_addresses);

// A display name split up: "host:D.S", ":D", "unix:D".
struct DisplayAddress {
    std::string host;   // empty for a local display
    int display = 0;
    int screen = 0;
};

// The highest display number whose TCP port (6000 + N) exists.
inline constexpr int kMaxDisplayNumber = 65535 - 6000;

// Parses "host:display[.screen]"; nothing when there is no colon, the numbers are malformed or
// the display number is above kMaxDisplayNumber.
std::optional<DisplayAddress> parse_display_text(const std::string &text);

// The title to give back to a window whose sharing client died without taking its mark away:
// `before` when `now` is `before` marked as the client marks, "[name] " in front and " [word]"
// behind, in compound text after a return to ASCII (or only the front, when `before` already
// ended with such a word). Nothing when `now` is anything else, such as a title its own client
// has given the window since. Called by the share service when a client's connection closes
// with shares.
std::optional<std::string> unmarked_title(const std::string &now, const std::string &before);

// How a failed TCP connect to a receiver is reported (detail of a connection-failed event).
wire::ConnectFailure classify_connect_errno(int err);

// How a refused set-up on a receiver is reported: refused by our credentials when we offered any,
// otherwise by its host access control.
wire::ConnectFailure classify_setup_refusal(bool offered_credentials);

// Who may connect to the proxy and what it shows upstream.
struct AuthPolicy {
    bool require_cookie = false;   // clients must present `cookie` (MIT-MAGIC-COOKIE-1)
    std::string cookie;            // the proxy's own cookie
    bool have_upstream_credentials = false;
    std::string upstream_name;     // credentials forwarded upstream in the client's place
    std::string upstream_data;
};

inline constexpr const char *kMagicCookieName = "MIT-MAGIC-COOKIE-1";

// The verdict on a client's set-up request under `policy`.
SetupVerdict decide_setup(const SetupRequest &req, const AuthPolicy &policy);

// Upstream's host access list (ListHosts): whether it is enforced, and its entries as X
// names them (family 0 Internet, 6 InternetV6, 252 LocalHost, 5 ServerInterpreted with
// "type\0value").
struct HostEntry {
    uint8_t family = 0;
    std::string address;
};
struct HostAccess {
    bool enabled = true;
    std::vector<HostEntry> hosts;
};
inline constexpr uint8_t kFamilyInternet = 0, kFamilyInternet6 = 6, kFamilyServerInterpreted = 5,
                         kFamilyLocalHost = 252;

// Who is connecting to the proxy: a local client with its user and groups (from the socket's
// peer credentials), or a TCP client with its address (4 or 16 bytes, network order).
struct PeerIdentity {
    bool local = true;
    std::string user;
    std::vector<std::string> groups;
    std::string address;
    std::string command;   // a local client's program as it was started (its argv[0])
};

// Whether upstream's host access would let `peer` in by itself, without credentials: so a
// client that upstream refuses when it connects directly is refused by the proxy as well,
// although the proxy reaches upstream as a local client. Local clients are let in by the
// LocalHost entry, by a matching localuser or localgroup entry, or, as X servers do, by any
// listed address of this machine's own (`own_addresses`, as host entries). Called on each
// local connection when upstream asks no cookie.
bool host_admits(const HostAccess &access, const PeerIdentity &peer, const std::vector<HostEntry> &own_addresses = {});

// Whether an X server counts `peer` as a local client, for the requests it keeps to local
// clients: on a unix socket, unless its program is ssh (which carries clients of other hosts);
// over TCP, only from one of this machine's own addresses (`own_addresses`, as host entries:
// 127.0.0.1 is one, 127.0.0.3 is not). Called for each new connection.
bool counts_as_local(const PeerIdentity &peer, const std::vector<HostEntry> &own_addresses);

// The requests the proxy refuses a client itself, with the error upstream would give it if the
// client connected there directly: upstream takes every request from the proxy, its own local
// client. `local` is counts_as_local; `unix_socket` says that the client's credentials (and
// descriptors) reach us. Extension requests get the opcodes and error codes of `upstream`; those
// it does not offer are left out. The table is written in docs/reliability.md. Called for each
// new connection.
std::vector<RefusedRequest> refused_requests(bool local, bool unix_socket, const std::vector<UpstreamExtension> &upstream);

}  // namespace telvane::server
