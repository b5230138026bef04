// Exact pixel sets on pixman's regions, with the rectangles Telvane speaks in.
#include "region.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace telvane::server {

namespace {

// pixman keeps corners in 32 bits; a rectangle beyond that is cut, never wrapped.
pixman_box32_t box_of(const Rect &r) {
    const int64_t x2 = int64_t{r.x} + r.width, y2 = int64_t{r.y} + r.height;
    auto cut = [](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); };
    return {r.x, r.y, cut(x2), cut(y2)};
}

Rect rect_of(const pixman_box32_t &b) { return {b.x1, b.y1, b.x2 - b.x1, b.y2 - b.y1}; }

}  // namespace

Region::Region() { pixman_region32_init(&r_); }

Region::Region(const Rect &r) {
    if (r.empty()) {
        pixman_region32_init(&r_);
        return;
    }
    const pixman_box32_t b = box_of(r);
    pixman_region32_init_rect(&r_, b.x1, b.y1, static_cast<unsigned>(b.x2 - b.x1), static_cast<unsigned>(b.y2 - b.y1));
}

Region::~Region() { pixman_region32_fini(&r_); }

Region::Region(const Region &other) {
    pixman_region32_init(&r_);
    ok(pixman_region32_copy(&r_, &other.r_));
}

Region &Region::operator=(const Region &other) {
    if (this != &other) ok(pixman_region32_copy(&r_, &other.r_));
    return *this;
}

Region::Region(Region &&other) noexcept {
    pixman_region32_init(&r_);
    std::swap(r_, other.r_);
}

Region &Region::operator=(Region &&other) noexcept {
    if (this != &other) std::swap(r_, other.r_);
    return *this;
}

bool Region::ok(pixman_bool_t done) {
    if (done) return true;
    // pixman leaves a region it could not grow marked broken: start again from nothing.
    pixman_region32_fini(&r_);
    pixman_region32_init(&r_);
    return false;
}

bool Region::add(const Region &other) { return ok(pixman_region32_union(&r_, &r_, &other.r_)); }
bool Region::add(const Rect &r) { return add(Region(r)); }
bool Region::subtract(const Region &other) { return ok(pixman_region32_subtract(&r_, &r_, &other.r_)); }
bool Region::subtract(const Rect &r) { return subtract(Region(r)); }
bool Region::intersect(const Region &other) { return ok(pixman_region32_intersect(&r_, &r_, &other.r_)); }
bool Region::intersect(const Rect &r) { return intersect(Region(r)); }

bool Region::empty() const { return !pixman_region32_not_empty(&r_); }

int64_t Region::area() const {
    int n = 0;
    const pixman_box32_t *boxes = pixman_region32_rectangles(&r_, &n);
    int64_t total = 0;
    for (int i = 0; i < n; ++i) total += rect_of(boxes[i]).area();
    return total;
}

Rect Region::bounds() const { return empty() ? Rect{} : rect_of(*pixman_region32_extents(&r_)); }

std::vector<Rect> Region::rects() const {
    int n = 0;
    const pixman_box32_t *boxes = pixman_region32_rectangles(&r_, &n);
    std::vector<Rect> out;
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out.push_back(rect_of(boxes[i]));
    return out;
}

bool Region::contains(const Rect &r) const {
    if (r.empty()) return true;
    pixman_box32_t b = box_of(r);
    return pixman_region32_contains_rectangle(&r_, &b) == PIXMAN_REGION_IN;
}

bool operator==(const Region &a, const Region &b) { return pixman_region32_equal(&a.r_, &b.r_); }

}  // namespace telvane::server
