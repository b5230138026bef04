// The encodings' choices on pictures made here, exact regions, the judge between lossy pictures
// and exact pixels, the exact refresh's timing, and the pictures and their request.
#include "encoding.h"
#include "picture_codec.h"
#include "picture_policy.h"
#include "region.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <webp/decode.h>

using namespace telvane::server;
using namespace std::chrono_literals;

namespace {

// A 32-bit picture of `w` x `h`, row by row.
struct Pic {
    int32_t w, h;
    std::vector<uint32_t> px;
    Pic(int32_t w_, int32_t h_, uint32_t fill = 0xffffff) : w(w_), h(h_), px(size_t(w_) * h_, fill) {}
    PixelBlock block() const { return {reinterpret_cast<const uint8_t *>(px.data()), size_t(w) * 4, w, h, 4, false}; }
    uint32_t &at(int32_t x, int32_t y) { return px[size_t(y) * w + x]; }
    // Lines of random two-colour "text", 11 rows high and 13 apart, from `seed`.
    void text(uint32_t seed) {
        std::mt19937 rng(seed);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                if (y % 13 < 11 && rng() % 3 == 0) at(x, y) = 0x000000;
    }
    // Smooth gradients with grain, as a photograph has.
    void photo(uint32_t seed) {
        std::mt19937 rng(seed);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                const uint32_t g = rng() % 12;
                at(x, y) = ((x * 200 / w + g) << 16) | ((y * 200 / h + g) << 8) | ((x + y) * 100 / (w + h) + g);
            }
    }
};

const PictureAbility kJpegLink{telvane::wire::codec_bit(telvane::wire::PictureCodec::Jpeg), 1u << 22};

}  // namespace

TEST(Encoding, SolidTwoColoursInBitmapRowsOfEitherBitOrderAndPadOrRaw) {
    Pic solid(20, 10, 0x123456), text(20, 10), three(20, 10);
    text.at(3, 4) = 0;
    three.at(3, 4) = 0;
    three.at(5, 5) = 0xff0000;
    EncodingChoice c = choose_encoding(solid.block());
    EXPECT_EQ(std::tuple(c.how, c.foreground), std::tuple(Encoding::Solid, 0x123456u));
    c = choose_encoding(text.block());
    // The foreground is the colour that is not the corner's.
    EXPECT_EQ(std::tuple(c.how, c.foreground, c.background), std::tuple(Encoding::TwoColour, 0u, 0xffffffu));
    EXPECT_EQ(choose_encoding(three.block()).how, Encoding::Raw);
    // Byte order and narrower pixels read the same values.
    const uint8_t msb[] = {0x00, 0x12, 0x34, 0x56};
    EXPECT_EQ((PixelBlock{msb, 4, 1, 1, 4, true}.pixel(0, 0)), 0x123456u);
    const uint8_t packed[] = {0x56, 0x34, 0x12};
    EXPECT_EQ((PixelBlock{packed, 3, 1, 1, 3, false}.pixel(0, 0)), 0x123456u);
    Pic p(10, 2);
    p.at(0, 0) = p.at(9, 0) = p.at(1, 1) = 0;
    // Ten bits padded to 32 a row, least significant bit first; then padded to 8, most first.
    EXPECT_EQ(bitmap_rows(p.block(), 0, 32, false), (std::vector<uint8_t>{0x01, 0x02, 0, 0, 0x02, 0, 0, 0}));
    EXPECT_EQ(bitmap_rows(p.block(), 0, 8, true), (std::vector<uint8_t>{0x80, 0x40, 0x40, 0}));
}

