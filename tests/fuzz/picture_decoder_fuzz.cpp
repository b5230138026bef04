// libFuzzer target for the decoder of a display link's encoded pictures: any bytes, either codec,
// any size claimed, and the decoded rows written as display pixels.
#include "picture_decoder.h"
#include "fuzz_target.h"

#include <vector>

using namespace telvane;

// The first byte picks the codec and the pixel layout, the next two are the width and height
// claimed (small, as the filter caps pixels), the rest is the picture.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const auto codec = static_cast<wire::PictureCodec>(data[0] & 1);
    const uint32_t width = data[1], height = data[2];
    const consent::DecodedPicture p = consent::decode_picture(codec, {data + 3, size - 3}, width, height);
    if ((p.status == consent::DecodeStatus::Ok) != (p.rgb.size() == size_t{width} * height * 3 && !p.rgb.empty())) abort();
    if (p.status != consent::DecodeStatus::Ok) return 0;
    const auto layout = consent::pixel_layout(0xff0000, 0xff00, 0xff, data[0] & 2 ? 32 : 24, data[0] & 4 ? 24 : 32,
                                              data[0] & 8 ? wire::ByteOrder::Msb : wire::ByteOrder::Lsb);
    std::vector<uint8_t> row(size_t{width} * layout.bytes);
    for (uint32_t y = 0; y < height; ++y) consent::write_pixels(layout, p.rgb.data() + size_t{y} * width * 3, width, row.data());
    return 0;
}
