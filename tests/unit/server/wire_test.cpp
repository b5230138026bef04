// Share extension wire layouts in both byte orders, checked against hand-written bytes.
#include "byte_order.h"
#include "share_wire.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using namespace telvane::wire;

TEST(ShareWire, RequestLayoutMatchesTheProtocolTable) {
    // SetInputDelay(500, 500) as an MSB-first client writes it: second delay, root, first delay.
    auto b = encode_share_request(200, 5, 500, 0x3d2, 500, ByteOrder::Msb);
    const std::vector<uint8_t> want{200, 5, 0, 4, 0, 0, 1, 0xf4, 0, 0, 3, 0xd2, 0, 0, 1, 0xf4};
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.end()), want);

    auto lsb = encode_share_request(200, 10, 0, 1000, 0x0100007f, ByteOrder::Lsb);
    ShareRequest r = decode_share_request(lsb.data(), ByteOrder::Lsb);
    EXPECT_EQ(std::tuple(r.minor, r.length, r.arg2), std::tuple(10, 4, 1000u));
    // The address word keeps its network-order bytes whatever the connection's order.
    EXPECT_EQ(r.arg3_bytes, (std::array<uint8_t, 4>{127, 0, 0, 1}));
}

TEST(ShareWire, EventAndReplyLayouts) {
    ShareEvent ev{127, 3, 0x1234, 0x00400001, 77, 9, 1};
    auto b = encode_share_event(ev, ByteOrder::Msb);
    // code, status, sequence; window, host, an unused word, tag, detail.
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 24),
              (std::vector<uint8_t>{127, 3, 0x12, 0x34, 0, 0x40, 0, 1, 0, 0, 0, 77, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 1}));
    ShareEvent back = decode_share_event(b.data(), ByteOrder::Msb);
    EXPECT_EQ(std::tuple(back.tag, back.sequence), std::tuple(9u, 0x1234));

    // Reply, sequence 7, no extra data, result word.
    auto r = encode_share_reply(7, 0xdeadbeef, ByteOrder::Lsb);
    EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 12),
              (std::vector<uint8_t>{1, 0, 7, 0, 0, 0, 0, 0, 0xef, 0xbe, 0xad, 0xde}));
    EXPECT_EQ(decode_share_reply_result(r.data(), ByteOrder::Lsb), 0xdeadbeefu);
}
