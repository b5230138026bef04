// The encodings' choices, on pictures made here: solid, two colours, raw, scrolls and the rows
// that changed.
#include "encoding.h"

#include <gtest/gtest.h>
#include <random>

using namespace telvane::server;

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
};

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