TEST(Encoding, ScrollsAreFoundByTheirShift) {
    Pic before(64, 65);
    before.text(1);
    for (auto [dy, found] : {std::pair{13, true}, {-13, true}, {1, true}, {40, false}, {0, false}}) {
        Pic now(64, 65);
        for (int32_t y = std::max(0, -dy); y < std::min(65, 65 - dy); ++y)
            for (int32_t x = 0; x < 64; ++x) now.at(x, y) = before.at(x, y + dy);
        EXPECT_EQ(vertical_scroll(before.block(), now.block()), found ? std::optional(dy) : std::nullopt) << dy;
    }
    // New text everywhere is no scroll; nor is a blank picture against blank.
    Pic other(64, 65);
    other.text(2);
    EXPECT_FALSE(vertical_scroll(before.block(), other.block()));
    EXPECT_FALSE(vertical_scroll(Pic(64, 65).block(), Pic(64, 65).block()));

    Pic side(64, 20);
    side.text(3);
    Pic moved(64, 20);
    for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x + 8 < 64; ++x) moved.at(x, y) = side.at(x + 8, y);
    EXPECT_EQ(horizontal_scroll(side.block(), moved.block()), 8);
}

TEST(Encoding, OnlyChangedRowsAreSentAndNearRunsJoin) {
    Pic before(16, 20), now(16, 20);
    for (int32_t y : {2, 3, 5, 12}) now.at(7, y) = 0;
    now.at(9, 3) = 0;
    const auto runs = changed_rows(before.block(), now.block());
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], (Rect{7, 2, 3, 4})) << "rows 2, 3 and 5 with the gap of one between, columns 7 to 9";
    EXPECT_EQ(runs[1], (Rect{7, 12, 1, 1}));
    EXPECT_TRUE(changed_rows(before.block(), before.block()).empty());
}

TEST(Region, SubtractIntersectAndUnionAreExact) {
    Region r(Rect{0, 0, 100, 100});
    r.subtract(Rect{25, 25, 50, 50});
    EXPECT_EQ(r.area(), 10000 - 2500);
    EXPECT_FALSE(r.contains(Rect{20, 20, 10, 10}));
    r.add(Rect{25, 25, 50, 50});
    EXPECT_EQ(r, Region(Rect{0, 0, 100, 100})) << "the hole filled again gives the square back";
    // Two corners far apart stay two, with nothing between them.
    Region corners(Rect{0, 0, 10, 10});
    corners.add(Rect{90, 90, 10, 10});
    corners.intersect(Rect{5, 5, 90, 90});
    EXPECT_EQ(corners.rects(), (std::vector<Rect>{{5, 5, 5, 5}, {90, 90, 5, 5}}));
}

TEST(PictureJudge, PhotographsGoLossyDrawnAreasStayExact) {
    Pic photo(200, 100), text(200, 100), small(40, 40), lines(200, 100), wide(200, 100);
    photo.photo(1);
    // Pixels four wide: many colours in flat runs, as a chart's bars or a zoomed-in image.
    wide.photo(4);
    for (int32_t y = 0; y < 100; ++y)
        for (int32_t x = 0; x < 200; ++x) wide.at(x, y) = wide.at(x / 4 * 4, y);
    small.photo(2);
    std::mt19937 rng(3);
    for (auto &p : text.px) p = rng() % 3 ? 0xffffff : 0;
    // Antialiased lines of eight greys.
    for (int32_t y = 0; y < 100; ++y)
        for (int32_t x = 0; x < 200; ++x) lines.at(x, y) = 0x202020u * uint32_t((x + y) % 8);
    struct Case {
        const char *name;
        const Pic &pic;
        PictureAbility link;
        bool lossy;
        const char *reason;
    } cases[] = {
        {"photo", photo, kJpegLink, true, "photographic"},
        {"photo, old service", photo, {}, false, "link decodes no picture"},
        {"photo, WebP only", photo, {telvane::wire::codec_bit(telvane::wire::PictureCodec::WebP), 1u << 22}, false,
         "link decodes no picture"},
        {"photo over the link's limit", photo, {kJpegLink.codecs, 19999}, false, "larger than the link decodes"},
        {"small photo", small, kJpegLink, false, "too small"},
        {"text", text, kJpegLink, false, "one or two colours"},
        {"greys", lines, kJpegLink, false, "few colours"},
        {"wide pixels", wide, kJpegLink, false, "flat areas"},
    };
    for (const Case &c : cases) {
        const PictureVerdict v = judge_area(c.pic.block(), choose_encoding(c.pic.block()), c.link, {});
        EXPECT_EQ(v.lossy, c.lossy) << c.name;
        EXPECT_STREQ(v.reason, c.reason) << c.name;
    }
}

