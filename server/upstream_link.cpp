// Queries upstream through the server's own xcb connection.
#include "upstream_link.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <xcb/res.h>

namespace telvane::server {

std::optional<UpstreamLink> UpstreamLink::connect(const std::string &display) {
    XcbConnection c(xcb_connect(display.c_str(), nullptr));
    if (!c || xcb_connection_has_error(c.get())) return std::nullopt;
    return UpstreamLink(std::move(c));
}

std::vector<UpstreamExtension> UpstreamLink::extensions() {
    std::vector<UpstreamExtension> out;
    if (broken()) return out;
    auto *c = conn_.get();
    XcbReply<xcb_list_extensions_reply_t> list(xcb_list_extensions_reply(c, xcb_list_extensions(c), nullptr));
    if (!list) return out;
    std::vector<std::string> names;
    for (auto it = xcb_list_extensions_names_iterator(list.get()); it.rem; xcb_str_next(&it))
        names.emplace_back(xcb_str_name(it.data), xcb_str_name_length(it.data));
    std::vector<xcb_query_extension_cookie_t> cookies;
    for (const auto &n : names)
        cookies.push_back(xcb_query_extension(c, static_cast<uint16_t>(n.size()), n.c_str()));
    for (size_t i = 0; i < names.size(); ++i) {
        XcbReply<xcb_query_extension_reply_t> r(xcb_query_extension_reply(c, cookies[i], nullptr));
        if (r && r->present)
            out.push_back({names[i], r->major_opcode, r->first_event, r->first_error});
    }
    return out;
}

std::optional<HostAccess> UpstreamLink::host_access() {
    if (broken()) return std::nullopt;
    auto *c = conn_.get();
    XcbReply<xcb_list_hosts_reply_t> r(xcb_list_hosts_reply(c, xcb_list_hosts(c), nullptr));
    if (!r) return std::nullopt;
    HostAccess access;
    access.enabled = r->mode == XCB_ACCESS_CONTROL_ENABLE;
    for (auto it = xcb_list_hosts_hosts_iterator(r.get()); it.rem; xcb_host_next(&it)) {
        const auto *addr = reinterpret_cast<const char *>(xcb_host_address(it.data));
        access.hosts.push_back({it.data->family, std::string(addr, xcb_host_address_length(it.data))});
    }
    return access;
}

uint32_t UpstreamLink::intern(const std::string &name) {
    if (broken()) return 0;
    auto *c = conn_.get();
    XcbReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    return r ? r->atom : 0;
}

std::optional<std::string> UpstreamLink::atom_name(uint32_t atom) {
    if (broken() || atom == 0) return std::nullopt;
    auto *c = conn_.get();
    xcb_generic_error_t *err = nullptr;
    XcbReply<xcb_get_atom_name_reply_t> r(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), &err));
    std::free(err);
    if (!r) return std::nullopt;
    return std::string(xcb_get_atom_name_name(r.get()), xcb_get_atom_name_name_length(r.get()));
}

bool UpstreamLink::mark_roots(const std::string &name) {
    uint32_t atom = intern(name);
    if (!atom) return false;
    auto *c = conn_.get();
    for (uint32_t root : roots())
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, atom, XCB_ATOM_STRING, 8, 1, "1");
    XcbReply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return static_cast<bool>(sync);
}

void UpstreamLink::unmark_roots(const std::string &name) {
    if (broken() || name.empty()) return;
    uint32_t atom = intern(name);
    auto *c = conn_.get();
    for (uint32_t root : roots()) xcb_delete_property(c, root, atom);
    xcb_flush(c);
}

std::vector<uint32_t> UpstreamLink::roots() const {
    std::vector<uint32_t> out;
    if (broken()) return out;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(conn_.get())); it.rem; xcb_screen_next(&it))
        out.push_back(it.data->root);
    return out;
}

