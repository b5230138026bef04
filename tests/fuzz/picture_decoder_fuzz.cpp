// libFuzzer target for the decoder of a display link's encoded pictures: any bytes, either codec,
// any size claimed; a picture decoded has exactly the pixels claimed.
#include "picture_decoder.h"
#include "fuzz_target.h"

using namespace telvane;

// The first byte picks the codec, the next two are the width and height claimed, the rest is the picture.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const auto codec = static_cast<wire::PictureCodec>(data[0] & 1);
    const uint32_t width = data[1], height = data[2];
    const consent::DecodedPicture p = consent::decode_picture(codec, {data + 3, size - 3}, width, height);
    if ((p.status == consent::DecodeStatus::Ok) != (p.rgb.size() == size_t{width} * height * 3 && !p.rgb.empty())) abort();
    return 0;
}
