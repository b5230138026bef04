#pragma once
// How the pixels of one damaged rectangle travel to a receiver with fewer bytes: rows the
// receiver already shows are not sent, a scroll becomes a copy on the mirror, a solid area a
// fill, an area of two colours a 1-bit bitmap, and only the rest raw pixels. Pure: the choices
// are made on the pictures themselves and tested on pictures made in the test.

#include "frame_policy.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace telvane::server {

// A block of pixels in a ZPixmap image: `width` x `height` pixels of `bytes_per_pixel` bytes
// (1, 2, 3 or 4), rows `stride` bytes apart, values in byte order `msb_first`.
struct PixelBlock {
    const uint8_t *data = nullptr;
    size_t stride = 0;
    int32_t width = 0, height = 0;
    int bytes_per_pixel = 4;
    bool msb_first = false;

    uint32_t pixel(int32_t x, int32_t y) const;
    const uint8_t *row(int32_t y) const { return data + static_cast<size_t>(y) * stride; }
    size_t row_length() const { return static_cast<size_t>(width) * static_cast<size_t>(bytes_per_pixel); }
};

enum class Encoding : uint8_t { Solid, TwoColour, Raw };

// How one block goes: one colour (`foreground`), two (`foreground` where the bitmap has a 1,
// `background` elsewhere), or raw pixels.
struct EncodingChoice {
    Encoding how = Encoding::Raw;
    uint32_t foreground = 0, background = 0;
};

// Looks at the pixels of `b` (stops at the third colour). The foreground of two colours is the
// one that is not at the block's top-left corner, which is usually the text.
EncodingChoice choose_encoding(const PixelBlock &b);

// The bits of an XYBitmap image of `b`: 1 where the pixel is `foreground`. Each row is padded
// to `scanline_pad` bits (8, 16 or 32); `msb_first` is the bitmap bit order (the leftmost pixel
// in the highest bit of each byte). Only for servers whose bitmap unit is 8 bits or whose image
// byte order matches the bit order, where bytes can be filled one by one.
std::vector<uint8_t> bitmap_rows(const PixelBlock &b, uint32_t foreground, int scanline_pad, bool msb_first);

// Where the rows of `now` came from in `before` (the same rectangle as the receiver shows it)
// when the content scrolled vertically: a shift `dy` such that row y of `now` equals row y + dy
// of `before` for at least half of the rows; the shift that matches most rows wins. Nothing
// when no shift does, or when the rows match as they are (dy 0).
std::optional<int32_t> vertical_scroll(const PixelBlock &before, const PixelBlock &now);

// The same for a horizontal scroll: column x of `now` equals column x + dx of `before`.
std::optional<int32_t> horizontal_scroll(const PixelBlock &before, const PixelBlock &now);

// The rows of `now` that differ from `before`, as runs: rectangles in block coordinates, top
// first, each as narrow as the pixels that differ in its rows. Runs closer than `join` rows
// are joined.
std::vector<Rect> changed_rows(const PixelBlock &before, const PixelBlock &now, int32_t join = 2);

}  // namespace telvane::server
