// Decodes a display link's encoded pictures (TurboJPEG, libwebp) and writes them as display pixels.
#include "picture_decoder.h"

#include <turbojpeg.h>
#include <webp/decode.h>

#include <bit>
#include <memory>

namespace telvane::consent {

using wire::PictureCodec;

namespace {

struct TjFree { void operator()(void *h) const { tjDestroy(h); } };
using TjHandle = std::unique_ptr<void, TjFree>;

DecodedPicture failed(DecodeStatus status) { return {status, {}}; }

// Whether the size read from a picture's header is the one its request claims.
bool same_size(int w, int h, std::uint32_t width, std::uint32_t height) {
    return static_cast<std::uint32_t>(w) == width && static_cast<std::uint32_t>(h) == height;
}

DecodedPicture decode_jpeg(std::span<const std::uint8_t> bytes, std::uint32_t width, std::uint32_t height) {
    const TjHandle tj(tjInitDecompress());
    if (!tj) return failed(DecodeStatus::Unreadable);
    int w = 0, h = 0, subsampling = 0, colorspace = 0;
    // TurboJPEG takes a non-const pointer and a 32-bit size, but reads only.
    auto *data = const_cast<unsigned char *>(bytes.data());
    const auto size = static_cast<unsigned long>(bytes.size());
    if (tjDecompressHeader3(tj.get(), data, size, &w, &h, &subsampling, &colorspace) != 0)
        return failed(DecodeStatus::Unreadable);
    if (!same_size(w, h, width, height)) return failed(DecodeStatus::WrongSize);
    DecodedPicture p{DecodeStatus::Ok, std::vector<std::uint8_t>(std::size_t{width} * height * 3)};
    // A warning (data cut short, a damaged segment) counts as a failure: half a picture is wrong.
    if (tjDecompress2(tj.get(), data, size, p.rgb.data(), w, 0, h, TJPF_RGB, TJFLAG_STOPONWARNING) != 0)
        return failed(DecodeStatus::Unreadable);
    return p;
}

DecodedPicture decode_webp(std::span<const std::uint8_t> bytes, std::uint32_t width, std::uint32_t height) {
    int w = 0, h = 0;
    if (!WebPGetInfo(bytes.data(), bytes.size(), &w, &h)) return failed(DecodeStatus::Unreadable);
    if (!same_size(w, h, width, height)) return failed(DecodeStatus::WrongSize);
    DecodedPicture p{DecodeStatus::Ok, std::vector<std::uint8_t>(std::size_t{width} * height * 3)};
    if (!WebPDecodeRGBInto(bytes.data(), bytes.size(), p.rgb.data(), p.rgb.size(), w * 3))
        return failed(DecodeStatus::Unreadable);
    return p;
}

// An 8-bit colour value moved into `mask`: its top bits where the mask is narrower.
std::uint32_t into_mask(std::uint32_t value, std::uint32_t mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask), width = std::popcount(mask);
    const std::uint32_t v = width >= 8 ? value << (width - 8) : value >> (8 - width);
    return (v << shift) & mask;
}

}  // namespace

std::uint32_t decodable_codecs() { return wire::codec_bit(PictureCodec::Jpeg) | wire::codec_bit(PictureCodec::WebP); }

DecodedPicture decode_picture(PictureCodec codec, std::span<const std::uint8_t> bytes, std::uint32_t width,
                              std::uint32_t height) {
    switch (codec) {
    case PictureCodec::Jpeg: return decode_jpeg(bytes, width, height);
    case PictureCodec::WebP: return decode_webp(bytes, width, height);
    }
    return failed(DecodeStatus::UnknownCodec);
}

PixelLayout pixel_layout(std::uint32_t red_mask, std::uint32_t green_mask, std::uint32_t blue_mask, int depth,
                         int bits_per_pixel, wire::ByteOrder order) {
    PixelLayout l;
    for (std::uint32_t v = 0; v < 256; ++v) {
        l.red[v] = into_mask(v, red_mask);
        l.green[v] = into_mask(v, green_mask);
        l.blue[v] = into_mask(v, blue_mask);
    }
    const std::uint32_t depth_bits = depth >= 32 ? 0xffffffffu : (std::uint32_t{1} << depth) - 1;
    l.fill = depth_bits & ~(red_mask | green_mask | blue_mask);
    l.bytes = static_cast<std::uint8_t>(bits_per_pixel / 8);
    l.order = order;
    return l;
}

namespace {

// One loop per way of storing a pixel, so that the choice is made once a row.
template <int Bytes, wire::ByteOrder Order>
void write_row(const PixelLayout &l, const std::uint8_t *rgb, std::uint32_t width, std::uint8_t *out) {
    for (std::uint32_t i = 0; i < width; ++i, rgb += 3, out += Bytes) {
        const std::uint32_t v = l.red[rgb[0]] | l.green[rgb[1]] | l.blue[rgb[2]] | l.fill;
        if constexpr (Bytes == 4) wire::put32(out, v, Order);
        else wire::put24(out, v, Order);
    }
}

}  // namespace

void write_pixels(const PixelLayout &layout, const std::uint8_t *rgb, std::uint32_t width, std::uint8_t *out) {
    using enum wire::ByteOrder;
    const bool msb = layout.order == Msb;
    if (layout.bytes == 4) (msb ? write_row<4, Msb> : write_row<4, Lsb>)(layout, rgb, width, out);
    else (msb ? write_row<3, Msb> : write_row<3, Lsb>)(layout, rgb, width, out);
}

}  // namespace telvane::consent