std::optional<WindowInfo> UpstreamLink::window_info(uint32_t window) {
    if (broken() || window == 0) return std::nullopt;
    auto *c = conn_.get();
    auto ac = xcb_get_window_attributes(c, window);
    auto gc = xcb_get_geometry(c, window);
    xcb_generic_error_t *e1 = nullptr, *e2 = nullptr;
    XcbReply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(c, ac, &e1));
    XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, gc, &e2));
    std::free(e1);
    std::free(e2);
    if (!a || !g) return std::nullopt;
    WindowInfo w;
    w.window = window;
    w.root = g->root;
    w.is_root = g->root == window;
    w.input_only = a->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
    w.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
    w.x = g->x;
    w.y = g->y;
    w.width = g->width;
    w.height = g->height;
    return w;
}

std::optional<PropertyValue> UpstreamLink::property(uint32_t window, uint32_t prop) {
    if (broken()) return std::nullopt;
    auto *c = conn_.get();
    XcbReply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, 65536), nullptr));
    if (!r || r->type == XCB_NONE) return std::nullopt;
    PropertyValue v;
    v.format = r->format;
    auto *p = static_cast<const uint8_t *>(xcb_get_property_value(r.get()));
    v.data.assign(p, p + xcb_get_property_value_length(r.get()));
    auto name = atom_name(r->type);
    if (!name) return std::nullopt;
    v.type_name = *name;
    return v;
}

void UpstreamLink::set_title(uint32_t window, uint32_t property, uint32_t type, const std::string &title) {
    if (broken() || !type) return;
    xcb_change_property(conn_.get(), XCB_PROP_MODE_REPLACE, window, property, type, 8,
                        static_cast<uint32_t>(title.size()), title.data());
    xcb_flush(conn_.get());
}

WindowTree UpstreamLink::tree_below(const std::vector<uint32_t> &tops) {
    WindowTree tree;
    if (broken()) return tree;
    auto *c = conn_.get();
    if (!wm_state_) wm_state_ = intern("WM_STATE");
    // One level at a time, every question of a level sent before the first answer is read.
    std::vector<std::pair<uint32_t, uint32_t>> level;   // window, parent
    for (uint32_t t : tops) level.emplace_back(t, 0);
    for (int depth = 0; !level.empty() && depth <= kFrameDepth; ++depth) {
        struct Asked {
            xcb_get_window_attributes_cookie_t attributes;
            xcb_get_property_cookie_t state;
            xcb_query_tree_cookie_t tree;
        };
        std::vector<Asked> asked;
        for (const auto &[w, parent] : level)
            asked.push_back({xcb_get_window_attributes(c, w),
                             xcb_get_property(c, 0, w, wm_state_, XCB_GET_PROPERTY_TYPE_ANY, 0, 0),
                             xcb_query_tree(c, w)});
        std::vector<std::pair<uint32_t, uint32_t>> next;
        for (size_t i = 0; i < level.size(); ++i) {
            XcbReply<xcb_get_window_attributes_reply_t> a(
                xcb_get_window_attributes_reply(c, asked[i].attributes, nullptr));
            XcbReply<xcb_get_property_reply_t> p(xcb_get_property_reply(c, asked[i].state, nullptr));
            XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, asked[i].tree, nullptr));
            if (!a || !t) continue;   // gone meanwhile
            TreeWindow w;
            w.id = level[i].first;
            w.parent = level[i].second ? level[i].second : t->parent;
            w.wm_state = p && p->type != XCB_NONE;
            w.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
            w.input_only = a->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
            tree.push_back(w);
            // A client window's inside is its own; an unmapped window holds nothing viewable.
            if (w.wm_state || !w.viewable) continue;
            const xcb_window_t *kids = xcb_query_tree_children(t.get());
            for (int k = 0; k < xcb_query_tree_children_length(t.get()); ++k) next.emplace_back(kids[k], w.id);
        }
        level = std::move(next);
    }
    return tree;
}

uint32_t UpstreamLink::client_window(uint32_t window) {
    return server::client_window(tree_below({window}), window);
}

