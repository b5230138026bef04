// Pixel layouts: when pixels go through unchanged, and conversion where screens differ.
#include "pixel_format.h"
#include "x11_formats.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace telvane::server;
using telvane::wire::ByteOrder;

namespace {

// Depth, bits per pixel, scanline pad, byte order, class, red, green and blue masks, palette.
PixelFormat rgb888() { return {}; }
PixelFormat msb888() { return {24, 32, 32, ByteOrder::Msb, VisualClass::TrueColor, 0xff0000, 0xff00, 0xff, {}}; }
PixelFormat rgb565() { return {16, 16, 32, ByteOrder::Lsb, VisualClass::TrueColor, 0xf800, 0x07e0, 0x001f, {}}; }
// An 8-bit window whose pixels index `palette`.
PixelFormat indexed(std::vector<uint32_t> palette) {
    return {8, 8, 32, ByteOrder::Lsb, VisualClass::PseudoColor, 0xff0000, 0xff00, 0xff, std::move(palette)};
}

}  // namespace

TEST(PixelFormat, SameLayoutOnlyWhenBytesMeanTheSame) {
    EXPECT_TRUE(same_layout({32, 32, 32, ByteOrder::Lsb, VisualClass::TrueColor, 0xff0000, 0xff00, 0xff, {}}, rgb888()))
        << "the alpha byte is unused by a depth-24 window";
    EXPECT_FALSE(same_layout(rgb888(), {24, 32, 32, ByteOrder::Lsb, VisualClass::TrueColor, 0xff, 0xff00, 0xff0000, {}}));
    EXPECT_FALSE(same_layout(rgb888(), msb888()));
    EXPECT_FALSE(same_layout(rgb888(), rgb565()));
    EXPECT_TRUE(same_layout(indexed({0x000000, 0x808080}), indexed({0x000000, 0x808080})));
    EXPECT_FALSE(same_layout(indexed({0x000000, 0x808080}), indexed({0x000000, 0x804000})));
    EXPECT_EQ(row_bytes(rgb565(), 3), 8u);   // padded to 32 bits
    EXPECT_EQ(row_bytes(rgb888(), 3), 12u);
}

TEST(PixelFormat, ConvertsBetweenDepthsOrdersAndPalettes) {
    const uint32_t colours[] = {0xff0000, 0x00ff00, 0x0000ff, 0x808080, 0xffffff};
    std::vector<uint8_t> src(20);
    for (int i = 0; i < 5; ++i) telvane::wire::put32(src.data() + 4 * i, colours[i], ByteOrder::Lsb);
    std::vector<uint8_t> dst(12);
    convert_rows(rgb888(), src.data(), 20, rgb565(), dst.data(), 12, 5, 1);
    const uint16_t want565[] = {0xf800, 0x07e0, 0x001f, 0x8410, 0xffff};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(telvane::wire::get16(dst.data() + 2 * i, ByteOrder::Lsb), want565[i]) << i;

    // Back up to 24 bits (full channels come back exactly), into a big-endian server.
    std::vector<uint8_t> back(20);
    convert_rows(rgb565(), dst.data(), 12, msb888(), back.data(), 20, 5, 1);
    EXPECT_EQ(telvane::wire::get32(back.data(), ByteOrder::Msb), 0xff0000u);
    EXPECT_EQ(telvane::wire::get32(back.data() + 16, ByteOrder::Msb), 0xffffffu);

    // An 8-bit indexed window goes through its palette.
    const PixelFormat eight = indexed({0x000000, 0x123456, 0xabcdef});
    ASSERT_TRUE(can_convert(eight, rgb888()));
    const uint8_t idx[4] = {2, 1, 0, 7};   // 7 has no entry: black
    std::vector<uint8_t> out(16);
    convert_rows(eight, idx, 4, rgb888(), out.data(), 16, 4, 1);
    for (auto [i, colour] : {std::pair{0, 0xabcdefu}, {1, 0x123456u}, {3, 0u}})
        EXPECT_EQ(telvane::wire::get32(out.data() + 4 * i, ByteOrder::Lsb), colour) << i;
    EXPECT_FALSE(can_convert(rgb888(), eight)) << "indexed receivers need allocated colours";
}

TEST(Picture, ResizeKeepsTheOverlap) {
    Picture p;
    p.resize(2, 2);
    p.bytes[0] = 7;
    p.bytes[p.stride + 4] = 9;   // pixel (1, 1)
    p.resize(3, 1);
    EXPECT_EQ(std::tuple(p.stride, p.bytes.size(), p.bytes[0]), std::tuple(12u, 12u, 7));
    p.resize(2, 2);
    EXPECT_EQ(p.bytes[p.stride + 4], 0) << "rows that were cut off come back empty";
}

TEST(SetupFits, OnlyASetupWhoseCountsFitIsRead) {
    // One format, one screen with one depth of one visual: 40 + 8 + 40 + 8 + 24 bytes.
    std::vector<uint8_t> setup(120, 0);
    auto *head = reinterpret_cast<xcb_setup_t *>(setup.data());
    head->roots_len = 1;
    head->pixmap_formats_len = 1;
    auto *screen = reinterpret_cast<xcb_screen_t *>(setup.data() + 48);
    screen->allowed_depths_len = 1;
    auto *depth = reinterpret_cast<xcb_depth_t *>(setup.data() + 88);
    depth->depth = 24;
    depth->visuals_len = 1;
    EXPECT_TRUE(setup_fits(setup.data(), setup.size()));
    for (size_t cut : {119u, 96u, 88u, 60u, 40u, 0u}) EXPECT_FALSE(setup_fits(setup.data(), cut)) << cut;
    // A count that claims more than the bytes hold, or no screen at all, makes it unreadable.
    const std::vector<uint8_t> good = setup;
    const std::pair<const char *, std::function<void()>> lies[] = {
        {"visuals", [&] { depth->visuals_len = 1000; }},
        {"depths", [&] { screen->allowed_depths_len = 0xff; }},
        {"screens", [&] { head->roots_len = 2; }},
        {"no screen", [&] { head->roots_len = 0; }},
        {"formats", [&] { head->pixmap_formats_len = 0xff; }},
        {"vendor", [&] { head->vendor_len = 0xffff; }},
    };
    for (const auto &[what, tell] : lies) {
        tell();
        EXPECT_FALSE(setup_fits(setup.data(), setup.size())) << what;
        std::copy(good.begin(), good.end(), setup.begin());
    }
}

