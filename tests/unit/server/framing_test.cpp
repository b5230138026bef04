// The share extension's wire layouts against hand-written bytes, and the framing of proxied
// connections: relay, carriers for share requests, sequence numbers, errors and injected events.
#include "connection_protocol.h"
#include "share_wire.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace telvane::server;
using namespace telvane::wire;
using Bytes = std::vector<uint8_t>;

TEST(ShareWire, RequestEventAndReplyLayoutsMatchTheProtocolTable) {
    // SetInputDelay(500, 500) as an MSB-first client writes it: second delay, root, first delay.
    auto req = encode_share_request(200, 5, 500, 0x3d2, 500, ByteOrder::Msb);
    EXPECT_EQ(Bytes(req.begin(), req.end()), (Bytes{200, 5, 0, 4, 0, 0, 1, 0xf4, 0, 0, 3, 0xd2, 0, 0, 1, 0xf4}));

    auto lsb = encode_share_request(200, 10, 0, 1000, 0x0100007f, ByteOrder::Lsb);
    ShareRequest r = decode_share_request(lsb.data(), ByteOrder::Lsb);
    EXPECT_EQ(std::tuple(r.minor, r.length, r.arg2), std::tuple(10, 4, 1000u));
    // The address word keeps its network-order bytes whatever the connection's order.
    EXPECT_EQ(r.arg3_bytes, (std::array<uint8_t, 4>{127, 0, 0, 1}));

    ShareEvent ev{127, 3, 0x1234, 0x00400001, 77, 9, 1, key_prefix("4F1c09d277abe310ffff")};
    auto e = encode_share_event(ev, ByteOrder::Msb);
    // code, status, sequence; window, host, an unused word, tag, detail; a changed key's start as
    // it is, whatever the byte order.
    EXPECT_EQ(Bytes(e.begin(), e.end()),
              (Bytes{127, 3, 0x12, 0x34, 0, 0x40, 0, 1, 0, 0, 0, 77, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 1,
                     0x4f, 0x1c, 0x09, 0xd2, 0x77, 0xab, 0xe3, 0x10}));
    EXPECT_EQ(decode_share_event(e.data(), ByteOrder::Msb).key, ev.key);

    // Reply, sequence 7, no extra data, result word.
    auto rep = encode_share_reply(7, 0xdeadbeef, ByteOrder::Lsb);
    EXPECT_EQ(Bytes(rep.begin(), rep.begin() + 12), (Bytes{1, 0, 7, 0, 0, 0, 0, 0, 0xef, 0xbe, 0xad, 0xde}));
}

