#pragma once
// Pixel layouts of X images, the conversion between two of them, and the picture of a shared
// window that the capture writes and every receiver's sender reads. Pure code: when sender and
// receiver keep pixels alike, which is the common case, nothing is converted at all.

#include "byte_order.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace telvane::server {

// The visual classes of the core protocol, with their wire values.
enum class VisualClass : uint8_t {
    StaticGray = 0,
    GrayScale = 1,
    StaticColor = 2,
    PseudoColor = 3,
    TrueColor = 4,
    DirectColor = 5,
};

// How one server lays out the pixels of one depth and visual in a ZPixmap image.
struct PixelFormat {
    uint8_t depth = 24;
    uint8_t bits_per_pixel = 32;
    uint8_t scanline_pad = 32;
    wire::ByteOrder order = wire::ByteOrder::Lsb;
    VisualClass visual_class = VisualClass::TrueColor;
    uint32_t red_mask = 0xff0000, green_mask = 0xff00, blue_mask = 0xff;
    // For the other classes: what each pixel value shows, as 0xRRGGBB.
    std::vector<uint32_t> palette;
};

// True when pixel values carry their colour in the three masks (TrueColor, DirectColor).
bool decomposed(const PixelFormat &f);
// Bytes of one image row of `width` pixels, padded as the format's scanline pad asks.
size_t row_bytes(const PixelFormat &f, uint32_t width);
// True when an image of `from` can be put unchanged into a window of `to`: same bits per pixel,
// byte order and colour layout (depths may differ when only unused bits tell them apart).
bool same_layout(const PixelFormat &from, const PixelFormat &to);
// True when convert_rows can turn `from` into `to`: both of 8, 16, 24 or 32 bits per pixel,
// `from` decomposed or with a palette, `to` decomposed.
bool can_convert(const PixelFormat &from, const PixelFormat &to);
// The colour 0xRRGGBB that `pixel` of format `f` shows.
uint32_t pixel_colour(const PixelFormat &f, uint32_t pixel);
// The pixel of the decomposed format `f` nearest to colour 0xRRGGBB.
uint32_t colour_pixel(const PixelFormat &f, uint32_t rgb);

// Converts `height` rows of `width` pixels from `src` (rows `src_stride` bytes apart, format
// `from`) into `dst` (rows `dst_stride` bytes apart, format `to`). Copies rows unchanged when
// the layouts are the same. The caller checked can_convert or same_layout.
void convert_rows(const PixelFormat &from, const uint8_t *src, size_t src_stride, const PixelFormat &to,
                  uint8_t *dst, size_t dst_stride, uint32_t width, uint32_t height);

// The newest pixels of one shared window, in the format its own server keeps them. The capture
// writes it; each receiver's sender thread copies from it; both hold `mutex` meanwhile.
struct Picture {
    std::mutex mutex;
    PixelFormat format;
    uint32_t width = 0, height = 0;
    size_t stride = 0;
    std::vector<uint8_t> bytes;

    // Changes the size, keeping the pixels that stay inside; the caller holds `mutex`. Throws
    // std::bad_alloc when the memory is not there.
    void resize(uint32_t new_width, uint32_t new_height);
};

}  // namespace telvane::server
