// Cuts a receiver's byte stream into whole packets for xcb.
#include "packet_gate.h"

#include "x11_framing.h"

#include <cstdint>

namespace telvane::server {

bool PacketGate::from_link(tlslink::ByteQueue &in, tlslink::ByteQueue &out, std::string &why) {
    held_.append(in.view());
    in.clear();
    const auto *p = reinterpret_cast<const std::uint8_t *>(held_.data());
    const std::size_t n = held_.size();
    std::size_t whole = 0;
    for (;;) {
        const std::size_t head = answered_ ? wire::kPacketBytes : 8;
        if (n - whole < head) break;
        const std::size_t size =
            answered_ ? wire::packet_size(p + whole, order_) : wire::setup_reply_size(p + whole, order_);
        if (size > max_) {
            refusal_ = "a packet of " + std::to_string(size) + " bytes, more than the " + std::to_string(max_) +
                       " allowed";
            why = refusal_;
            return false;
        }
        if (n - whole < size) break;
        whole += size;
        answered_ = true;
    }
    out.append(held_.view().substr(0, whole));
    held_.consume(whole);
    return true;
}

}  // namespace telvane::server
