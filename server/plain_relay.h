#pragma once
// The plain road to a receiver (X11 over TCP) with a relay thread between the socket and xcb:
// xcb's requests go to the receiver as they come, and the receiver's bytes reach xcb only in
// whole packets (packet_gate.h), so that a receiver that stops halfway through a packet cannot
// stall the thread that reads its connection.

#include "fd.h"

#include <optional>
#include <string>

namespace telvane::server {

// Bytes each direction of a plain relay holds before it stops reading from that direction's
// source: the receiver's packets waiting for xcb (besides one packet not yet whole), and xcb's
// requests waiting for the receiver's socket.
inline constexpr std::size_t kPlainRelayRoom = 256u << 10;

// Takes `tcp`, a connected socket to the receiver's X server, and starts a detached thread that
// relays it to the returned descriptor, which the caller hands to xcb. The thread ends, closing
// both of its ends, when the receiver's socket ends or breaks (after passing on every whole packet
// read before), when it sends a packet over the limit (written to standard error, naming
// `receiver`), or when xcb's end is closed or shut down (as the set-up watch and the sender
// thread's end do). Nothing, with `why` set, when there is no socket pair or thread. Called by
// connect_receiver on its worker thread.
std::optional<Fd> relay_plain(Fd tcp, const std::string &receiver, std::string &why);

}  // namespace telvane::server
