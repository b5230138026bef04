// Telepointer placement, turning and style rules, without X.
#include "tele_rules.h"

#include <algorithm>

namespace {

enum : int { UpLeft, UpRight, DownRight, DownLeft };

}  // namespace

int tele_hot_x(int direction) { return hotX[(direction % 8 + 8) % 8]; }

int tele_hot_y(int direction) { return hotY[(direction % 8 + 8) % 8]; }

int tele_turned(int direction, int side) {
    const int half = direction - direction % 4;
    int d = direction % 4;
    switch (side) {
    case 1: d = d == UpRight ? UpLeft : d == DownRight ? DownLeft : d; break;
    case 2: d = d == DownLeft ? UpLeft : d == DownRight ? UpRight : d; break;
    case 3: d = d == UpLeft ? UpRight : d == DownLeft ? DownRight : d; break;
    case 4: d = d == UpLeft ? DownLeft : d == UpRight ? DownRight : d; break;
    default: break;
    }
    return half + d;
}

TelePlace tele_place(int direction, int width, int height, int x, int y, bool keep) {
    // Requests carry any 32-bit numbers; X's own coordinates fit well inside this range, and
    // nothing below can overflow within it.
    constexpr int kFar = 1 << 20;
    x = std::clamp(x, -kFar, kFar);
    y = std::clamp(y, -kFar, kFar);
    width = std::clamp(width, 0, kFar);
    height = std::clamp(height, 0, kFar);
    TelePlace p;
    p.direction = direction;
    p.left = x - tele_hot_x(direction);
    p.top = y - tele_hot_y(direction);
    // Each edge turns the arrow so that the window lies on the inner side of the hot spot;
    // with `keep` the hot spot stays where it was asked for as far as the window allows.
    auto turn = [&](int side, int *coordinate, int (*hot)(int)) {
        int entry = p.direction;
        p.direction = tele_turned(p.direction, side);
        if (keep) *coordinate += hot(entry) - hot(p.direction);
        p.at_edge = true;
    };
    if (width < p.left + TELE_SIZE) {
        turn(3, &p.left, tele_hot_x);
        if (width < p.left + TELE_SIZE) p.left = width - TELE_SIZE;
    }
    if (height < p.top + TELE_SIZE) {
        turn(4, &p.top, tele_hot_y);
        if (height < p.top + TELE_SIZE) p.top = height - TELE_SIZE;
    }
    if (p.left < 0) {
        turn(1, &p.left, tele_hot_x);
        p.left = std::max(p.left, 0);
    }
    if (p.top < 0) {
        turn(2, &p.top, tele_hot_y);
        p.top = std::max(p.top, 0);
    }
    // Turning away from the left or top edge moves the window by the hot spots' distance, which
    // in a parent less than 47 pixels across can carry it past the other edge again. A parent
    // narrower (or lower) than a telepointer keeps it at left 0 (top 0).
    p.left = std::max(0, std::min(p.left, width - TELE_SIZE));
    p.top = std::max(0, std::min(p.top, height - TELE_SIZE));
    return p;
}

int tele_new_style(const int counts[5]) {
    int best = 0;
    for (int s = 1; s < 5; ++s)
        if (counts[s] < counts[best]) best = s;
    return best + 1;
}

long tele_distance(int tx, int ty, int x, int y) {
    long dx = static_cast<long>(tx) + 12 - x, dy = static_cast<long>(ty) + 12 - y;
    // A request's point can be anywhere in 32 bits; 1000 away on either axis is too far anyway,
    // and the squares below stay small.
    if (dx <= -1000 || dx >= 1000 || dy <= -1000 || dy >= 1000) return -1;
    long d = dx * dx + dy * dy;
    return d < 999999 ? d : -1;
}
