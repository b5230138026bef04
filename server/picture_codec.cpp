// Pictures for the display link: lossy ones made and read back with TurboJPEG, exact ones made
// with libwebp.
#include "picture_codec.h"

#include <cstring>
#include <turbojpeg.h>
#include <webp/encode.h>

namespace telvane::server {

namespace {

// TurboJPEG's name for `format`'s bytes in memory; nothing when it has none.
std::optional<int> jpeg_layout(const PixelFormat &f) {
    if (!decomposed(f) || f.red_mask != 0xff0000 || f.green_mask != 0xff00 || f.blue_mask != 0xff) return std::nullopt;
    const bool lsb = f.order == wire::ByteOrder::Lsb;
    if (f.bits_per_pixel == 32) return lsb ? TJPF_BGRX : TJPF_XRGB;
    if (f.bits_per_pixel == 24) return lsb ? TJPF_BGR : TJPF_RGB;
    return std::nullopt;
}

// Imports `block` (in TurboJPEG's `layout`) into `pic`, whose size is set. XRGB has no import of
// its own in libwebp; its rows are turned into RGB first.
bool webp_import(WebPPicture &pic, const PixelBlock &block, int layout) {
    const int stride = static_cast<int>(block.stride);
    switch (layout) {
    case TJPF_BGRX: return WebPPictureImportBGRX(&pic, block.data, stride) != 0;
    case TJPF_BGR: return WebPPictureImportBGR(&pic, block.data, stride) != 0;
    case TJPF_RGB: return WebPPictureImportRGB(&pic, block.data, stride) != 0;
    default: break;
    }
    const size_t row = static_cast<size_t>(block.width) * 3;
    std::vector<uint8_t> rgb(row * static_cast<size_t>(block.height));
    for (int32_t y = 0; y < block.height; ++y)
        for (int32_t x = 0; x < block.width; ++x)
            std::memcpy(&rgb[static_cast<size_t>(y) * row + static_cast<size_t>(x) * 3], block.row(y) + x * 4 + 1, 3);
    return WebPPictureImportRGB(&pic, rgb.data(), static_cast<int>(row)) != 0;
}

}  // namespace

std::optional<wire::PictureCodec> exact_codec(const PictureAbility &ability) {
    if (ability.codecs & wire::codec_bit(wire::PictureCodec::WebP)) return wire::PictureCodec::WebP;
    return std::nullopt;
}

struct PictureCoder::Handle {
    explicit Handle(tjhandle h) : h(h) {}
    ~Handle() {
        if (h) tjDestroy(h);
    }
    tjhandle h;
};

uint32_t codecs_made() { return wire::codec_bit(wire::PictureCodec::Jpeg) | wire::codec_bit(wire::PictureCodec::WebP); }

std::array<uint8_t, wire::kPictureHeadBytes> picture_head(uint32_t drawable, uint32_t gc, const Rect &at,
                                                          wire::PictureCodec codec, uint32_t encoded_bytes) {
    std::array<uint8_t, wire::kPictureHeadBytes> head{};
    const int16_t x = static_cast<int16_t>(at.x), y = static_cast<int16_t>(at.y);
    const uint16_t w = static_cast<uint16_t>(at.width), h = static_cast<uint16_t>(at.height);
    head[1] = static_cast<uint8_t>(wire::PictureMinor::PutPicture);
    std::memcpy(&head[4], &drawable, 4);
    std::memcpy(&head[8], &gc, 4);
    std::memcpy(&head[12], &x, 2);
    std::memcpy(&head[14], &y, 2);
    std::memcpy(&head[16], &w, 2);
    std::memcpy(&head[18], &h, 2);
    head[20] = static_cast<uint8_t>(codec);
    std::memcpy(&head[24], &encoded_bytes, 4);
    return head;
}

PictureAbility read_codecs_reply(const uint8_t *reply) {
    PictureAbility out;
    std::memcpy(&out.codecs, reply + wire::kCodecMaskAt, 4);
    std::memcpy(&out.max_pixels, reply + wire::kMaxPixelsAt, 4);
    // Only what this server makes counts, so that groups do not split over the rest.
    out.codecs &= codecs_made();
    if (out.codecs == 0 || out.max_pixels == 0) return {};
    return out;
}

bool codec_takes(wire::PictureCodec codec, const PixelFormat &format) {
    return (codec == wire::PictureCodec::Jpeg || codec == wire::PictureCodec::WebP) && jpeg_layout(format).has_value();
}

PictureCoder::PictureCoder() = default;
PictureCoder::~PictureCoder() = default;

std::optional<std::vector<uint8_t>> PictureCoder::encode(wire::PictureCodec codec, const PixelBlock &block,
                                                         const PixelFormat &format, int quality) {
    const std::optional<int> layout = jpeg_layout(format);
    if (codec != wire::PictureCodec::Jpeg || !layout || block.width <= 0 || block.height <= 0) return std::nullopt;
    if (!jpeg_out_) jpeg_out_ = std::make_unique<Handle>(tjInitCompress());
    if (!jpeg_out_->h) return std::nullopt;
    unsigned char *out = nullptr;
    unsigned long size = 0;
    const int failed = tjCompress2(jpeg_out_->h, block.data, block.width, static_cast<int>(block.stride), block.height,
                                   *layout, &out, &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
    std::optional<std::vector<uint8_t>> result;
    if (!failed && out) result.emplace(out, out + size);
    tjFree(out);
    return result;
}

std::optional<std::vector<uint8_t>> PictureCoder::encode_exact(wire::PictureCodec codec, const PixelBlock &block,
                                                               const PixelFormat &format) {
    const std::optional<int> layout = jpeg_layout(format);
    if (codec != wire::PictureCodec::WebP || !layout || block.width <= 0 || block.height <= 0) return std::nullopt;
    WebPConfig config;
    WebPPicture pic;
    if (!WebPConfigInit(&config) || !WebPPictureInit(&pic)) return std::nullopt;
    config.lossless = 1;
    config.exact = 1;
    config.method = kExactWebpMethod;
    config.quality = kExactWebpEffort;
    pic.use_argb = 1;
    pic.width = block.width;
    pic.height = block.height;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer;
    std::optional<std::vector<uint8_t>> result;
    if (webp_import(pic, block, *layout) && WebPEncode(&config, &pic)) result.emplace(writer.mem, writer.mem + writer.size);
    WebPPictureFree(&pic);
    WebPMemoryWriterClear(&writer);
    return result;
}

bool PictureCoder::decode(wire::PictureCodec codec, const uint8_t *bytes, size_t size, const PixelFormat &format,
                          uint8_t *out, size_t stride, int32_t width, int32_t height) {
    const std::optional<int> layout = jpeg_layout(format);
    if (codec != wire::PictureCodec::Jpeg || !layout || width <= 0 || height <= 0) return false;
    if (!jpeg_in_) jpeg_in_ = std::make_unique<Handle>(tjInitDecompress());
    if (!jpeg_in_->h) return false;
    int w = 0, h = 0, sub = 0, space = 0;
    if (tjDecompressHeader3(jpeg_in_->h, bytes, static_cast<unsigned long>(size), &w, &h, &sub, &space) != 0 ||
        w != width || h != height)
        return false;
    const int bpp = format.bits_per_pixel / 8;
    const size_t row = static_cast<size_t>(width) * static_cast<size_t>(bpp);
    std::vector<uint8_t> decoded(row * static_cast<size_t>(height));
    if (tjDecompress2(jpeg_in_->h, bytes, static_cast<unsigned long>(size), decoded.data(), width, static_cast<int>(row),
                      height, *layout, TJFLAG_FASTDCT) != 0)
        return false;
    // The colour bytes come from the picture; a pad byte keeps what the copy had, as the
    // receiver's server keeps no such bits either way.
    const int pad = bpp == 4 ? (*layout == TJPF_BGRX ? 3 : 0) : -1;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t *dst = out + static_cast<size_t>(y) * stride;
        const uint8_t *src = decoded.data() + static_cast<size_t>(y) * row;
        if (pad < 0) {
            std::memcpy(dst, src, row);
            continue;
        }
        for (int32_t x = 0; x < width; ++x)
            for (int i = 0; i < 4; ++i)
                if (i != pad) dst[x * 4 + i] = src[x * 4 + i];
    }
    return true;
}

}  // namespace telvane::server
