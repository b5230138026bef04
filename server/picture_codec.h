#pragma once
// Encodes the pixels of a mirror's area as a picture for the display link, and decodes its own
// output again, so that the group's copy holds exactly what the receivers' services will draw.
// Lossy pictures are JPEG (TurboJPEG); exact ones, the refresh of what was shown lossily, are
// lossless WebP (libwebp), which takes a photograph's exact pixels in two thirds of the bytes of
// its rows through zstd. Pure: no X.

#include "encoding.h"
#include "picture_policy.h"
#include "pixel_format.h"
#include "picture_wire.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace telvane::server {

// The codecs this server makes pictures of, as a mask of wire::codec_bit.
uint32_t codecs_made();

// True when pictures of `codec` can be made of pixels in `format` (24 or 32 bits per pixel,
// 8 bits a colour, the colours in whole bytes).
bool codec_takes(wire::PictureCodec codec, const PixelFormat &format);

// The codec of exact pictures: WebP when the link decodes it; nothing when it does not.
std::optional<wire::PictureCodec> exact_codec(const PictureAbility &ability);

// libwebp's effort for exact pictures, chosen by measurement on a photograph (bench/picture_bench,
// 800x600): method 1 at effort 0 takes 55 ms for 781 kB; method 0 takes 18 ms but gives a sixth
// more bytes, which on a 20 Mbit/s link cost more time than they save; method 2 and higher
// efforts cost more for under 1%.
inline constexpr int kExactWebpMethod = 1;
inline constexpr float kExactWebpEffort = 0;

// PutPicture's head for `encoded_bytes` of `codec` drawn at `at` of `drawable` with `gc`, in this
// machine's byte order, major and length left for xcb to write (it chooses a big length when
// the request needs one). Called by the receiver pipe for each picture it writes.
std::array<uint8_t, wire::kPictureHeadBytes> picture_head(uint32_t drawable, uint32_t gc, const Rect &at,
                                                          wire::PictureCodec codec, uint32_t encoded_bytes);

// What a QueryCodecs reply (32 bytes, this machine's byte order) offers, of what this server
// makes; nothing offered when it offers no codec of ours or no pixels. Called when a link is made.
PictureAbility read_codecs_reply(const uint8_t *reply);

// One encoder and one decoder, kept for the pictures of one group (a handle is not cheap to make
// and must not be shared between threads at once).
class PictureCoder {
public:
    PictureCoder();
    ~PictureCoder();
    PictureCoder(const PictureCoder &) = delete;
    PictureCoder &operator=(const PictureCoder &) = delete;

    // The picture of `block` (pixels in `format`) at `quality` (1-100); nothing when the codec
    // or the format is not taken, or the encoder failed.
    std::optional<std::vector<uint8_t>> encode(wire::PictureCodec codec, const PixelBlock &block,
                                               const PixelFormat &format, int quality);
    // The exact (lossless) picture of `block`; nothing when `codec` has no lossless mode, the
    // format is not taken, or the encoder failed. Called for the refresh of lossy areas.
    std::optional<std::vector<uint8_t>> encode_exact(wire::PictureCodec codec, const PixelBlock &block,
                                                     const PixelFormat &format);
    // Decodes `bytes` into `width` x `height` pixels of `format` at `out` (rows `stride` apart),
    // as a receiver's service would draw them; bits outside the colour masks keep what `out` had.
    // False when the picture is not of that size or does not decode.
    bool decode(wire::PictureCodec codec, const uint8_t *bytes, size_t size, const PixelFormat &format, uint8_t *out,
                size_t stride, int32_t width, int32_t height);

private:
    struct Handle;
    std::unique_ptr<Handle> jpeg_in_, jpeg_out_;
};

}  // namespace telvane::server
