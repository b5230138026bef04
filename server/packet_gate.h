#pragma once
// What a receiver sends reaches xcb in whole packets only. Once xcb has the head of a packet it
// reads the rest without a time limit, holding the connection's lock, so a receiver that stopped
// halfway through one would stall whoever reads its connection: the server's main loop. Both
// roads to a receiver put this gate between its socket and xcb: the plain road's relay thread
// (plain_relay.*) and the encrypted link's relay (receiver_gateway.cpp). Pure byte work.

#include "byte_order.h"
#include "link_relay.h"

#include <bit>
#include <cstddef>
#include <optional>
#include <string>

namespace telvane::server {

// The largest packet a receiver may send. The largest answers the server asks receivers for are
// a QueryTree of a root with 65,535 children and a keyboard map of 255 keycodes by 255 symbols,
// each about 256 kB, and a set-up answer cannot claim more than 256 kB either; 1 MB leaves room.
// A packet that claims more breaks the connection.
inline constexpr std::size_t kMaxReceiverPacket = 1u << 20;

// xcb speaks in the machine's own byte order, and an X server answers in its client's.
inline constexpr wire::ByteOrder kXcbOrder =
    std::endian::native == std::endian::big ? wire::ByteOrder::Msb : wire::ByteOrder::Lsb;

// Holds back the bytes of a receiver's packet until the packet is whole: first the set-up
// answer (8 bytes, then the length they give), then packets of 32 bytes, replies and generic
// events with four times their length field more. What xcb writes passes as it is.
class PacketGate final : public tlslink::StreamGuard {
public:
    explicit PacketGate(wire::ByteOrder order = kXcbOrder, std::size_t max_packet = kMaxReceiverPacket)
        : order_(order), max_(max_packet) {}

    // Takes all of `in` and appends to `out` the packets it completes, in order; keeps the
    // rest. False, with `why` set, once a packet claims more than the limit: the connection is
    // to end. The link's relay and the plain road's relay call it with what the receiver sent.
    bool from_link(tlslink::ByteQueue &in, tlslink::ByteQueue &out, std::string &why) override;
    std::optional<std::size_t> from_plain(char *, std::size_t n, std::string &) override { return n; }

    // Bytes held of a packet that is not whole yet.
    std::size_t held() const { return held_.size(); }
    // Why the gate ended the connection; empty while it has not. The relays log it.
    const std::string &refusal() const { return refusal_; }

private:
    wire::ByteOrder order_;
    std::size_t max_;
    bool answered_ = false;   // the set-up answer has gone through
    tlslink::ByteQueue held_;
    std::string refusal_;
};

}  // namespace telvane::server
