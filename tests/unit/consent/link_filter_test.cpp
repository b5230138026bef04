// What a display link's sender may ask of the receiver's display, and the answers it gets instead.
#include <gtest/gtest.h>

#include "link_filter.h"
#include "link_protocol.h"

#include <turbojpeg.h>
#include <webp/encode.h>

#include <initializer_list>
#include <string>
#include <vector>

using namespace telvane;
using namespace telvane::consent;
using wire::ByteOrder;

namespace {

constexpr uint32_t kBase = 0x00400000, kMask = 0x001fffff, kRoot = 0x1e0, kColormap = 0x20;
constexpr uint32_t kOwn = kBase | 1, kOwn2 = kBase | 2, kForeign = 0x00600001, kFrame = 0x00a00005;

// Two 16-bit fields in one word, the first first on the wire.
uint32_t pair(uint16_t first, uint16_t second, ByteOrder order = ByteOrder::Lsb) {
    return order == ByteOrder::Lsb ? first | uint32_t{second} << 16 : uint32_t{first} << 16 | second;
}

// One link seen from both ends. The display's set-up answer: the link's ids, requests of at most
// 16 kB, pixmap formats for depths 24 and 16, one screen of depth 24 with one TrueColor visual,
// images in the sender's byte order.
struct Link {
    explicit Link(LinkLimits limits = {}, ByteOrder order = ByteOrder::Lsb) : order(order), filter({"N", "D"}, limits) {
        send_raw(std::string{static_cast<char>(wire::setup_byte(order)), 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(out.size(), 20u);   // the credentials put in, padded
        std::vector<uint8_t> a(128, 0);
        a[0] = 1, a[28] = 1, a[29] = 2, a[30] = order == ByteOrder::Msb;
        a[40] = 24, a[41] = 32, a[42] = 32, a[48] = 16, a[49] = 16, a[50] = 32;
        a[94] = 24, a[95] = 1, a[96] = 24, a[98 + (order == ByteOrder::Msb)] = 1, a[108] = 4;
        for (auto [at, v] : {std::pair{6u, 30u}, {26u, 4096u}})
            wire::put16(a.data() + at, static_cast<uint16_t>(v), order);
        for (auto [at, v] : {std::pair{12u, kBase}, {16u, kMask}, {56u, kRoot}, {60u, kColormap}, {88u, 0x21u},
                             {104u, 0x21u}, {112u, 0xff0000u}, {116u, 0xff00u}, {120u, 0xffu}})
            wire::put32(a.data() + at, v, order);
        EXPECT_EQ(display(a), a.size());
    }
    // The relay's way: what the filter holds back comes out in further calls.
    void send_raw(std::string_view bytes) {
        tlslink::ByteQueue in;
        in.append(bytes);
        out.clear();
        ok = filter.from_link(in, out, why);
        for (in.clear(); ok && filter.holds_output();) ok = filter.from_link(in, out, why);
    }
    // The display's bytes through the filter; how many went on.
    size_t display(std::vector<uint8_t> &bytes) {
        return filter.from_plain(reinterpret_cast<char *>(bytes.data()), bytes.size(), why).value_or(0);
    }
    std::string request(uint8_t major, uint8_t data, std::initializer_list<uint32_t> words) const {
        std::string r(4 + 4 * words.size(), '\0');
        auto *p = reinterpret_cast<uint8_t *>(r.data());
        p[0] = major, p[1] = data;
        wire::put16(p + 2, static_cast<uint16_t>(r.size() / 4), order);
        size_t at = 4;
        for (uint32_t w : words) wire::put32(p + at, w, order), at += 4;
        return r;
    }
    // `r` with `tail` after it, padded, its length word set again.
    std::string with(std::string r, std::string_view tail) const {
        r += tail;
        r.resize((r.size() + 3) / 4 * 4, '\0');
        wire::put16(reinterpret_cast<uint8_t *>(r.data()) + 2, static_cast<uint16_t>(r.size() / 4), order);
        return r;
    }
    std::string query(std::string_view name) const {
        return with(request(wire::kOpQueryExtension, 0, {pair(static_cast<uint16_t>(name.size()), 0, order)}), name);
    }
    // Sends one request and answers it as the display would: -1 when it reached the display
    // unchanged, else the error the sender got in its place. `reply` fills the display's reply.
    int ask(const std::string &req, uint32_t word8 = 0, uint32_t word12 = 0) {
        send_raw(req);
        ++seq;
        answer.assign(32, 0);
        answer[0] = 1;
        wire::put16(answer.data() + 2, static_cast<uint16_t>(seq), order);
        wire::put32(answer.data() + 8, word8, order);
        wire::put32(answer.data() + 12, word12, order);
        display(answer);
        if (out.view() == req || out.size() > 4) return -1;
        EXPECT_EQ(out.size(), 4u);
        return answer[0] == 0 ? answer[1] : -2;
    }
    ByteOrder order;
    LinkFilter filter;
    tlslink::ByteQueue out;
    std::vector<uint8_t> answer;
    std::string why;
    bool ok = true;
    uint64_t seq = 0;
};

}  // namespace

TEST(LinkFilter, OnlyWhatMirrorsNeedOnTheLinksOwnResourcesReachesTheDisplay) {
    for (ByteOrder order : {ByteOrder::Lsb, ByteOrder::Msb}) {
        Link l({}, order);
        const auto window = [&](uint32_t id, uint32_t parent, uint32_t mask, std::initializer_list<uint32_t> v) {
            return l.with(l.request(wire::kOpCreateWindow, 24, {id, parent, 0, pair(10, 10, order), 0, 0, mask}),
                          l.request(0, 0, v).substr(4));
        };
        const struct {
            const char *what;
            std::string req;
            int error;   // -1: passes
        } rows[] = {
            {"a mirror on the root", window(kOwn, kRoot, 1u << 13 | 1, {1, kColormap}), -1},
            {"inside another client's window", window(kOwn2, kForeign, 0, {}), wire::kBadAccess},
            {"another client's pixmap as background", window(kOwn2, kRoot, 1, {kForeign}), wire::kBadAccess},
            {"a picture into the mirror", l.request(wire::kOpPutImage, 2, {kOwn, kOwn, pair(1, 1, order), 0, 0x1800, 0}), -1},
            {"a copy out of another window", l.request(wire::kOpCopyArea, 0, {kForeign, kOwn, kOwn, 0, 0, 0}), wire::kBadAccess},
            {"another's property", l.request(wire::kOpGetProperty, 0, {kForeign, 39, 0, 0, 1}), wire::kBadAccess},
            {"the root's resources", l.request(wire::kOpGetProperty, 0, {kRoot, 23, 0, 0, 1}), wire::kBadAccess},
            {"the root's tree", l.request(wire::kOpQueryTree, 0, {kRoot}), -1},
            {"another's tree", l.request(wire::kOpQueryTree, 0, {kForeign}), wire::kBadAccess},
            {"stacked against another", l.request(wire::kOpConfigureWindow, 0, {kOwn, pair(1u << 5, 0, order), kForeign}), wire::kBadAccess},
            {"a font in its GC", l.request(wire::kOpCreateGC, 0, {kOwn2, kRoot, 1u << 14, kForeign}), wire::kBadAccess},
            {"a point on the root", l.request(wire::kOpTranslateCoordinates, 0, {kOwn, kRoot, 0}), -1},
            {"from the root", l.request(wire::kOpTranslateCoordinates, 0, {kRoot, kOwn, 0}), wire::kBadAccess},
            {"an extension it never got", l.request(140, 1, {0}), wire::kBadRequest},
            {"shorter than its fixed part", l.request(wire::kOpPutImage, 2, {kOwn}), wire::kBadLength},
            {"the round trip that shows it is alive", l.request(wire::kOpGetInputFocus, 0, {}), -1},
        };
        for (const auto &row : rows) {
            EXPECT_EQ(l.ask(row.req), row.error) << row.what;
            EXPECT_TRUE(l.ok) << row.what << ": " << l.why;
            if (row.error > 0) {
                EXPECT_EQ(l.answer[10], static_cast<uint8_t>(row.req[0])) << row.what;
            }
        }
        // A frame learned above its window, and the identity atom learned from its answer.
        EXPECT_EQ(l.ask(l.request(wire::kOpQueryTree, 0, {kOwn}), kRoot, kFrame), -1);
        EXPECT_EQ(l.ask(l.request(wire::kOpQueryTree, 0, {kFrame}), kRoot, kRoot), -1);
        std::string intern = l.request(wire::kOpInternAtom, 1, {pair(16, 0, order), 0, 0, 0, 0});
        intern.replace(8, 16, tlslink::kServerIdentityPrefix);
        EXPECT_EQ(l.ask(intern, 777), -1);
        EXPECT_EQ(l.ask(l.request(wire::kOpGetProperty, 0, {kRoot, 777, 0, 0, 1})), -1);
        EXPECT_EQ(l.ask(l.request(wire::kOpGetProperty, 1, {kRoot, 777, 0, 0, 1})), wire::kBadAccess) << "deleting it";
        EXPECT_EQ(l.filter.counts().refused, 12u);
        EXPECT_EQ(refusals_text(l.filter.counts()).substr(0, 40), "; 12 requests refused: CreateWindow, Cop");
    }
}

TEST(LinkFilter, ExtensionsLookAbsentButLargePicturesAndCountsAndCapsHold) {
    Link l({.windows = 2, .pixmaps = 8, .gcs = 8, .pixels = 1000});
    EXPECT_EQ(l.ask(l.query("XInputExtension"), 0x01020381u), -1);
    EXPECT_EQ(std::vector<uint8_t>(l.answer.begin() + 8, l.answer.begin() + 12), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(l.ask(l.query("BIG-REQUESTS"), 0x00008b01u), -1);   // present, major 139
    EXPECT_EQ(l.answer[9], 139);
    EXPECT_EQ(l.ask(l.request(139, 0, {})), -1);
    // A long PutImage with a 32-bit length: its body passes unseen.
    std::string big = l.request(wire::kOpPutImage, 2, {0, kOwn, kOwn, pair(1, 1), 0, 0x1800});
    wire::put16(reinterpret_cast<uint8_t *>(big.data()) + 2, 0, l.order);
    wire::put32(reinterpret_cast<uint8_t *>(big.data()) + 4, 70000, l.order);
    l.send_raw(big);
    EXPECT_EQ(l.out.view(), big);
    EXPECT_EQ(l.filter.pass_through(), 70000u * 4 - big.size());
    l.filter.passed(l.filter.pass_through());
    ++l.seq;
    // Two windows of 20x20 fit; the third window, and growing one past the pixels, do not.
    for (uint32_t id : {kOwn, kOwn2})
        EXPECT_EQ(l.ask(l.request(wire::kOpCreateWindow, 0, {id, kRoot, 0, pair(20, 20), 0, 0, 0})), -1);
    EXPECT_EQ(l.ask(l.request(wire::kOpCreateWindow, 0, {kBase | 3, kRoot, 0, pair(1, 1), 0, 0, 0})), wire::kBadAlloc);
    EXPECT_EQ(l.ask(l.request(wire::kOpConfigureWindow, 0, {kOwn, 0xc, 30, 30})), wire::kBadAlloc);
    EXPECT_EQ(l.ask(l.request(wire::kOpDestroyWindow, 0, {kOwn2})), -1);
    EXPECT_EQ(l.ask(l.request(wire::kOpConfigureWindow, 0, {kOwn, 0xc, 30, 30})), -1);
    EXPECT_EQ(l.ask(l.request(wire::kOpConfigureWindow, 0, {kOwn, 0x4, 40})), wire::kBadAlloc) << "one side, 40x30";
    // A zero length without BIG-REQUESTS cannot be read: the link ends.
    Link fresh;
    fresh.send_raw(std::string{static_cast<char>(wire::kOpMapWindow), 0, 0, 0});
    EXPECT_FALSE(fresh.ok);
}

namespace {

// A picture of gradients with a sharp edge, and its JPEG and WebP at quality 95.
std::vector<uint8_t> scene(int w, int h) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3);
    for (int i = 0; i < w * h; ++i)
        p[3 * i] = static_cast<uint8_t>(i % w * 255 / w), p[3 * i + 1] = static_cast<uint8_t>(i / w * 255 / h),
        p[3 * i + 2] = i % w < w / 2 ? 40 : 200;
    return p;
}
std::string encode(wire::PictureCodec codec, int w, int h) {
    const std::vector<uint8_t> rgb = scene(w, h);
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    if (codec == wire::PictureCodec::WebP) size = WebPEncodeRGB(rgb.data(), w, h, w * 3, 95, &buf);
    else if (tjhandle tj = tjInitCompress()) tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &buf, &size, TJSAMP_444, 95, 0), tjDestroy(tj);
    std::string bytes(reinterpret_cast<char *>(buf), size);
    codec == wire::PictureCodec::WebP ? WebPFree(buf) : tjFree(buf);
    return bytes;
}

}  // namespace

