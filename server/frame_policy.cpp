// Frame timing and the cutting of damage into capture rectangles.
#include "frame_policy.h"

#include <algorithm>

namespace telvane::server {

Rect bounding_box(const Rect &a, const Rect &b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    const int32_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    const int32_t x1 = std::max(a.x + a.width, b.x + b.width), y1 = std::max(a.y + a.height, b.y + b.height);
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect intersection(const Rect &a, const Rect &b) {
    const int32_t x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const int32_t x1 = std::min(a.x + a.width, b.x + b.width), y1 = std::min(a.y + a.height, b.y + b.height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

FrameTime FrameGate::due() const {
    FrameTime at = opened_.value_or(FrameTime{}) + timing_.gather;
    if (last_) at = std::max(at, *last_ + timing_.min_interval);
    return at;
}

namespace {

// What merging a and b costs beyond the pixels they already cover.
int64_t merge_waste(const Rect &a, const Rect &b) {
    return bounding_box(a, b).area() - a.area() - b.area() + intersection(a, b).area();
}

}  // namespace

std::vector<Rect> plan_capture(const std::vector<Rect> &damage, int32_t width, int32_t height) {
    const Rect window{0, 0, width, height};
    std::vector<Rect> rects;
    Rect all;
    for (const Rect &r : damage) {
        Rect c = intersection(r, window);
        if (c.empty()) continue;
        rects.push_back(c);
        all = bounding_box(all, c);
    }
    if (rects.size() <= 1) return rects;
    // Past a few dozen the pairwise search costs more than the pixels it saves.
    if (rects.size() > 2 * kMaxCaptureRects) return {all};

    // Greedy: join the pair that wastes least while that is cheap, or while there are too many.
    for (;;) {
        size_t bi = 0, bj = 0;
        int64_t best = -1;
        for (size_t i = 0; i < rects.size(); ++i)
            for (size_t j = i + 1; j < rects.size(); ++j) {
                int64_t w = merge_waste(rects[i], rects[j]);
                if (best < 0 || w < best) { best = w; bi = i; bj = j; }
            }
        if (best < 0 || (best > kMergeSlack && rects.size() <= kMaxCaptureRects)) break;
        rects[bi] = bounding_box(rects[bi], rects[bj]);
        rects.erase(rects.begin() + static_cast<std::ptrdiff_t>(bj));
        if (rects.size() == 1) break;
    }
    return rects;
}

void merge_damage(std::vector<Rect> &waiting, const std::vector<Rect> &more, int32_t width, int32_t height) {
    waiting.insert(waiting.end(), more.begin(), more.end());
    waiting = plan_capture(waiting, width, height);
}

FrameTime next_fence_grace(FrameTime grace, bool unanswered, FrameTime now, std::optional<FrameTime> answered,
                           bool again) {
    if (again) return now;
    if (unanswered) return grace;
    // Straight after an answer the link was not quiet: that frame was waiting for it.
    return !answered || now - *answered >= kFenceGrace ? now + kFenceGrace : now;
}

bool paints_again(const PaintedAreas &painted, const PaintedAreas &frame) {
    for (const auto &[mirror, at] : frame)
        for (const auto &[earlier, was] : painted)
            if (mirror == earlier && !intersection(at, was).empty()) return true;
    return false;
}

}  // namespace telvane::server