TEST(PictureJudge, QualityOption) {
    EXPECT_EQ(parse_picture_quality("1"), 1);
    EXPECT_EQ(parse_picture_quality("100"), 100);
    for (const char *bad : {"0", "101", "", "80%", "-5", "eighty"}) EXPECT_FALSE(parse_picture_quality(bad)) << bad;
}

TEST(PictureRefresh, DueAfterStillnessLaterWhenBehindNeverForExactParts) {
    EXPECT_EQ(refresh_delay(0), kRefreshStill);
    EXPECT_EQ(refresh_delay(2), kRefreshStill + kRefreshStill / 2);
    EXPECT_EQ(refresh_delay(1000), kRefreshLongest);

    const FrameTime t0{};
    InexactArea a;
    a.lossy({0, 0, 100, 100}, t0);
    a.lossy({50, 0, 100, 100}, t0 + 600ms);   // drawn again: young again
    EXPECT_EQ(a.next_due(kRefreshStill), t0 + kRefreshStill);
    EXPECT_TRUE(a.due(t0 + 999ms, kRefreshStill).empty());
    // At 1 s only the part not drawn since is due.
    EXPECT_EQ(a.due(t0 + kRefreshStill, kRefreshStill), Region(Rect{0, 0, 50, 100}));
    EXPECT_EQ(a.due(t0 + 1600ms, kRefreshStill).area(), 150 * 100);
    // Exact draws take their area away; a refresh of all leaves nothing to refresh.
    a.exact({0, 0, 10, 100});
    EXPECT_EQ(a.all().area(), 140 * 100);
    a.exact(a.all().bounds());
    EXPECT_TRUE(a.empty());
    EXPECT_FALSE(a.next_due(kRefreshStill));

    // A scroll carries the inexact part along, keeping its age; what it covers shows the exact
    // pixels it copied, and its source still shows what it showed.
    a.lossy({0, 0, 10, 10}, t0);
    a.lossy({0, 50, 10, 10}, t0 + 500ms);
    a.copied({0, 0, 10, 40}, {0, 20, 10, 40});
    Region expected(Rect{0, 0, 10, 10});
    expected.add(Rect{0, 20, 10, 10});
    EXPECT_EQ(a.all(), expected);
    EXPECT_EQ(a.due(t0 + kRefreshStill, kRefreshStill), expected);

    // A picture made again of the same pixels is known as shown, until anything draws over it.
    InexactArea same;
    same.lossy({0, 0, 10, 10}, t0, 7);
    EXPECT_TRUE(same.shows({0, 0, 10, 10}, 7));
    EXPECT_FALSE(same.shows({0, 0, 10, 10}, 8) || same.shows({0, 0, 10, 11}, 7));
    same.exact({5, 5, 1, 1});
    EXPECT_FALSE(same.shows({0, 0, 10, 10}, 7));

    // Many parts are joined, oldest first, never losing an inexact pixel.
    InexactArea many;
    for (int i = 0; i < 40; ++i) many.lossy({i * 10, 0, 5, 5}, t0 + std::chrono::milliseconds(i));
    EXPECT_EQ(many.all().area(), 40 * 25);
    EXPECT_TRUE(many.due(t0 + kRefreshStill, kRefreshStill).area() < 40 * 25);
    EXPECT_EQ(many.due(t0 + kRefreshStill + 40ms, kRefreshStill).area(), 40 * 25);
}

