// Receivers' bytes reach xcb in whole packets only, in any pieces; and the receivers' resource ids.
#include <gtest/gtest.h>

#include "packet_gate.h"
#include "x11_setup.h"

using namespace telvane::server;
using telvane::wire::ByteOrder;

namespace {

// A packet of `size` bytes with first byte `type`; `length` goes at offset 4 (replies, generic
// events) or 6 (a set-up answer, when `type` is 0, 1 or 2 and `setup`).
std::string packet(uint8_t type, std::size_t size, uint32_t length, ByteOrder order, bool setup = false) {
    std::string p(size, '\x5a');
    p[0] = static_cast<char>(type);
    auto *at = reinterpret_cast<uint8_t *>(p.data());
    if (setup) telvane::wire::put16(at + 6, static_cast<uint16_t>(length), order);
    else telvane::wire::put32(at + 4, length, order);
    return p;
}

}  // namespace

TEST(PacketGate, OnlyWholePacketsPassInAnyPiecesAndAnOverlongOneBreaksTheConnection) {
    const auto L = ByteOrder::Lsb, M = ByteOrder::Msb;
    const std::string answer = packet(1, 8 + 4 * 3, 3, L, true);
    struct Row {
        const char *what;
        ByteOrder order;
        std::vector<std::string> whole;   // the packets that must come out, in order
        std::string rest;                 // bytes after them, held
        bool broken;
    } rows[] = {
        {"set-up, event, reply with 64 bytes more, KeymapNotify, generic event, error", L,
         {answer, packet(12, 32, 0, L), packet(1, 96, 16, L), packet(11, 32, 0xffffffff, L), packet(35, 40, 2, L),
          packet(0, 32, 0, L)}, "", false},
        {"a sent event numbered like a reply is 32 bytes; a sent generic event keeps its length", L,
         {answer, packet(0x81, 32, 5, L), packet(0xa3, 36, 1, L)}, "", false},
        {"most significant byte first", M, {packet(1, 8 + 4 * 2, 2, M, true), packet(1, 40, 2, M)}, "", false},
        {"a reply's head promising 64 bytes more, and 10 of them", L, {answer}, packet(1, 32 + 10, 16, L), false},
        {"a generic event cut short", L, {answer}, packet(35, 36, 2, L), false},
        {"half a set-up answer", L, {}, answer.substr(0, 6), false},
        {"a refused set-up with its reason", L, {packet(0, 8 + 4 * 5, 5, L, true)}, "", false},
        {"a reply at the limit", L, {answer, packet(1, 128, 24, L)}, "", false},
        {"a reply over the limit, before its body comes", L, {answer}, packet(1, 32, 25, L), true},
        {"a set-up answer over the limit", L, {}, packet(1, 8, 31, L, true), true},
    };
    for (const Row &row : rows) {
        std::string stream;
        std::vector<std::size_t> ends{0};
        for (const std::string &p : row.whole) ends.push_back((stream += p).size());
        stream += row.rest;
        for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{3}, std::size_t{7}}) {
            SCOPED_TRACE(testing::Message() << row.what << ", in pieces of " << piece);
            PacketGate gate(row.order, 128);
            telvane::tlslink::ByteQueue in, out;
            std::string why;
            bool ok = true;
            for (std::size_t at = 0; at < stream.size() && ok; at += piece) {
                in.append(std::string_view(stream).substr(at, piece));
                ok = gate.from_link(in, out, why);
                EXPECT_TRUE(in.empty());
                EXPECT_NE(std::find(ends.begin(), ends.end(), out.size()), ends.end()) << "a packet passed in part";
            }
            EXPECT_EQ(ok, !row.broken) << why;
            EXPECT_EQ(gate.refusal().empty(), !row.broken);
            if (row.broken) continue;
            EXPECT_EQ(out.view(), std::string_view(stream).substr(0, ends.back()));
            EXPECT_EQ(gate.held(), row.rest.size());
        }
    }
    // What xcb writes goes to the receiver as it is.
    char request[4] = {43, 0, 1, 0};
    std::string why;
    EXPECT_EQ(PacketGate().from_plain(request, sizeof request, why), 4u);
}

TEST(PacketGate, ReceiversIdsStepThroughTheirSetUpsRangeAndEndWithIt) {
    const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> rows[] = {
        // base, mask, n, id
        {0x00400000, 0x001fffff, 1, 0x00400001}, {0x00400000, 0x001fffff, 0x1fffff, 0x005fffff},
        {0x00400000, 0x001fffff, 0x200000, 0}, {0x00400000, 0x001ffff0, 2, 0x00400020},
        {0x00400000, 0x00000001, 1, 0x00400001}, {0x00400000, 0x00000001, 2, 0},
        {0x00400000, 0, 1, 0}, {0x00400000, 0x001fffff, 0, 0}, {0, 0xffffffff, 0xffffffff, 0xffffffff},
    };
    for (const auto &[base, mask, n, id] : rows)
        EXPECT_EQ(nth_resource_id(base, mask, n), id) << std::hex << base << " " << mask << " " << n;
}
