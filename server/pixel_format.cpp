// Pixel layouts and their conversion, for receivers whose screens keep pixels differently.
#include "pixel_format.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace telvane::server {

bool decomposed(const PixelFormat &f) {
    return f.visual_class == VisualClass::TrueColor || f.visual_class == VisualClass::DirectColor;
}

size_t row_bytes(const PixelFormat &f, uint32_t width) {
    const size_t bits = size_t{width} * f.bits_per_pixel;
    const size_t pad = f.scanline_pad ? f.scanline_pad : 8;
    return (bits + pad - 1) / pad * (pad / 8);
}

bool same_layout(const PixelFormat &from, const PixelFormat &to) {
    if (from.bits_per_pixel != to.bits_per_pixel) return false;
    if (from.bits_per_pixel > 8 && from.order != to.order) return false;
    if (decomposed(from) && decomposed(to))
        return from.red_mask == to.red_mask && from.green_mask == to.green_mask && from.blue_mask == to.blue_mask;
    return !decomposed(from) && !decomposed(to) && from.depth == to.depth && from.palette == to.palette;
}

namespace {

bool convertible_bits(uint8_t bpp) { return bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32; }

// One colour channel of a decomposed format: where its bits are and how many.
struct Channel {
    int shift = 0;
    int bits = 0;
    uint32_t max = 0;

    explicit Channel(uint32_t mask) {
        if (!mask) return;
        shift = std::countr_zero(mask);
        bits = std::popcount(mask);
        max = bits >= 32 ? 0xffffffffu : (1u << bits) - 1;
    }
    // The channel's value in `pixel`, scaled to 0..255.
    uint32_t to8(uint32_t pixel) const {
        if (!max) return 0;
        uint32_t v = (pixel >> shift) & max;
        return bits == 8 ? v : static_cast<uint32_t>((uint64_t{v} * 255 + max / 2) / max);
    }
    // The channel's bits for the 0..255 value `c`, in place.
    uint32_t from8(uint32_t c) const {
        if (!max) return 0;
        uint32_t v = bits == 8 ? c : static_cast<uint32_t>((uint64_t{c} * max + 127) / 255);
        return v << shift;
    }
};

uint32_t read_pixel(const uint8_t *p, uint8_t bpp, wire::ByteOrder order) {
    switch (bpp) {
    case 8: return p[0];
    case 16: return wire::get16(p, order);
    case 24: return wire::get24(p, order);
    default: return wire::get32(p, order);
    }
}

void write_pixel(uint8_t *p, uint32_t v, uint8_t bpp, wire::ByteOrder order) {
    switch (bpp) {
    case 8: p[0] = static_cast<uint8_t>(v); break;
    case 16: wire::put16(p, static_cast<uint16_t>(v), order); break;
    case 24: wire::put24(p, v, order); break;
    default: wire::put32(p, v, order); break;
    }
}

}  // namespace

bool can_convert(const PixelFormat &from, const PixelFormat &to) {
    if (!convertible_bits(from.bits_per_pixel) || !convertible_bits(to.bits_per_pixel)) return false;
    if (!decomposed(to)) return false;
    return decomposed(from) || !from.palette.empty();
}

uint32_t pixel_colour(const PixelFormat &f, uint32_t pixel) {
    if (!decomposed(f)) return pixel < f.palette.size() ? f.palette[pixel] : 0;
    const Channel r(f.red_mask), g(f.green_mask), b(f.blue_mask);
    return (r.to8(pixel) << 16) | (g.to8(pixel) << 8) | b.to8(pixel);
}

uint32_t colour_pixel(const PixelFormat &f, uint32_t rgb) {
    const Channel r(f.red_mask), g(f.green_mask), b(f.blue_mask);
    return r.from8((rgb >> 16) & 0xff) | g.from8((rgb >> 8) & 0xff) | b.from8(rgb & 0xff);
}

void convert_rows(const PixelFormat &from, const uint8_t *src, size_t src_stride, const PixelFormat &to,
                  uint8_t *dst, size_t dst_stride, uint32_t width, uint32_t height) {
    if (same_layout(from, to)) {
        const size_t n = std::min(row_bytes(from, width), dst_stride);
        for (uint32_t y = 0; y < height; ++y) std::memcpy(dst + y * dst_stride, src + y * src_stride, n);
        return;
    }
    const Channel sr(from.red_mask), sg(from.green_mask), sb(from.blue_mask);
    const Channel dr(to.red_mask), dg(to.green_mask), db(to.blue_mask);
    const bool indexed = !decomposed(from);
    const size_t in_step = from.bits_per_pixel / 8, out_step = to.bits_per_pixel / 8;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t *s = src + y * src_stride;
        uint8_t *d = dst + y * dst_stride;
        for (uint32_t x = 0; x < width; ++x, s += in_step, d += out_step) {
            const uint32_t p = read_pixel(s, from.bits_per_pixel, from.order);
            uint32_t out;
            if (indexed) {
                const uint32_t rgb = p < from.palette.size() ? from.palette[p] : 0;
                out = dr.from8((rgb >> 16) & 0xff) | dg.from8((rgb >> 8) & 0xff) | db.from8(rgb & 0xff);
            } else {
                out = dr.from8(sr.to8(p)) | dg.from8(sg.to8(p)) | db.from8(sb.to8(p));
            }
            write_pixel(d, out, to.bits_per_pixel, to.order);
        }
    }
}

void Picture::resize(uint32_t new_width, uint32_t new_height) {
    const size_t new_stride = row_bytes(format, new_width);
    std::vector<uint8_t> fresh(new_stride * new_height);
    const size_t keep = std::min(stride, new_stride);
    for (uint32_t y = 0; y < std::min(height, new_height); ++y)
        std::memcpy(fresh.data() + y * new_stride, bytes.data() + y * stride, keep);
    bytes = std::move(fresh);
    width = new_width;
    height = new_height;
    stride = new_stride;
}

}  // namespace telvane::server