// (How close a picture comes back is the groups' test.)
TEST(PictureCoder, JpegKeepsPadBytesAndRefusesWhatDoesNotFit) {
    Pic photo(64, 48);
    photo.photo(5);
    PixelFormat f;
    PictureCoder codec;
    const auto bytes = codec.encode(telvane::wire::PictureCodec::Jpeg, photo.block(), f, 90);
    ASSERT_TRUE(bytes);
    Pic back(64, 48, 0xab000000);
    ASSERT_TRUE(codec.decode(telvane::wire::PictureCodec::Jpeg, bytes->data(), bytes->size(), f,
                             reinterpret_cast<uint8_t *>(back.px.data()), 64 * 4, 64, 48));
    for (uint32_t p : back.px) ASSERT_EQ(p >> 24, 0xabu);
    // A picture of another size, or garbage, is refused.
    EXPECT_FALSE(codec.decode(telvane::wire::PictureCodec::Jpeg, bytes->data(), bytes->size(), f,
                              reinterpret_cast<uint8_t *>(back.px.data()), 64 * 4, 32, 48));
    const uint8_t junk[16] = {0xff, 0xd8, 1, 2};
    EXPECT_FALSE(codec.decode(telvane::wire::PictureCodec::Jpeg, junk, sizeof junk, f,
                              reinterpret_cast<uint8_t *>(back.px.data()), 64 * 4, 64, 48));
    EXPECT_FALSE(codec.encode(telvane::wire::PictureCodec::WebP, photo.block(), f, 90));
}

// An exact picture gives back every pixel, in either byte order of 32-bit pixels.
TEST(PictureCoder, ExactPicturesAreLosslessInEachPixelLayout) {
    Pic photo(40, 30);
    photo.photo(9);
    for (const auto order : {telvane::wire::ByteOrder::Lsb, telvane::wire::ByteOrder::Msb}) {
        PixelFormat f;
        f.order = order;
        std::vector<uint32_t> px = photo.px;
        if (order == telvane::wire::ByteOrder::Msb) for (uint32_t &p : px) p = __builtin_bswap32(p);
        const auto webp = PictureCoder().encode_exact(telvane::wire::PictureCodec::WebP,
                                                      {reinterpret_cast<uint8_t *>(px.data()), 40 * 4, 40, 30, 4, false}, f);
        std::vector<uint8_t> rgb(40 * 30 * 3);
        ASSERT_TRUE(webp && WebPDecodeRGBInto(webp->data(), webp->size(), rgb.data(), rgb.size(), 40 * 3));
        for (size_t i = 0; i < photo.px.size(); ++i)
            ASSERT_EQ(uint32_t(rgb[3 * i]) << 16 | rgb[3 * i + 1] << 8 | rgb[3 * i + 2], photo.px[i]) << i;
    }
    EXPECT_FALSE(PictureCoder().encode_exact(telvane::wire::PictureCodec::Jpeg, photo.block(), PixelFormat{}));
}

TEST(PictureWire, PutPictureHeadAndTheCodecsReply) {
    using namespace telvane::wire;
    const auto head = picture_head(0x00400007, 0x00400002, {-3, 20, 800, 600}, PictureCodec::WebP, 70001);
    auto u32 = [&](size_t at) { uint32_t v; std::memcpy(&v, &head[at], 4); return v; };
    auto i16 = [&](size_t at) { int16_t v; std::memcpy(&v, &head[at], 2); return int(v); };
    EXPECT_EQ(std::tuple(int(head[1]), u32(4), u32(8), i16(12), i16(14), i16(16), i16(18), int(head[20]), u32(24)),
              std::tuple(int(PictureMinor::PutPicture), 0x00400007u, 0x00400002u, -3, 20, 800, 600,
                         int(PictureCodec::WebP), 70001u));

    auto offer = [](uint32_t mask, uint32_t max_pixels) {
        uint8_t reply[32] = {1};
        std::memcpy(reply + kCodecMaskAt, &mask, 4);
        std::memcpy(reply + kMaxPixelsAt, &max_pixels, 4);
        return read_codecs_reply(reply);
    };
    const uint32_t jpeg = codec_bit(PictureCodec::Jpeg), webp = codec_bit(PictureCodec::WebP);
    EXPECT_EQ(offer(jpeg, 1u << 20), (PictureAbility{jpeg, 1u << 20}));
    EXPECT_EQ(offer(jpeg | webp | 0x80, 5000), (PictureAbility{jpeg | webp, 5000})) << "only what we make counts";
    EXPECT_EQ(offer(0x80, 1u << 20), PictureAbility{});
    EXPECT_EQ(offer(jpeg, 0), PictureAbility{});
}