namespace {

constexpr ExtensionCodes kCodes{200, 120, 220};
constexpr uint8_t kBigReq = 133;

struct Recorder : ShareRequestHandler {
    struct Call { ShareRequest req; size_t bytes; uint64_t seq; };
    std::vector<Call> calls;
    LocalAnswer answer = LocalAnswer::none();
    ConnectionProtocol *queue_on = nullptr;   // queue an event from inside the handler
    LocalAnswer on_share_request(const ShareRequest &r, size_t bytes, uint64_t seq) override {
        calls.push_back({r, bytes, seq});
        if (queue_on) queue_on->queue_event({0, 3, 0, 0x1234, 5, 6, 1});
        return answer;
    }
};

Bytes setup(ByteOrder o) { return encode_setup_request({o, 11, 0, "", ""}); }

Bytes setup_reply(ByteOrder o) {
    Bytes b(16, 0);
    b[0] = 1;
    put16(b.data() + 2, 11, o);
    put16(b.data() + 6, 2, o);  // 8 more bytes
    return b;
}

Bytes request(uint8_t major, uint16_t units, ByteOrder o, uint8_t minor = 0) {
    Bytes b(units * 4u, 0xaa);
    b[0] = major;
    b[1] = minor;
    put16(b.data() + 2, units, o);
    return b;
}

Bytes share(uint8_t minor, ByteOrder o, uint32_t a1 = 1, uint32_t a2 = 2, uint32_t a3 = 3) {
    auto a = encode_share_request(kCodes.major, minor, a1, a2, a3, o);
    return Bytes(a.begin(), a.end());
}

Bytes reply(uint16_t seq, ByteOrder o, uint32_t extra_words = 0) {
    Bytes b(32 + extra_words * 4u, 0x55);
    b[0] = 1;
    put16(b.data() + 2, seq, o);
    put32(b.data() + 4, extra_words, o);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes take(ByteQueue &q) {
    Bytes b(q.data(), q.data() + q.size());
    q.clear();
    return b;
}

ConnectionProtocol::Config config() { return {kCodes, kBigReq, {}, true, {}}; }

using St = ConnectionProtocol::Status;

struct Connected {
    explicit Connected(ByteOrder o, const ConnectionProtocol::Config &cfg = config()) : proto(cfg, &rec) {
        EXPECT_EQ(client(setup(o)), St::Open);
        EXPECT_EQ(upstream(setup_reply(o)), St::Open);
        up();
        down();
    }
    St client(const Bytes &b) { return proto.from_client(b.data(), b.size()); }
    St upstream(const Bytes &b) { return proto.from_upstream(b.data(), b.size()); }
    Bytes up() { return take(proto.upstream_out()); }     // what went upstream since the last look
    Bytes down() { return take(proto.client_out()); }     // what went to the client
    Recorder rec;
    ConnectionProtocol proto;
};

// The core error at the start of `out`: its code, sequence number and the request's opcodes.
void expect_error(const Bytes &out, uint8_t code, uint16_t seq, uint16_t minor, uint8_t major, ByteOrder o) {
    ASSERT_GE(out.size(), 32u);
    EXPECT_EQ(std::tuple(out[0], out[1], get16(&out[2], o), get16(&out[8], o), out[10]),
              std::tuple(uint8_t{0}, code, seq, minor, major));
}

class Framing : public ::testing::TestWithParam<ByteOrder> {
protected:
    const ByteOrder o = GetParam();
    Connected c{o};
};

}  // namespace

TEST_P(Framing, RelaysOrdinaryTrafficByteForByteWhateverTheChunking) {
    Bytes expose = reply(2, o);
    expose[0] = 12;
    Bytes in = cat({setup(o), request(1, 10, o), request(43, 1, o), request(72, 300, o), request(127, 1, o)});
    Bytes out_in = cat({setup_reply(o), reply(2, o, 3), expose, reply(3, o, 0)});
    // One byte at a time, so that every header and body is split everywhere.
    ConnectionProtocol p(config(), nullptr);
    for (uint8_t b : in) ASSERT_EQ(p.from_client(&b, 1), St::Open);
    for (uint8_t b : out_in) ASSERT_EQ(p.from_upstream(&b, 1), St::Open);
    EXPECT_EQ(take(p.upstream_out()), in);
    EXPECT_EQ(take(p.client_out()), out_in);
    EXPECT_EQ(p.requests_sent(), 4u);
}

TEST_P(Framing, ShareRequestsNeverReachUpstreamButKeepTheSequence) {
    c.rec.answer = LocalAnswer::reply(42);
    ASSERT_EQ(c.client(cat({request(127, 1, o), share(9, o), request(43, 1, o)})), St::Open);
    EXPECT_EQ(c.up(), cat({request(127, 1, o), request(kOpGetInputFocus, 1, o), request(43, 1, o)}));
    EXPECT_TRUE(c.proto.has_sent_share_request());
    EXPECT_TRUE(c.rec.calls.empty()) << "run only once upstream has executed the earlier requests";
    // An event with a length of its own (Present's, XInput 2's) passes whole, even where its
    // payload looks like the reply awaited.
    Bytes generic = reply(1, o, 8), inside = reply(2, o);
    generic[0] = kGenericEvent;
    std::copy(inside.begin(), inside.end(), generic.begin() + 32);
    ASSERT_EQ(c.upstream(generic), St::Open);
    EXPECT_EQ(c.down(), generic);
    EXPECT_TRUE(c.rec.calls.empty());

    // Upstream answers the carrier (seq 2) and the client's own GetInputFocus (seq 3).
    ASSERT_EQ(c.upstream(cat({reply(2, o), reply(3, o)})), St::Open);
    ASSERT_EQ(c.rec.calls.size(), 1u);
    EXPECT_EQ(std::tuple(c.rec.calls[0].seq, c.rec.calls[0].req.minor, c.rec.calls[0].req.arg3, c.rec.calls[0].bytes),
              std::tuple(uint64_t{2}, uint8_t{9}, uint32_t{3}, size_t{16}));
    auto ours = encode_share_reply(2, 42, o);
    EXPECT_EQ(c.down(), cat({Bytes(ours.begin(), ours.end()), reply(3, o)}));

    // Past 16 bits the handler still gets the exact number, the client its low half.
    for (int i = 0; i < 70000; ++i) ASSERT_EQ(c.client(request(127, 1, o)), St::Open);
    ASSERT_EQ(c.client(share(9, o)), St::Open);
    ASSERT_EQ(c.upstream(reply(static_cast<uint16_t>(70004), o)), St::Open);
    ASSERT_EQ(c.rec.calls.size(), 2u);
    EXPECT_EQ(c.rec.calls[1].seq, 70004u);
    EXPECT_EQ(get16(&c.down()[2], o), static_cast<uint16_t>(70004));
}

TEST_P(Framing, AGrabCountsUntilItsUngrabHasLeftForUpstream) {
    EXPECT_FALSE(c.proto.may_hold_grab());
    ASSERT_EQ(c.client(request(kOpGrabServer, 1, o)), St::Open);
    EXPECT_TRUE(c.proto.may_hold_grab()) << "from the moment it is asked for, even before upstream has it";
    c.up();
    ASSERT_EQ(c.client(cat({request(72, 300, o), request(kOpUngrabServer, 1, o), request(43, 1, o)})), St::Open);
    c.proto.upstream_out().consume(300 * 4 + 3);
    EXPECT_TRUE(c.proto.may_hold_grab()) << "part of the UngrabServer is still ours";
    c.proto.upstream_out().consume(1);
    EXPECT_FALSE(c.proto.may_hold_grab());
    // An UngrabServer without a grab changes nothing, and another grab counts again.
    c.up();
    ASSERT_EQ(c.client(cat({request(kOpUngrabServer, 1, o), request(kOpGrabServer, 1, o)})), St::Open);
    c.up();
    EXPECT_TRUE(c.proto.may_hold_grab());
}


TEST_P(Framing, OverlongShareRequestIsSwallowedWholeUpToTheCoreLimit) {
    Bytes longer = share(1, o);
    put16(longer.data() + 2, 5, o);
    longer.insert(longer.end(), 4, 0xee);
    ASSERT_EQ(c.client(cat({longer, request(43, 1, o)})), St::Open);
    EXPECT_EQ(c.up(), cat({request(kOpGetInputFocus, 1, o), request(43, 1, o)})) << "the carrier, no stray bytes";
    ASSERT_EQ(c.upstream(reply(1, o)), St::Open);
    ASSERT_EQ(c.rec.calls.size(), 1u);
    EXPECT_EQ(c.rec.calls[0].bytes, 20u);
    // Up to the core protocol's longest request, but not so long that what follows would be
    // swallowed as its body, nor shorter than its own header: else the connection is refused.
    for (uint32_t units : {65535u, 65536u, 0xffffffffu, 1u}) {
        Connected big(o);
        ASSERT_EQ(big.client(request(kBigReq, 1, o)), St::Open);
        Bytes claim = share(1, o);
        put16(claim.data() + 2, 0, o);
        put32(claim.data() + 4, units, o);
        EXPECT_EQ(big.client(claim), units > 1 && units <= 65535 ? St::Open : St::Broken) << units;
    }
}

TEST_P(Framing, LocalErrorsAndEventsCarryTheShareRequestsSequenceAndWaitForTheEndOfAReply) {
    c.rec.answer = LocalAnswer::error(kBadLength);
    c.rec.queue_on = &c.proto;
    ASSERT_EQ(c.client(cat({share(1, o), request(20, 2, o)})), St::Open);
    ASSERT_EQ(c.upstream(reply(1, o)), St::Open);
    Bytes out = c.down();
    ASSERT_EQ(out.size(), 64u);
    // The error comes first, then the event the handler queued while answering.
    expect_error(out, kBadLength, 1, 1, kCodes.major, o);
    EXPECT_EQ(std::tuple(out[32], out[33], get16(&out[34], o), get32(&out[36], o)),
              std::tuple(kCodes.first_event, uint8_t{3}, uint16_t{1}, uint32_t{0x1234}));

    // An event queued while a reply is half through waits for its end.
    Bytes big = reply(2, o, 100);
    ASSERT_EQ(c.upstream(Bytes(big.begin(), big.begin() + 100)), St::Open);
    c.proto.queue_event({0, 4, 0, 7, 8, 9, 1});
    EXPECT_EQ(c.proto.client_out().size(), 100u);
    ASSERT_EQ(c.upstream(Bytes(big.begin() + 100, big.end())), St::Open);
    out = c.down();
    ASSERT_EQ(out.size(), big.size() + 32);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + big.size()), big);
    EXPECT_EQ(out[big.size()], kCodes.first_event);
    EXPECT_EQ(get16(&out[big.size() + 2], o), 2) << "the last sequence number the client has seen";
}

