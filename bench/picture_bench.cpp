// What the receiver's service spends on one encoded picture: an 800x600 photograph-like scene
// encoded as JPEG and WebP at a few qualities, then decoded and converted into a display's
// 32-bit pixels as the link filter does it; bytes, PSNR and medians of the times. Then the exact
// picture the sender refreshes with: lossless WebP at a few efforts, against zstd of the rows.
#include "picture_decoder.h"
#include "percentile.h"

#include <turbojpeg.h>
#include <webp/encode.h>
#include <zstd.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace telvane;

namespace {

constexpr int kWidth = 800, kHeight = 600;

// A scene like a photograph: a sky graded from blue to haze, hills with soft shading, a sun with
// a sharp rim, a house of hard edges and a window grid, and grain over all. Not noise.
std::vector<uint8_t> scene() {
    std::vector<uint8_t> p(std::size_t{kWidth} * kHeight * 3);
    std::mt19937 rng(7);
    std::normal_distribution<double> grain(0, 4);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double t = double(y) / kHeight;
            double r = 90 + 120 * t, g = 140 + 80 * t, b = 230 - 40 * t;   // sky
            const double hill = 380 + 60 * std::sin(x / 90.0) + 25 * std::sin(x / 23.0);
            if (y > hill) {
                const double shade = 0.6 + 0.4 * std::cos((x + y) / 140.0);
                r = 50 * shade + (y - hill) * 0.1, g = 120 * shade, b = 40 * shade;
            }
            if (std::hypot(x - 620, y - 120) < 55) r = 250, g = 220, b = 120;   // the sun
            if (x > 180 && x < 360 && y > 300 && y < 470) {                    // the house
                r = 170 - (x - 180) * 0.2, g = 90, b = 70;
                if ((x - 200) % 50 < 25 && (y - 320) % 50 < 25 && y < 440) r = 230, g = 230, b = 180;
            }
            uint8_t *q = &p[(static_cast<std::size_t>(y) * kWidth + x) * 3];
            for (double v : {r, g, b}) *q++ = static_cast<uint8_t>(std::clamp(v + grain(rng), 0.0, 255.0));
        }
    }
    return p;
}

std::vector<uint8_t> encode(wire::PictureCodec codec, const std::vector<uint8_t> &rgb, int quality) {
    unsigned char *buf = nullptr;
    std::size_t size = 0;
    if (codec == wire::PictureCodec::Jpeg) {
        tjhandle tj = tjInitCompress();
        unsigned long n = 0;
        if (tjCompress2(tj, rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &buf, &n, TJSAMP_420, quality, TJFLAG_FASTDCT) != 0)
            std::abort();
        tjDestroy(tj);
        size = n;
    } else {
        size = WebPEncodeRGB(rgb.data(), kWidth, kHeight, kWidth * 3, static_cast<float>(quality), &buf);
    }
    std::vector<uint8_t> bytes(buf, buf + size);
    codec == wire::PictureCodec::Jpeg ? tjFree(buf) : WebPFree(buf);
    return bytes;
}

double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return 10 * std::log10(255.0 * 255.0 / (sum / double(a.size())));
}

// The calling thread's processor time in milliseconds: what the work costs, unmoved by other
// processes that share the machine's cores.
double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// A lossless WebP of `rgb` with libwebp's `method` and `effort` (its quality, in lossless mode).
std::vector<uint8_t> encode_lossless(const std::vector<uint8_t> &rgb, int method, float effort) {
    WebPConfig config;
    WebPPicture pic;
    WebPMemoryWriter writer;
    if (!WebPConfigInit(&config) || !WebPPictureInit(&pic)) std::abort();
    config.lossless = 1, config.exact = 1, config.method = method, config.quality = effort;
    pic.use_argb = 1, pic.width = kWidth, pic.height = kHeight;
    WebPMemoryWriterInit(&writer);
    pic.writer = WebPMemoryWrite, pic.custom_ptr = &writer;
    if (!WebPPictureImportRGB(&pic, rgb.data(), kWidth * 3) || !WebPEncode(&config, &pic)) std::abort();
    std::vector<uint8_t> bytes(writer.mem, writer.mem + writer.size);
    WebPPictureFree(&pic);
    WebPMemoryWriterClear(&writer);
    return bytes;
}

