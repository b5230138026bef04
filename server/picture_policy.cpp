// The choice between a lossy picture and exact pixels, and the timing of the exact refresh.
#include "picture_policy.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <unordered_set>

namespace telvane::server {

PictureVerdict judge_area(const PixelBlock &block, const EncodingChoice &exact, const PictureAbility &ability,
                          const PictureSettings &settings) {
    if ((ability.codecs & wire::codec_bit(settings.codec)) == 0) return {false, "link decodes no picture"};
    if (exact.how != Encoding::Raw) return {false, "one or two colours"};
    if (block.width < kMinPictureSide || block.height < kMinPictureSide ||
        int64_t{block.width} * block.height < kMinPicturePixels)
        return {false, "too small"};
    if (int64_t{block.width} * block.height > int64_t{ability.max_pixels}) return {false, "larger than the link decodes"};
    // Samples down the area, each row's column scattered (a grid would fall in step with
    // patterns of a few pixels), each with its right neighbour.
    const int samples = static_cast<int>(std::min<int64_t>(kJudgeSamples, int64_t{block.width} * block.height));
    std::unordered_set<uint32_t> colours;
    int flat = 0;
    for (int k = 0; k < samples; ++k) {
        const int32_t y = static_cast<int32_t>(int64_t{k} * block.height / samples);
        const int32_t x = static_cast<int32_t>((uint64_t(k) * 40503u + 7) % static_cast<uint64_t>(block.width));
        const uint32_t p = block.pixel(x, y);
        colours.insert(p);
        if (x + 1 < block.width && block.pixel(x + 1, y) == p) ++flat;
    }
    if (static_cast<int>(colours.size()) < std::min(kPhotoColours, samples / 2)) return {false, "few colours"};
    if (flat * 100 > samples * kFlatPercent) return {false, "flat areas"};
    return {true, "photographic"};
}

std::optional<int> parse_picture_quality(const std::string &text) {
    int v = 0;
    const char *end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc{} || p != end) return std::nullopt;
    if (v < kMinPictureQuality || v > kMaxPictureQuality) return std::nullopt;
    return v;
}

std::chrono::milliseconds refresh_delay(uint64_t frames_behind) {
    const uint64_t cap = static_cast<uint64_t>((kRefreshLongest - kRefreshStill) / (kRefreshStill / 4));
    return kRefreshStill + (kRefreshStill / 4) * std::min(frames_behind, cap);
}

uint64_t pixel_digest(const PixelBlock &block) {
    // The rows' bytes (not the padding between them) eight at a time, each mixed in by a
    // multiply and a shift: a whole picture in well under a millisecond. Two pictures that
    // collide would leave the older one shown until its exact refresh, a second later.
    uint64_t h = 0x9e3779b97f4a7c15ull;
    const auto mix = [&h](uint64_t w) {
        h = (h ^ w) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    };
    for (int32_t y = 0; y < block.height; ++y) {
        const uint8_t *row = block.row(y);
        const size_t n = block.row_length();
        size_t i = 0;
        for (uint64_t w = 0; i + 8 <= n; i += 8) {
            std::memcpy(&w, row + i, 8);
            mix(w);
        }
        for (; i < n; ++i) mix(row[i]);
    }
    return h;
}

void InexactArea::forget_sources(const Rect &at) {
    std::erase_if(sources_, [&](const auto &s) { return !intersection(s.first, at).empty(); });
}

bool InexactArea::shows(const Rect &at, uint64_t source) const {
    return std::find(sources_.begin(), sources_.end(), std::pair(at, source)) != sources_.end();
}

void InexactArea::drop_empty() {
    parts_.erase(std::remove_if(parts_.begin(), parts_.end(), [](const Part &p) { return p.area.empty(); }),
                 parts_.end());
}

void InexactArea::lossy(const Rect &at, FrameTime now, uint64_t source) {
    if (at.empty()) return;
    exact(at);   // drawn again: young again
    parts_.push_back({Region(at), now});
    sources_.push_back({at, source});
    if (sources_.size() > kMaxParts) sources_.erase(sources_.begin());
    if (parts_.size() > kMaxParts) {
        parts_[1].area.add(parts_[0].area);
        parts_.erase(parts_.begin());
    }
}

void InexactArea::exact(const Rect &at) {
    for (Part &p : parts_) p.area.subtract(at);
    drop_empty();
    forget_sources(at);
}

void InexactArea::copied(const Rect &from, const Rect &to) {
    forget_sources(to);
    const int32_t dx = to.x - from.x, dy = to.y - from.y;
    std::vector<Region> moved;
    for (Part &p : parts_) {
        Region m = p.area;
        m.intersect(from);
        Region shifted;
        for (const Rect &r : m.rects()) shifted.add(Rect{r.x + dx, r.y + dy, r.width, r.height});
        moved.push_back(std::move(shifted));
    }
    for (size_t i = 0; i < parts_.size(); ++i) {
        parts_[i].area.subtract(to);
        parts_[i].area.add(moved[i]);
    }
    drop_empty();
}

Region InexactArea::all() const {
    Region out;
    for (const Part &p : parts_) out.add(p.area);
    return out;
}

Region InexactArea::due(FrameTime now, std::chrono::milliseconds delay) const {
    Region out;
    for (const Part &p : parts_)
        if (p.since + delay <= now) out.add(p.area);
    return out;
}

std::optional<FrameTime> InexactArea::next_due(std::chrono::milliseconds delay) const {
    std::optional<FrameTime> first;
    for (const Part &p : parts_)
        if (!first || p.since + delay < *first) first = p.since + delay;
    return first;
}

}  // namespace telvane::server