// A refused client gets Failed with the reason, a client not speaking X11 is dropped, and upstream
// gets nothing.
TEST_P(Framing, RefusedSetupIsAnsweredHere) {
    auto cfg = config();
    cfg.check_setup = [](const SetupRequest &) { return SetupVerdict{false, "No", false, "", ""}; };
    ConnectionProtocol p(cfg, nullptr);
    auto b = encode_setup_request({o, 11, 0, "MIT-MAGIC-COOKIE-1", ""});
    EXPECT_FALSE(parse_setup_request(b.data(), b.size() - 1)) << "a set-up longer than its bytes is not read";
    EXPECT_EQ(p.from_client(b.data(), b.size()), St::CloseAfterFlush);
    EXPECT_TRUE(p.upstream_out().empty());
    Bytes out = take(p.client_out());
    ASSERT_GE(out.size(), 12u);
    EXPECT_EQ(std::tuple(out[0], out[1], get16(&out[6], o) * 4u + 8), std::tuple(0, 2, out.size()));   // Failed
    EXPECT_EQ(std::string(out.begin() + 8, out.begin() + 10), "No");
    ConnectionProtocol junk(config(), nullptr);
    const uint8_t http[] = "GET / HTTP/1.1\r\n";
    EXPECT_EQ(junk.from_client(http, sizeof http - 1), St::Broken);
    EXPECT_TRUE(junk.upstream_out().empty());
}

