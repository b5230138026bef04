// Share extension wire layouts in both byte orders, checked against hand-written bytes.
#include "byte_order.h"
#include "share_wire.h"

#include <gtest/gtest.h>

#include <vector>

using namespace telvane::wire;

TEST(ByteOrder, ReadsAndWritesBothOrders) {
    uint8_t b[4];
    put32(b, 0x11223344, ByteOrder::Msb);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(get32(b, ByteOrder::Msb), 0x11223344u);
    EXPECT_EQ(get32(b, ByteOrder::Lsb), 0x44332211u);
    put16(b, 0xabcd, ByteOrder::Lsb);
    EXPECT_EQ(b[0], 0xcd);
    EXPECT_EQ(b[1], 0xab);
    EXPECT_EQ(get16(b, ByteOrder::Lsb), 0xabcd);
    EXPECT_EQ(get16(b, ByteOrder::Msb), 0xcdab);

    ByteOrder o;
    EXPECT_TRUE(order_from_setup_byte('B', o));
    EXPECT_EQ(o, ByteOrder::Msb);
    EXPECT_TRUE(order_from_setup_byte('l', o));
    EXPECT_EQ(o, ByteOrder::Lsb);
    EXPECT_FALSE(order_from_setup_byte('L', o));
    EXPECT_EQ(pad4(0), 0u);
    EXPECT_EQ(pad4(13), 3u);
}

TEST(ShareWire, RequestLayoutMatchesTheProtocolTable) {
    // SetInputDelay(500, 500) as an MSB-first client writes it: second delay, root, first delay.
    auto b = encode_share_request(200, 5, 500, 0x3d2, 500, ByteOrder::Msb);
    const std::vector<uint8_t> want{200, 5, 0, 4, 0, 0, 1, 0xf4, 0, 0, 3, 0xd2, 0, 0, 1, 0xf4};
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.end()), want);

    auto lsb = encode_share_request(200, 10, 0, 1000, 0x0100007f, ByteOrder::Lsb);
    ShareRequest r = decode_share_request(lsb.data(), ByteOrder::Lsb);
    EXPECT_EQ(r.minor, 10);
    EXPECT_EQ(r.length, 4);
    EXPECT_EQ(r.arg2, 1000u);
    // The address word keeps its network-order bytes whatever the connection's order.
    EXPECT_EQ(r.arg3_bytes, (std::array<uint8_t, 4>{127, 0, 0, 1}));
}

TEST(ShareWire, EventAndReplyLayouts) {
    ShareEvent ev{127, 3, 0x1234, 0x00400001, 77, 9, 1};
    auto b = encode_share_event(ev, ByteOrder::Msb);
    EXPECT_EQ(b[0], 127);
    EXPECT_EQ(b[1], 3);
    EXPECT_EQ(b[2], 0x12);
    EXPECT_EQ(b[3], 0x34);
    EXPECT_EQ(get32(b.data() + 4, ByteOrder::Msb), 0x00400001u);
    EXPECT_EQ(get32(b.data() + 8, ByteOrder::Msb), 77u);
    EXPECT_EQ(get32(b.data() + 12, ByteOrder::Msb), 0u);
    EXPECT_EQ(get32(b.data() + 16, ByteOrder::Msb), 9u);
    EXPECT_EQ(get32(b.data() + 20, ByteOrder::Msb), 1u);
    ShareEvent back = decode_share_event(b.data(), ByteOrder::Msb);
    EXPECT_EQ(back.tag, 9u);
    EXPECT_EQ(back.sequence, 0x1234);

    auto r = encode_share_reply(7, 0xdeadbeef, ByteOrder::Lsb);
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(get16(r.data() + 2, ByteOrder::Lsb), 7);
    EXPECT_EQ(get32(r.data() + 4, ByteOrder::Lsb), 0u);  // no extra data
    EXPECT_EQ(decode_share_reply_result(r.data(), ByteOrder::Lsb), 0xdeadbeefu);
}