// The exact picture as the sender may send it: lossless WebP, or the display's 32-bit rows
// through zstd as the link's stream takes them.
void exact_pictures(const std::vector<uint8_t> &rgb, int runs) {
    std::printf("\n| exact picture | bytes | encode ms | decode ms |\n|---|---|---|---|\n");
    for (const auto &[method, effort] : {std::pair(0, 0.f), std::pair(1, 0.f), std::pair(2, 0.f), std::pair(2, 50.f)}) {
        std::vector<double> encode_ms, decode_ms;
        std::vector<uint8_t> bytes;
        for (int run = 0; run < runs; ++run) {
            double t0 = cpu_ms();
            bytes = encode_lossless(rgb, method, effort);
            encode_ms.push_back(cpu_ms() - t0);
            t0 = cpu_ms();
            const consent::DecodedPicture back = consent::decode_picture(wire::PictureCodec::WebP, bytes, kWidth, kHeight);
            decode_ms.push_back(cpu_ms() - t0);
            if (back.status != consent::DecodeStatus::Ok || back.rgb != rgb) std::abort();
        }
        std::printf("| lossless WebP, method %d, effort %.0f | %zu | %.1f | %.1f |\n", method, effort, bytes.size(),
                    percentile(encode_ms, 0.5), percentile(decode_ms, 0.5));
    }
    std::vector<uint8_t> rows(std::size_t{kWidth} * kHeight * 4);
    for (std::size_t i = 0; i < std::size_t{kWidth} * kHeight; ++i)
        rows[4 * i] = rgb[3 * i + 2], rows[4 * i + 1] = rgb[3 * i + 1], rows[4 * i + 2] = rgb[3 * i];
    std::vector<uint8_t> packed(ZSTD_compressBound(rows.size()));
    for (const int level : {1, 3}) {
        std::vector<double> ms;
        std::size_t size = 0;
        for (int run = 0; run < runs; ++run) {
            const double t0 = cpu_ms();
            size = ZSTD_compress(packed.data(), packed.size(), rows.data(), rows.size(), level);
            ms.push_back(cpu_ms() - t0);
        }
        std::printf("| 32-bit rows, zstd level %d | %zu | %.1f | - |\n", level, size, percentile(ms, 0.5));
    }
}

}  // namespace

// Usage: picture_bench [RUNS] (default 9; QUICK=1 in the environment: 3).
int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : std::getenv("QUICK") ? 3 : 9;
    const std::vector<uint8_t> original = scene();
    const consent::PixelLayout layout = consent::pixel_layout(0xff0000, 0xff00, 0xff, 24, 32, wire::ByteOrder::Lsb);
    std::vector<uint8_t> pixels(std::size_t{kWidth} * kHeight * 4);
    std::printf("An %dx%d photograph-like picture, processor time, medians of %d runs (raw: %zu bytes at 24 bits)\n\n",
                kWidth, kHeight, runs, original.size());
    std::printf("| codec | quality | bytes | PSNR dB | encode ms | decode ms | decode + convert ms |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const auto codec : {wire::PictureCodec::Jpeg, wire::PictureCodec::WebP}) {
        for (const int quality : {50, 75, 90}) {
            std::vector<double> encode_ms, decode_ms, total_ms;
            std::vector<uint8_t> bytes;
            consent::DecodedPicture picture;
            for (int run = 0; run < runs; ++run) {
                double t0 = cpu_ms();
                bytes = encode(codec, original, quality);
                encode_ms.push_back(cpu_ms() - t0);
                t0 = cpu_ms();
                picture = consent::decode_picture(codec, bytes, kWidth, kHeight);
                decode_ms.push_back(cpu_ms() - t0);
                if (picture.status != consent::DecodeStatus::Ok) return 1;
                for (int y = 0; y < kHeight; ++y)
                    consent::write_pixels(layout, picture.rgb.data() + static_cast<std::size_t>(y) * kWidth * 3, kWidth,
                                          pixels.data() + static_cast<std::size_t>(y) * kWidth * 4);
                total_ms.push_back(cpu_ms() - t0);
            }
            std::printf("| %s | %d | %zu | %.1f | %.1f | %.1f | %.1f |\n",
                        codec == wire::PictureCodec::Jpeg ? "JPEG 4:2:0" : "WebP", quality, bytes.size(),
                        psnr(original, picture.rgb), percentile(encode_ms, 0.5), percentile(decode_ms, 0.5),
                        percentile(total_ms, 0.5));
        }
    }
    exact_pictures(original, runs);
    return 0;
}