// Refused requests (those upstream would refuse, and descriptors for a TCP client) are answered here
// in sequence. The first matching entry decides; the minor counts only within its range.
TEST_P(Framing, RefusedRequestsGetTheirErrorHereAndUpstreamNeverSeesThem) {
    constexpr uint8_t kShm = 130, kDri3 = 150;
    struct Case { uint8_t major, minor, error; };   // error 0: passes
    const Case cases[] = {{kShm, 7, kBadAlloc}, {kShm, 6, 0},     {kShm, 1, kBadAccess}, {kDri3, 0, kBadMatch},
                          {kDri3, 8, kBadMatch}, {109, 1, kBadAccess}, {111, 0, kBadAccess}, {110, 0, 0},
                          {77, 7, 0}};
    auto cfg = config();
    cfg.refused = {{kShm, 7, 7, kBadAlloc}, {kShm, 1, 1, kBadAccess}, {kDri3, 0, 255, kBadMatch},
                   {kDri3, 8, 8, kBadAlloc}, {109, 0, 255, kBadAccess}, {111, 0, 255, kBadAccess}};
    for (const Case &k : cases) {
        SCOPED_TRACE(testing::Message() << "major " << int(k.major) << " minor " << int(k.minor));
        Connected refusing(o, cfg);
        Bytes in = cat({request(1, 2, o), request(k.major, 3, o, k.minor), request(43, 1, o)});
        ASSERT_EQ(refusing.client(in), St::Open);
        if (!k.error) {
            EXPECT_EQ(refusing.up(), in);
            continue;
        }
        // Upstream gets a 4-byte stand-in in its place, and answers it like any request.
        EXPECT_EQ(refusing.up(), cat({request(1, 2, o), request(kOpGetInputFocus, 1, o), request(43, 1, o)}));
        ASSERT_EQ(refusing.upstream(cat({reply(2, o), reply(3, o)})), St::Open);
        Bytes out = refusing.down();
        ASSERT_EQ(out.size(), 64u);
        expect_error(out, k.error, 2, k.minor, k.major, o);
        EXPECT_EQ(Bytes(out.begin() + 32, out.end()), reply(3, o));
    }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, Framing, ::testing::Values(ByteOrder::Lsb, ByteOrder::Msb),
                         [](const auto &info) { return info.param == ByteOrder::Msb ? "Msb" : "Lsb"; });
