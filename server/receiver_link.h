#pragma once
// Connections to receiver displays: reaching them, with the reason when that fails. What is then
// sent over them is receiver_pipe's business.

#include "picture_policy.h"
#include "receiver_gateway.h"
#include "share_wire.h"
#include "upstream_link.h"
#include "xcb_handles.h"

#include <chrono>
#include <optional>
#include <string>

namespace telvane::server {

// The outcome of one attempt to reach a receiver. Exactly one of `conn` and `failure` is set.
struct ReceiverConnectResult {
    XcbConnection conn;
    int screen = 0;
    std::optional<wire::ConnectFailure> failure;
    std::string reason;   // for the log
    bool is_self = false; // the receiver is the display this server stands in front of
    std::string route;    // how it was reached (encrypted link or plain X11), for the trace
    bool plain = false;   // reached over plain X11 TCP: nothing it carries is encrypted
    wire::KeyPrefix key{};  // a ReceiverKeyChanged failure: the start of the key the receiver showed
    bool no_thread = false; // failed for want of a thread or descriptor here, not at the receiver
    PictureAbility pictures;  // what the receiver's link service decodes (nothing on the plain road)
    std::chrono::microseconds round_trip{0};  // one request's answer took this long, once connected
};

// Connects to the receiver named by `display_text` ("a.b.c.d:D.S" or "host:D.S"): through the
// encrypted link of the receiver host's telvane-consent when `gateway` is given and the host
// takes links, otherwise over plain X11 TCP with the user's credentials for it (unless the
// gateway settings refuse plain roads, or the receiver's key is remembered: such a receiver is
// reached through its link or not at all). Blocks up to `limit` for the TCP connect; meant to run
// on a worker thread. The result owns the connection. When `identity` is given and a root
// window of the receiver carries a property of that name, the receiver is this server's own
// display: is_self is set and no connection is kept. Through a link, the receiver's service is
// also asked which pictures it decodes.
ReceiverConnectResult connect_receiver(const std::string &display_text, std::chrono::milliseconds limit,
                                       const std::string &identity = "",
                                       const GatewaySettings *gateway = nullptr);

}  // namespace telvane::server
