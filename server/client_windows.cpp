// Client windows and an application's top levels, looked for through window managers' frames.
#include "client_windows.h"

#include <algorithm>

namespace telvane::server {

namespace {

const TreeWindow *find(const WindowTree &tree, uint32_t id) {
    auto it = std::find_if(tree.begin(), tree.end(), [&](const TreeWindow &w) { return w.id == id; });
    return it == tree.end() ? nullptr : &*it;
}

}  // namespace

uint32_t client_window(const WindowTree &tree, uint32_t window) {
    std::vector<uint32_t> level{window};
    while (!level.empty()) {
        std::vector<uint32_t> next;
        for (uint32_t id : level) {
            const TreeWindow *w = find(tree, id);
            if (w && w->wm_state) return id;
            for (const TreeWindow &child : tree)
                if (child.parent == id) next.push_back(child.id);
        }
        level = std::move(next);
    }
    return window;
}

uint32_t top_level_client(const WindowTree &tree, uint32_t window) {
    uint32_t at = window;
    // Bounded by the tree's size, so a parent link that loops cannot hold us.
    for (size_t steps = 0; steps <= tree.size(); ++steps) {
        const TreeWindow *w = find(tree, at);
        if (!w) return at;
        if (w->wm_state) return at;
        if (!find(tree, w->parent)) return client_window(tree, at);
        at = w->parent;
    }
    return window;
}

std::vector<uint32_t> application_windows(const WindowTree &tree, const ClientRange &client, uint32_t first) {
    std::vector<uint32_t> out{first};
    auto add = [&](uint32_t id) {
        if (std::find(out.begin(), out.end(), id) == out.end()) out.push_back(id);
    };
    for (const TreeWindow &top : tree) {
        if (find(tree, top.parent) || !top.viewable || top.input_only) continue;
        if (client.owns(top.id)) {
            add(top.id);
            continue;
        }
        // Another client's window (a frame) holding a client window of ours.
        const uint32_t inner = client_window(tree, top.id);
        const TreeWindow *w = find(tree, inner);
        if (inner != top.id && client.owns(inner) && w && w->viewable && !w->input_only) add(inner);
    }
    return out;
}

}  // namespace telvane::server