TEST(LinkFilter, PicturesAreAnsweredByTheServiceAndDrawnAsOnePutImageInTheirPlace) {
    for (ByteOrder order : {ByteOrder::Lsb, ByteOrder::Msb}) {
        Link l({}, order);
        const auto put = [&](uint32_t drawable, uint16_t w, uint16_t h, uint8_t codec, const std::string &data, uint32_t less = 0) {
            const uint32_t word = order == ByteOrder::Lsb ? codec : uint32_t{codec} << 24;
            return l.with(l.request(wire::kPictureMajor, 1, {drawable, kOwn2, pair(3, 4, order), pair(w, h, order), word,
                                                             static_cast<uint32_t>(data.size() - less)}), data);
        };
        const std::string jpeg = encode(wire::PictureCodec::Jpeg, 40, 30), webp = encode(wire::PictureCodec::WebP, 40, 30);
        EXPECT_EQ(l.ask(put(kOwn, 40, 30, 0, jpeg)), wire::kBadRequest) << "before the link was told of pictures";
        EXPECT_EQ(l.ask(l.query(wire::kPictureExtensionName)), -2);
        EXPECT_EQ(std::vector<uint8_t>(l.answer.begin() + 8, l.answer.begin() + 12), (std::vector<uint8_t>{1, 255, 0, 0}));
        EXPECT_EQ(l.ask(l.request(wire::kPictureMajor, 0, {})), -2);
        EXPECT_EQ(std::pair(wire::get32(l.answer.data() + wire::kCodecMaskAt, order), wire::get32(l.answer.data() + wire::kMaxPixelsAt, order)),
                  std::pair(3u, kMaxPicturePixels));
        EXPECT_EQ(l.ask(l.request(wire::kOpCreateWindow, 0, {kOwn, kRoot, 0, pair(99, 99, order), 0, 0, 0})), -1);
        EXPECT_EQ(l.ask(l.request(wire::kOpCreatePixmap, 16, {kBase | 3, kRoot, pair(9, 9, order)})), -1);
        const struct { const char *what; std::string req; int error; } rows[] = {
            {"a JPEG", put(kOwn, 40, 30, 0, jpeg), -1},
            {"a WebP", put(kOwn, 40, 30, 1, webp), -1},
            {"a size the picture does not have", put(kOwn, 40, 31, 0, jpeg), wire::kBadValue},
            {"a JPEG cut short", put(kOwn, 40, 30, 0, jpeg.substr(0, jpeg.size() / 2)), wire::kBadValue},
            {"a codec nobody decodes", put(kOwn, 40, 30, 7, jpeg), wire::kBadValue},
            {"more pixels than the service takes", put(kOwn, 4000, 4000, 0, jpeg), wire::kBadValue},
            {"a length longer than the picture", put(kOwn, 40, 30, 0, jpeg + "padding", 7), wire::kBadLength},
            {"another client's window", put(kForeign, 40, 30, 0, jpeg), wire::kBadAccess},
            {"a window never made", put(kBase | 9, 40, 30, 0, jpeg), wire::kBadDrawable},
            {"a pixmap of 16 bits", put(kBase | 3, 40, 30, 0, jpeg), wire::kBadMatch},
            {"too long for a request without BIG-REQUESTS", put(kOwn, 160, 120, 0, encode(wire::PictureCodec::Jpeg, 160, 120)), wire::kBadLength},
        };
        const std::vector<uint8_t> rgb = scene(40, 30);
        for (const auto &row : rows) {
            EXPECT_EQ(l.ask(row.req), row.error) << row.what;
            if (row.error != -1) continue;
            // One ZPixmap PutImage of depth 24 at (3, 4), its pixels close to the picture's.
            const auto *p = reinterpret_cast<const uint8_t *>(l.out.data());
            ASSERT_EQ(l.out.size(), 24u + 40 * 30 * 4) << row.what;
            const std::string head = l.with(l.request(wire::kOpPutImage, 2, {kOwn, kOwn2, pair(40, 30, order), pair(3, 4, order),
                                                                    order == ByteOrder::Lsb ? 0x1800u : 0x180000u}), std::string(40 * 30 * 4, '\0'));   // depth 24
            EXPECT_EQ(l.out.view().substr(0, 24), head.substr(0, 24)) << row.what;
            long error = 0;
            for (size_t i = 0; i < 40 * 30; ++i)
                for (int c = 0; c < 3; ++c)
                    error += std::abs(int(wire::get32(p + 24 + 4 * i, order) >> (16 - 8 * c) & 0xff) - rgb[3 * i + c]);
            EXPECT_LT(error / (40 * 30 * 3), 3) << row.what;
        }
        // With BIG-REQUESTS (at most a megabyte), a large picture goes in a long length, and what
        // followed it goes after it.
        EXPECT_EQ(l.ask(l.query("BIG-REQUESTS"), order == ByteOrder::Lsb ? 0x00008b01u : 0x018b0000u), -1);   // major 139
        EXPECT_EQ(l.ask(l.request(139, 0, {}), 1u << 18), -1);
        const std::string noop = l.request(wire::kOpNoOperation, 0, {});
        EXPECT_EQ(l.ask(put(kOwn, 160, 120, 0, encode(wire::PictureCodec::Jpeg, 160, 120)) + noop), -1);
        ASSERT_EQ(l.out.size(), 28u + 160 * 120 * 4 + 4);
        EXPECT_EQ(wire::get32(reinterpret_cast<const uint8_t *>(l.out.data()) + 4, order), (28u + 160 * 120 * 4) / 4);
        EXPECT_EQ(l.out.view().substr(l.out.size() - 4), noop);
        EXPECT_EQ(l.ask(l.request(wire::kOpGetInputFocus, 0, {})), -1) << "numbering kept";
    }
    // A display whose BIG-REQUESTS has the pictures' opcode: pictures are absent.
    Link l;
    EXPECT_EQ(l.ask(l.query("BIG-REQUESTS"), 0x0000ff01u), -1);
    EXPECT_EQ(l.ask(l.query(wire::kPictureExtensionName)), -2);
    EXPECT_EQ(l.answer[8], 0);
}
