#pragma once
// The service's sockets: the listening one and what it learns about a peer.

#include "handles.h"
#include "request_parser.h"

#include <cstdint>
#include <string>

namespace telvane::consent {

// A listening socket, or why there is none.
struct Listener {
    UniqueFd fd;            // non-blocking, close-on-exec; empty on failure
    std::string bound;      // "ADDR:PORT" as actually bound, e.g. "127.0.0.1:40211"
    std::string error;      // set on failure
};

// Opens a TCP listening socket on IPv4 `host` (a dotted address or a name; empty: every
// address) and `port` (0: any free one). Called once by main.
Listener open_listener(const std::string &host, uint16_t port);

// The IPv4 address at the other end of connected socket `fd`; 0.0.0.0 when it is not IPv4.
// Called by the service for each accepted connection, to name a peer that never sent its own.
Ipv4Address peer_address(int fd);

}  // namespace telvane::consent
