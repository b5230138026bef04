#pragma once
// The sender's end of an encrypted display link: TLS to the receiver host's telvane-consent on
// port 34591, its key checked against the receivers met before, the receiver user's yes, and a
// relay thread that hands the X stream to xcb through a local socket.

#include "link_crypto.h"
#include "share_wire.h"

#include <netinet/in.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace telvane::server {

// Which roads to receivers the server takes.
enum class ReceiverRoads { Any, Secure };

// Our key and the TLS context made from it, loaded (or made) when the first link is tried, so
// that a user who never meets a receiver with a link gets no files.
struct GatewayKey {
    std::mutex mutex;
    bool tried = false;
    std::optional<tlslink::Identity> identity;
    tlslink::SslCtx context;
    std::string error;   // why there is no key, once tried
};

// What every link attempt needs; made once at start by the server and shared by the workers.
struct GatewaySettings {
    ReceiverRoads roads = ReceiverRoads::Any;
    std::string folder;                               // ~/.Telvane; empty: no links (no HOME)
    std::shared_ptr<GatewayKey> key = std::make_shared<GatewayKey>();
    std::string known_receivers_path;                 // ~/.Telvane/known_receivers
    std::string sender_identity;                      // the user's name, as the consent question shows it
    std::chrono::milliseconds answer_limit{120000};   // how long the receiver's user may think
};

// The settings for the user running the server: its key's folder ~/.Telvane, the
// known-receivers file there, and the user's name. `error` says why links cannot be made (no
// HOME). Called once by the server at start.
GatewaySettings load_gateway_settings(ReceiverRoads roads, std::string &error);

// The outcome of trying a receiver host's gateway.
struct GatewayAttempt {
    enum class Kind { Linked, Failed } kind = Kind::Failed;
    int fd = -1;                              // Linked: the local end xcb talks to (the caller owns it)
    std::shared_future<char> answer;          // Linked: the service's answer, once it has come (0: none)
    std::optional<wire::ConnectFailure> failure;   // Failed
    std::string reason;                       // for the trace, whatever the kind
    std::string fingerprint;                  // Failed for a changed key: the key the receiver showed
};

// Whether the receiver at `address` ("a.b.c.d") has a key remembered in the known-receivers
// file: such a receiver is reached through its link or not at all. Called by connect_receiver
// before it would take the plain road.
bool is_pinned(const GatewaySettings &settings, const std::string &address);

// Runs the link over `tcp_fd`, a blocking socket connected to the link port of the receiver
// host at `addr`, which it takes over: the handshake, the key check, the request for display
// `display`. Failed with the failure to report, or Linked with a descriptor whose far end a
// detached relay thread serves until either end closes. Blocks up to `limit` for the handshake
// and up to the settings' answer limit for the receiver user's yes; runs on a receiver worker
// thread (connect_receiver).
GatewayAttempt open_gateway(int tcp_fd, in_addr addr, int display, std::chrono::milliseconds limit,
                            const GatewaySettings &settings);

// Why a link that `open_gateway` made could not carry an X set-up: the service's answer (waited
// for up to `limit`), as the failure to report. Called by connect_receiver when xcb's set-up
// through the link failed.
GatewayAttempt refusal(const GatewayAttempt &linked, const std::string &address, int display,
                       std::chrono::milliseconds limit);

}  // namespace telvane::server
