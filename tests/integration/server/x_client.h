#pragma once
// xcb helpers for the server's integration tests: share requests sent raw, events awaited with a
// time limit (never by sleeping), windows and properties.

#include "share_wire.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/uio.h>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

namespace telvane::testing {

struct XcbClose {
    void operator()(xcb_connection_t *c) const { if (c) xcb_disconnect(c); }
};
using Xcb = std::unique_ptr<xcb_connection_t, XcbClose>;
struct Free {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Free>;

inline Xcb xcb_open(const std::string &display) {
    Xcb c(xcb_connect(display.c_str(), nullptr));
    if (!c || xcb_connection_has_error(c.get())) return nullptr;
    return c;
}

inline xcb_screen_t *first_screen(xcb_connection_t *c) { return xcb_setup_roots_iterator(xcb_get_setup(c)).data; }

struct ShareCodes {
    bool present = false;
    uint8_t major = 0, first_event = 0, first_error = 0;
};

inline ShareCodes query_share(xcb_connection_t *c) {
    const std::string name(wire::kShareExtensionName);
    Owned<xcb_query_extension_reply_t> r(xcb_query_extension_reply(
        c, xcb_query_extension(c, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    if (!r) return {};
    return {r->present != 0, r->major_opcode, r->first_event, r->first_error};
}

// Sends one 16-byte share request as it is on the wire; returns its sequence number.
inline unsigned send_share(xcb_connection_t *c, uint8_t major, uint8_t minor, uint32_t a1 = 0, uint32_t a2 = 0,
                           uint32_t a3 = 0, uint16_t length = 4) {
    auto bytes = wire::encode_share_request(major, minor, a1, a2, a3, wire::ByteOrder::Lsb);
    std::vector<uint8_t> raw(bytes.begin(), bytes.end());
    wire::put16(raw.data() + 2, length, wire::ByteOrder::Lsb);
    raw.resize(length * 4u, 0);
    iovec iov[3] = {{}, {}, {raw.data(), raw.size()}};
    xcb_protocol_request_t req{1, nullptr, major, static_cast<uint8_t>(!wire::minor_has_reply(minor))};
    unsigned seq = xcb_send_request(c, XCB_REQUEST_RAW | XCB_REQUEST_CHECKED, &iov[2], &req);
    xcb_flush(c);
    return seq;
}

// The result word of the reply to request `seq`; nothing when an error came instead.
inline std::optional<uint32_t> share_reply(xcb_connection_t *c, unsigned seq) {
    xcb_generic_error_t *e = nullptr;
    Owned<void> r(xcb_wait_for_reply(c, seq, &e));
    std::free(e);
    if (!r) return std::nullopt;
    return wire::decode_share_reply_result(static_cast<uint8_t *>(r.get()), wire::ByteOrder::Lsb);
}

// The error code that request `seq` got, 0 when none (a request with a reply must get an error).
inline uint8_t error_of(xcb_connection_t *c, unsigned seq) {
    xcb_void_cookie_t ck{seq};
    Owned<xcb_generic_error_t> e(xcb_request_check(c, ck));
    return e ? e->error_code : 0;
}

inline void ungrab(xcb_connection_t *c) {
    xcb_ungrab_server(c);
    xcb_flush(c);
}

// One round trip, waited for without a limit.
inline void sync(xcb_connection_t *c) {
    Owned<xcb_get_input_focus_reply_t> r(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// What is left of the time until `deadline`, never less than zero.
inline std::chrono::milliseconds time_left(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

// Waits until `c` is readable or `deadline`; false when it had passed or the connection broke.
inline bool wait_readable(xcb_connection_t *c, std::chrono::steady_clock::time_point deadline) {
    if (xcb_connection_has_error(c) || time_left(deadline).count() == 0) return false;
    pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
    poll(&p, 1, static_cast<int>(time_left(deadline).count()));
    return true;
}

// The next event within `limit`, nothing on time-out or a broken connection.
inline Owned<xcb_generic_event_t> next_event(xcb_connection_t *c, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    xcb_generic_event_t *ev = nullptr;
    while (!(ev = xcb_poll_for_event(c)) && wait_readable(c, deadline)) {
    }
    return Owned<xcb_generic_event_t>(ev);
}

// The next event of `type`, dropping the others, waiting at most `limit` for each.
inline Owned<xcb_generic_event_t> next_event_of(xcb_connection_t *c, uint8_t type, std::chrono::milliseconds limit) {
    while (Owned<xcb_generic_event_t> ev = next_event(c, limit))
        if ((ev->response_type & 0x7f) == type) return ev;
    return {};
}

// One round trip that gives up after `limit` instead of hanging: true when its reply came.
inline bool round_trip_within(xcb_connection_t *c, std::chrono::milliseconds limit) {
    const unsigned seq = xcb_get_input_focus(c).sequence;
    xcb_flush(c);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    void *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    while (!xcb_poll_for_reply(c, seq, &reply, &error))
        if (!wait_readable(c, deadline)) return false;
    std::free(reply);
    std::free(error);
    return true;
}

// The next share event (other events are skipped), within `limit`.
inline std::optional<wire::ShareEvent> next_share_event(xcb_connection_t *c, uint8_t first_event,
                                                        std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (auto ev = next_event(c, time_left(deadline)))
        if ((ev->response_type & 0x7f) == first_event)
            return wire::decode_share_event(reinterpret_cast<uint8_t *>(ev.get()), wire::ByteOrder::Lsb);
    return std::nullopt;
}

inline uint32_t intern(xcb_connection_t *c, const std::string &name) {
    Owned<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    return r ? r->atom : 0;
}

// Property `prop` of `window` as bytes; nothing when the window has no such property.
inline std::optional<std::string> get_property(xcb_connection_t *c, uint32_t window, uint32_t prop) {
    Owned<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, 4096), nullptr));
    if (!r || r->type == XCB_NONE) return std::nullopt;
    return std::string(static_cast<const char *>(xcb_get_property_value(r.get())),
                       static_cast<size_t>(xcb_get_property_value_length(r.get())));
}

// Sets property `prop` of `window` to `value`, of `type` in `format`-bit items, and flushes.
inline void set_property(xcb_connection_t *c, uint32_t window, uint32_t prop, const std::string &value,
                         uint32_t type = XCB_ATOM_STRING, uint8_t format = 8) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, prop, type, format,
                        static_cast<uint32_t>(value.size() * 8 / format), value.data());
    xcb_flush(c);
}

// An unmapped window of `c` in `parent` (the root when 0), of class `cls`, with CreateWindow's `mask` and `values`.
inline uint32_t new_window(xcb_connection_t *c, uint32_t parent, int16_t x, int16_t y, uint16_t w, uint16_t h,
                           uint32_t mask = 0, const uint32_t *values = nullptr, uint8_t cls = XCB_WINDOW_CLASS_INPUT_OUTPUT) {
    const uint32_t id = xcb_generate_id(c);
    xcb_create_window(c, cls == XCB_WINDOW_CLASS_INPUT_ONLY ? 0 : XCB_COPY_FROM_PARENT, id,
                      parent ? parent : first_screen(c)->root, x, y, w, h, 0, cls, XCB_COPY_FROM_PARENT, mask, values);
    return id;
}

// A mapped top-level window with a title and class; returns its id.
inline uint32_t make_window(xcb_connection_t *c, const std::string &title, uint16_t w = 300, uint16_t h = 200,
                            uint8_t cls = XCB_WINDOW_CLASS_INPUT_OUTPUT) {
    const uint32_t id = new_window(c, 0, 10, 10, w, h, 0, nullptr, cls);
    set_property(c, id, XCB_ATOM_WM_NAME, title);
    set_property(c, id, XCB_ATOM_WM_CLASS, std::string("probe\0TelvaneProbe\0", 19));
    xcb_map_window(c, id);
    xcb_flush(c);
    return id;
}

// Top levels of `c`'s first screen that carry property `prop`: root children, or windows that a
// window manager keeps inside its frames (`depth` levels down).
inline std::vector<uint32_t> windows_with(xcb_connection_t *c, uint32_t prop, uint32_t under = 0, int depth = 3) {
    std::vector<uint32_t> out;
    Owned<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, xcb_query_tree(c, under ? under : first_screen(c)->root), nullptr));
    if (!t) return out;
    auto *kids = xcb_query_tree_children(t.get());
    for (int i = 0; i < xcb_query_tree_children_length(t.get()); ++i) {
        if (get_property(c, kids[i], prop)) out.push_back(kids[i]);
        else if (depth > 1)
            for (uint32_t w : windows_with(c, prop, kids[i], depth - 1)) out.push_back(w);
    }
    return out;
}

// Takes the entries (of the network only, when `network_only`) off `c`'s display's access list.
inline bool drop_hosts(xcb_connection_t *c, bool network_only) {
    Owned<xcb_list_hosts_reply_t> hosts(c ? xcb_list_hosts_reply(c, xcb_list_hosts(c), nullptr) : nullptr);
    if (!hosts) return false;
    for (auto it = xcb_list_hosts_hosts_iterator(hosts.get()); it.rem; xcb_host_next(&it))
        if (!network_only || it.data->family == XCB_FAMILY_INTERNET || it.data->family == XCB_FAMILY_INTERNET_6)
            xcb_change_hosts(c, XCB_HOST_MODE_DELETE, it.data->family, static_cast<uint16_t>(xcb_host_address_length(it.data)),
                             xcb_host_address(it.data));
    sync(c);
    return true;
}

// Selects the root's SubstructureNotify, so that waits on `c` wake up when mirrors come and go.
inline void watch_root(xcb_connection_t *c) {
    uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, first_screen(c)->root, XCB_CW_EVENT_MASK, &mask);
    sync(c);
}

}  // namespace telvane::testing
