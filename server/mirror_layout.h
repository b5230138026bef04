#pragma once
// Where mirrors go on a receiver and how they lie over each other, and which short-lived windows
// of a client belong to a window shared alone: pure rules, fed with what the X connections learnt.

#include "frame_policy.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace telvane::server {

struct Point {
    int32_t x = 0, y = 0;
    friend bool operator==(const Point &, const Point &) = default;
};

// Room kept beside a mirror for what the receiver's window manager puts around it (a window
// manager places a frame's top left corner where the window asked to be).
struct Decoration {
    int32_t right = 0, bottom = 0;
};
// What we keep free for the decorations of a managed mirror when it has to be moved in: a title
// bar and borders of the usual window managers.
inline constexpr Decoration kManagedDecoration{12, 32};

// Where a mirror of the window at `sender` (root coordinates on the sender) goes on a receiver
// screen of `screen_w` x `screen_h`. `shift` is how far the mirrors of the same share there were
// moved from their windows' places, so that one application's windows keep their layout; a
// mirror that would then stick out of the screen, with `decoration` beside it, is moved in just
// enough, and one larger than the screen keeps its top left corner on it. Called by the receiver
// threads for each new mirror and each move of a menu.
Point place_mirror(const Rect &sender, std::optional<Point> shift, int32_t screen_w, int32_t screen_h,
                   Decoration decoration = {});

// The shared windows in `tops` (window -> its ancestor that is a child of the root), one group
// for each such ancestor, in the order `root_children` (bottom to top, as QueryTree lists them)
// has them; windows whose ancestor is not listed are left out. Windows of one group (a child
// shared as well as the window that holds it) have no order among themselves on the sender:
// their mirrors keep the one they have. Called by the replicator when the sender's windows
// restack, and by receiver threads to read that order back.
using StackGroups = std::vector<std::vector<uint32_t>>;
StackGroups stacking_order(const std::vector<uint32_t> &root_children, const std::map<uint32_t, uint32_t> &tops);

// What is known of a window that a client has just mapped on the root.
struct NewWindow {
    Rect place;                  // root coordinates
    bool override_redirect = false;
    uint32_t transient_for = 0;  // WM_TRANSIENT_FOR, 0 when unset
};
// Whether `popup`, a new window of the client that owns the window `owner` (at `owner_place` on
// the root) shared alone, goes along with it: a menu, tooltip or drop-down mapped over it, or a
// dialog that names it as its owner. Called by the share service for each new window of such a
// client.
bool goes_with(const NewWindow &popup, uint32_t owner, const Rect &owner_place);

}  // namespace telvane::server
