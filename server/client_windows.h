#pragma once
// Which windows of a display are its clients' own top levels, looking through the frames that a
// window manager puts around them. Pure: the trees are read by UpstreamLink.

#include <cstdint>
#include <vector>

namespace telvane::server {

// The resource-id range of one client: the windows it created.
struct ClientRange {
    uint32_t base = 0, mask = 0;
    bool owns(uint32_t window) const { return mask != 0 && (window & ~mask) == base; }
};

// One window of a tree as far as finding client windows needs it. A window whose parent is not
// in the tree is a child of the root.
struct TreeWindow {
    uint32_t id = 0;
    uint32_t parent = 0;
    bool wm_state = false;   // carries WM_STATE: a window manager manages it as a client window
    bool viewable = false;
    bool input_only = false;
};
// Parents before their children, siblings from the bottom of the stack up, as QueryTree lists them.
using WindowTree = std::vector<TreeWindow>;

// The client window that `window` stands for: itself when it carries WM_STATE, else the first
// window below it that does (nearer levels first), else `window` itself, as with no window
// manager. A frame thus gives the client window inside it. Called for every window asked for.
uint32_t client_window(const WindowTree &tree, uint32_t window);

// The top-level client window that `window` is part of: its nearest ancestor (or itself) with
// WM_STATE, else the client window of its child of the root. `tree` holds the window's
// ancestors and what lies below its child of the root.
uint32_t top_level_client(const WindowTree &tree, uint32_t window);

// The viewable top-level client windows of `client` in `tree` (children of the root with what
// lies below them), `first` leading: the client's own children of the root, and the client
// windows that window managers' frames hold. Never a frame, nor a window of another client.
std::vector<uint32_t> application_windows(const WindowTree &tree, const ClientRange &client, uint32_t first);

}  // namespace telvane::server