ClientRange UpstreamLink::creator_of(uint32_t window) {
    ClientRange out;
    if (broken()) return out;
    auto *c = conn_.get();
    XcbReply<xcb_res_query_clients_reply_t> clients(
        xcb_res_query_clients_reply(c, xcb_res_query_clients(c), nullptr));
    if (!clients) return out;
    // The creating client is the one whose resource-id range holds the window's id.
    for (auto it = xcb_res_query_clients_clients_iterator(clients.get()); it.rem; xcb_res_client_next(&it)) {
        if ((window & ~it.data->resource_mask) == it.data->resource_base)
            out = {it.data->resource_base, it.data->resource_mask};
    }
    return out;
}

std::vector<uint32_t> UpstreamLink::application_windows(uint32_t window) {
    if (broken()) return {window};
    auto *c = conn_.get();
    if (!wm_state_) wm_state_ = intern("WM_STATE");
    // The window's ancestors up to its child of the root, each with or without WM_STATE.
    WindowTree tree;
    uint32_t w = window;
    for (int depth = 0; depth < 64; ++depth) {
        auto tc = xcb_query_tree(c, w);
        auto pc = xcb_get_property(c, 0, w, wm_state_, XCB_GET_PROPERTY_TYPE_ANY, 0, 0);
        XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, tc, nullptr));
        XcbReply<xcb_get_property_reply_t> p(xcb_get_property_reply(c, pc, nullptr));
        if (!t) break;
        tree.push_back({w, t->parent, p && p->type != XCB_NONE, true, false});
        if (t->parent == XCB_NONE || t->parent == t->root) break;
        w = t->parent;
    }
    for (const TreeWindow &below : tree_below({w}))
        if (std::none_of(tree.begin(), tree.end(), [&](const TreeWindow &a) { return a.id == below.id; }))
            tree.push_back(below);
    const uint32_t top = top_level_client(tree, window);
    const ClientRange client = creator_of(top);
    if (client.mask == 0) return {top};
    std::vector<uint32_t> tops;
    for (uint32_t root : roots()) {
        XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
        if (!t) continue;
        const xcb_window_t *kids = xcb_query_tree_children(t.get());
        tops.insert(tops.end(), kids, kids + xcb_query_tree_children_length(t.get()));
    }
    return server::application_windows(tree_below(tops), client, top);
}

bool UpstreamLink::watch_destruction(uint32_t window) {
    if (broken()) return false;
    uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_void_cookie_t cookie = xcb_change_window_attributes_checked(conn_.get(), window, XCB_CW_EVENT_MASK, &mask);
    XcbReply<xcb_generic_error_t> error(xcb_request_check(conn_.get(), cookie));
    // The end of a window that had this id before is queued by now and goes to that window.
    take_events(false);
    if (error) return false;
    watched_[window] = cookie.sequence;
    return true;
}

bool UpstreamLink::watching(uint32_t window) {
    take_events(false);
    return watched_.count(window) > 0;
}

void UpstreamLink::take_events(bool read_socket) {
    if (!conn_) return;
    auto *c = conn_.get();
    for (;;) {
        XcbReply<xcb_generic_event_t> ev(read_socket ? xcb_poll_for_event(c) : xcb_poll_for_queued_event(c));
        if (!ev) return;
        if ((ev->response_type & 0x7f) != XCB_DESTROY_NOTIFY) continue;
        auto w = watched_.find(reinterpret_cast<xcb_destroy_notify_event_t *>(ev.get())->window);
        if (w == watched_.end() || static_cast<int32_t>(ev->full_sequence - w->second) < 0) continue;
        destroyed_.push_back(w->first);
        watched_.erase(w);
    }
}

std::vector<uint32_t> UpstreamLink::drain_destroyed(bool read_socket) {
    take_events(read_socket);
    return std::exchange(destroyed_, {});
}

}  // namespace telvane::server
