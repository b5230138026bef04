#pragma once
// An exact set of pixels: a union of rectangles that can be added to, taken away from and cut,
// with no over-approximation (merge_damage's unions may grow; this never does). It wraps
// pixman's 32-bit regions, which keep the set as sorted bands of rectangles. Pure.

#include "frame_policy.h"

#include <cstdint>
#include <vector>

#include <pixman.h>

namespace telvane::server {

class Region {
public:
    // Nothing, or the one rectangle `r` (an empty one is nothing).
    Region();
    explicit Region(const Rect &r);
    ~Region();
    Region(const Region &other);
    Region &operator=(const Region &other);
    Region(Region &&other) noexcept;
    Region &operator=(Region &&other) noexcept;

    // Adds, takes away or keeps only what is also in `other`; each returns false when pixman
    // ran out of memory, and the region is then empty (callers treat that as "nothing known").
    bool add(const Region &other);
    bool add(const Rect &r);
    bool subtract(const Region &other);
    bool subtract(const Rect &r);
    bool intersect(const Region &other);
    bool intersect(const Rect &r);

    bool empty() const;
    // The number of pixels in it.
    int64_t area() const;
    // The smallest rectangle holding it (empty when it is).
    Rect bounds() const;
    // Its rectangles, disjoint, top to bottom and left to right within a band.
    std::vector<Rect> rects() const;
    // True when every pixel of `r` is in it.
    bool contains(const Rect &r) const;
    // The same pixels.
    friend bool operator==(const Region &a, const Region &b);

private:
    bool ok(pixman_bool_t done);
    pixman_region32_t r_;
};

}  // namespace telvane::server
