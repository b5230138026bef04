#pragma once
// The display link's own request for encoded pictures. A receiver's telvane-consent answers a
// QueryExtension for kPictureExtensionName itself (the display never sees it), tells which codecs
// it decodes, and turns each picture request into one PutImage of the decoded pixels, so the
// sender's and the display's numbering of requests stay the same. An older service answers the
// query "absent", and the sender sends raw pixels as before. Free of Xlib and xcb on purpose.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace telvane::wire {

inline constexpr std::string_view kPictureExtensionName = "TELVANE-PICTURES";

// The major opcode the service answers the query with. X servers hand out extension opcodes
// from 128 upwards, one per extension, so the top one is free on every display met so far; a
// service whose display does use it answers the query "absent".
inline constexpr uint8_t kPictureMajor = 255;

enum class PictureMinor : uint8_t {
    // 4 bytes: major, minor, length 1. The reply (32 bytes, as any X reply) carries at byte 8 a
    // 32-bit mask of the codecs the service decodes (bit 1 << PictureCodec) and at byte 12 the
    // most pixels (width times height) one picture may have.
    QueryCodecs = 0,
    // kPictureHeadBytes of head, then the encoded bytes, padded to a multiple of 4: major, minor,
    // length (in 4-byte units; 0 and a 32-bit length after it with BIG-REQUESTS, as for any
    // request), then the fields below from byte 4 (byte 8 with a big length). Draws the decoded
    // picture at (x, y) of a drawable of the link's own, with a graphics context of its own, as
    // a ZPixmap PutImage of the drawable's depth would.
    PutPicture = 1,
};

enum class PictureCodec : uint8_t {
    Jpeg = 0,   // baseline JPEG, 4:2:0 or 4:4:4, as TurboJPEG writes it
    WebP = 1,   // WebP, lossy or lossless, as libwebp writes it
};
// The bit of `codec` in a codec mask.
constexpr uint32_t codec_bit(PictureCodec codec) { return uint32_t{1} << static_cast<uint8_t>(codec); }

// PutPicture's fields, from the end of its length: drawable (4), gc (4), x (2, signed), y (2,
// signed), width (2), height (2), codec (1), three unused bytes, the encoded length in bytes (4).
inline constexpr size_t kPictureFieldBytes = 24;
inline constexpr size_t kPictureHeadBytes = 4 + kPictureFieldBytes;
inline constexpr size_t kQueryCodecsBytes = 4;
inline constexpr size_t kCodecMaskAt = 8, kMaxPixelsAt = 12;   // in QueryCodecs' reply

}  // namespace telvane::wire
