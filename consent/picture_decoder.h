#pragma once
// The pictures a display link's sender sends encoded: their bytes decoded into RGB rows, and
// those rows written as the pixels of a display's TrueColor visual. Pure code without X, used by
// the link filter, fuzzed, and timed by bench/picture_bench.

#include "byte_order.h"
#include "picture_wire.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace telvane::consent {

// The codecs this build decodes, as a mask of wire::codec_bit(). The link filter tells senders.
std::uint32_t decodable_codecs();

enum class DecodeStatus : std::uint8_t {
    Ok,
    UnknownCodec,   // a codec this build does not decode
    WrongSize,      // the picture inside is not the size the request says
    Unreadable,     // not a picture of that codec, cut short or damaged
};

// A decoded picture: 3 bytes a pixel (red, green, blue), rows top to bottom without padding;
// `rgb` is empty unless `status` is Ok.
struct DecodedPicture {
    DecodeStatus status = DecodeStatus::Unreadable;
    std::vector<std::uint8_t> rgb;
};

// Decodes `bytes` as a picture of `codec` that must be exactly `width` x `height`; the size is
// read from the encoded header before any pixel memory is taken. Never throws; damaged input
// gives Unreadable. Called by the link filter for each picture request.
DecodedPicture decode_picture(wire::PictureCodec codec, std::span<const std::uint8_t> bytes, std::uint32_t width,
                              std::uint32_t height);

// How a display stores one pixel of a TrueColor visual in a ZPixmap: each colour's 8 bits moved
// into its mask (tables, so masks of any width work), the bits outside the masks within the
// depth set (a 32-bit visual's alpha: opaque), in 3 or 4 bytes of the display's image byte order.
struct PixelLayout {
    std::array<std::uint32_t, 256> red{}, green{}, blue{};
    std::uint32_t fill = 0;
    std::uint8_t bytes = 4;
    wire::ByteOrder order = wire::ByteOrder::Lsb;
};

// The layout for a visual's masks at `depth` bits stored in `bits_per_pixel` (24 or 32) bits.
// Called by the link filter when a picture is drawn.
PixelLayout pixel_layout(std::uint32_t red_mask, std::uint32_t green_mask, std::uint32_t blue_mask, int depth,
                         int bits_per_pixel, wire::ByteOrder order);

// Writes `width` pixels of an RGB row into `out` (width * layout.bytes bytes) as `layout` says.
void write_pixels(const PixelLayout &layout, const std::uint8_t *rgb, std::uint32_t width, std::uint8_t *out);

}  // namespace telvane::consent
