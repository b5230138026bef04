// The placement, stacking and popup rules of mirrors.
#include "mirror_layout.h"

#include <algorithm>

namespace telvane::server {

namespace {

// The start of a span of `length` (with `room` beside it) moved into [0, limit).
int32_t fit(int32_t start, int32_t length, int32_t room, int32_t limit) {
    const int32_t last = limit - length - room;
    return std::max(0, std::min(start, last));
}

}  // namespace

Point place_mirror(const Rect &sender, std::optional<Point> shift, int32_t screen_w, int32_t screen_h,
                   Decoration decoration) {
    const Point moved = shift ? Point{sender.x + shift->x, sender.y + shift->y} : Point{sender.x, sender.y};
    return {fit(moved.x, sender.width, decoration.right, screen_w),
            fit(moved.y, sender.height, decoration.bottom, screen_h)};
}

StackGroups stacking_order(const std::vector<uint32_t> &root_children, const std::map<uint32_t, uint32_t> &tops) {
    std::multimap<uint32_t, uint32_t> by_top;
    for (const auto &[window, top] : tops) by_top.emplace(top, window);
    StackGroups order;
    for (uint32_t child : root_children) {
        auto [from, to] = by_top.equal_range(child);
        if (from == to) continue;
        order.emplace_back();
        for (auto it = from; it != to; ++it) order.back().push_back(it->second);
    }
    return order;
}

bool goes_with(const NewWindow &popup, uint32_t owner, const Rect &owner_place) {
    if (popup.transient_for != 0) return popup.transient_for == owner;
    return popup.override_redirect && !intersection(popup.place, owner_place).empty();
}

}  // namespace telvane::server
