#pragma once
// Pixels and mirrors for the tests that share windows: drawing, reading back, waiting until a
// mirror shows what is expected, and a sender with receivers to share to.

#include "share_server.h"
#include "x_client.h"

#include <xcb/damage.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <random>

namespace telvane::testing {

inline void fill(xcb_connection_t *c, uint32_t drawable, int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t pixel) {
    uint32_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, drawable, XCB_GC_FOREGROUND, &pixel);
    xcb_rectangle_t r{x, y, w, h};
    xcb_poly_fill_rectangle(c, drawable, gc, 1, &r);
    xcb_free_gc(c, gc);
    xcb_flush(c);
}

// Puts a block of random 24-bit pixels, or of `colours`, at (x, y) of `window`; returns it.
inline std::vector<uint32_t> put_noise(xcb_connection_t *c, uint32_t window, int16_t x, int16_t y, uint16_t w,
                                       uint16_t h, uint32_t seed, const std::vector<uint32_t> &colours = {}) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> block(size_t{w} * h);
    for (auto &v : block) v = colours.empty() ? rng() & 0xffffff : colours[rng() % colours.size()];
    uint32_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, 0, nullptr);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, w, h, x, y, 0, 24, static_cast<uint32_t>(block.size() * 4),
                  reinterpret_cast<const uint8_t *>(block.data()));
    xcb_free_gc(c, gc);
    xcb_flush(c);
    return block;
}

inline uint32_t solid_window(xcb_connection_t *c, const std::string &title, uint16_t w, uint16_t h, uint32_t colour) {
    uint32_t id = make_window(c, title, w, h);
    fill(c, id, 0, 0, w, h, colour);
    return id;
}

// The pixel values of a w x h area of `drawable` at its origin (32 or 16 bits per pixel).
inline std::vector<uint32_t> pixels(xcb_connection_t *c, uint32_t drawable, uint16_t w, uint16_t h) {
    Owned<xcb_get_image_reply_t> r(xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, 0, 0, w, h, ~0u), nullptr));
    if (!r) return {};
    const uint8_t *d = xcb_get_image_data(r.get());
    const size_t bytes = static_cast<size_t>(xcb_get_image_data_length(r.get()));
    std::vector<uint32_t> out;
    const size_t bpp = bytes / (size_t{w} * h);
    for (size_t i = 0; i + bpp <= bytes; i += bpp) {
        uint32_t v = 0;
        std::memcpy(&v, d + i, bpp);
        out.push_back(bpp == 4 ? (v & 0xffffff) : v);
    }
    return out;
}

// Waits until `done` holds, woken by events on `c` (which the caller selected); false after `limit`.
inline bool wait_until(xcb_connection_t *c, const std::function<bool()> &done,
                       std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(c)}) {
        }
        if (done()) return true;
        if (time_left(deadline).count() == 0 || xcb_connection_has_error(c)) return false;
        next_event(c, time_left(deadline));
    }
}

// Watches a mirror on its receiver: damage to it and its structure, so that waits wake up.
class MirrorWatch {
public:
    MirrorWatch(xcb_connection_t *c, uint32_t mirror) : c_(c), mirror_(mirror) {
        xcb_prefetch_extension_data(c, &xcb_damage_id);
        Owned<xcb_damage_query_version_reply_t> v(
            xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
        damage_ = xcb_generate_id(c);
        xcb_damage_create(c, damage_, mirror, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, mirror, XCB_CW_EVENT_MASK, &mask);
        sync(c);
    }
    uint32_t id() const { return mirror_; }

    // Waits until the mirror's top-left w x h pixels are `expected`, at most `limit`.
    bool shows(const std::vector<uint32_t> &expected, uint16_t w, uint16_t h,
               std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        return wait_until(c_, [&] {
            xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
            return pixels(c_, mirror_, w, h) == expected;
        }, limit);
    }
    bool shows_solid(uint32_t colour, uint16_t w, uint16_t h) {
        return shows(std::vector<uint32_t>(size_t{w} * h, colour), w, h);
    }
    bool sized(uint16_t w, uint16_t h) {
        return wait_until(c_, [&] {
            Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, mirror_), nullptr));
            return g && g->width == w && g->height == h;
        });
    }
    bool viewable(bool want) {
        return wait_until(c_, [&] {
            Owned<xcb_get_window_attributes_reply_t> a(
                xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, mirror_), nullptr));
            return a && (a->map_state == XCB_MAP_STATE_VIEWABLE) == want;
        });
    }
    // Waits until property `prop` of the mirror reads `value` (empty: absent).
    bool property_is(uint32_t prop, const std::string &value, bool present = true) {
        return wait_until(c_, [&] {
            const auto now = get_property(c_, mirror_, prop);
            return present ? now == value : !now;
        });
    }

private:
    xcb_connection_t *c_;
    uint32_t mirror_;
    uint32_t damage_ = 0;
};

// The next root child of `rx` with `marker` not in `known` (after watch_root); 0 on time-out.
inline uint32_t wait_new_mirror(xcb_connection_t *rx, uint32_t marker, const std::vector<uint32_t> &known = {}) {
    uint32_t found = 0;
    wait_until(rx, [&] {
        for (uint32_t w : windows_with(rx, marker))
            if (std::find(known.begin(), known.end(), w) == known.end()) found = w;
        return found != 0;
    });
    return found;
}

inline bool no_mirror_left(xcb_connection_t *rx, uint32_t marker, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    return wait_until(rx, [&] { return windows_with(rx, marker).empty(); }, limit);
}

// Adds MIT-MAGIC-COOKIE-1 `cookie` for `display` to authority file `file`; xauth's exit code.
inline int xauth_add(const std::string &file, const std::string &display, const std::string &cookie) {
    return run_program({"xauth", "-f", file, "add", display, "MIT-MAGIC-COOKIE-1", cookie});
}

inline constexpr uint8_t kShareApplication = 0, kShareWindow = 1, kUnshare = 3, kSetInputDelay = 5, kAllowInput = 7,
                         kDisallowInput = 8;

// A sender: an upstream Xvfb with telvane-server in front of it (tracing into "trace"), a client
// `c` of it that speaks the share extension, and receivers, each a private Xvfb.
class SenderTest : public ServedDisplayTest {
protected:
    struct Receiver {
        std::optional<XvfbServer> xvfb;
        Xcb c;
        uint32_t marker = 0;   // TL_SERVER_NAME there
        uint32_t host = 0;     // its host atom on the sender
    };

    void SetUp() override { start_sender(options); }
    void start_sender(ShareServer::Options o = {}) {
        o.extra.insert(o.extra.end(), {"--connect-timeout", "3000"});
        start_served(o);
        if (HasFatalFailure()) return;
        c = xcb_open(server->name());
        ASSERT_TRUE(c);
        codes = query_share(c.get());
        ASSERT_TRUE(codes.present);
    }
    Receiver &add_receiver(XvfbServer::Options o = {}) {
        auto &r = receivers.emplace_back();
        r.xvfb = XvfbServer::start(o);
        EXPECT_TRUE(r.xvfb) << "could not start a receiver";
        if (!r.xvfb) return r;
        r.c = xcb_open(r.xvfb->name());
        watch_root(r.c.get());
        r.marker = intern(r.c.get(), "TL_SERVER_NAME");
        r.host = intern(c.get(), "127.0.0.1:" + std::to_string(r.xvfb->number()) + ".0");
        return r;
    }
    // The sender's client's (or `on`'s) next share event, which should have `status` and, when given,
    // name `window` and `host`.
    wire::ShareEvent expect_event(uint8_t status, std::optional<uint32_t> window = {}, std::optional<uint32_t> host = {},
                                  xcb_connection_t *on = nullptr, uint8_t first_event = 0) {
        auto ev = next_share_event(on ? on : c.get(), on ? first_event : codes.first_event);
        EXPECT_TRUE(ev) << "no event, wanted status " << int(status);
        if (!ev) return {};
        EXPECT_EQ(std::tuple(int(ev->status), ev->window, ev->host),
                  std::tuple(int(status), window.value_or(ev->window), host.value_or(ev->host)));
        return *ev;
    }
    // Asks for `w` to be shared to `host`; the next event, which should have `status` and name both.
    wire::ShareEvent share_expecting(uint8_t status, uint32_t host, uint32_t w) {
        send_share(c.get(), codes.major, kShareWindow, host, w, 0);
        return expect_event(status, w, host);
    }
    void allow_input(uint32_t host) {
        send_share(c.get(), codes.major, kAllowInput, host);
        expect_event(7);
    }
    // Shares `w` to `r`: its mirror there, after connection-made (when `first`) and window-shared.
    uint32_t share(Receiver &r, uint32_t w, bool first = true) {
        auto known = windows_with(r.c.get(), r.marker);
        send_share(c.get(), codes.major, kShareWindow, r.host, w, 0);
        if (first) expect_event(0);
        expect_event(3, w);
        return wait_new_mirror(r.c.get(), r.marker, known);
    }

    ShareServer::Options options;   // the server's, for SetUp; a derived fixture's constructor may add to them
    Xcb c;
    ShareCodes codes;
    std::deque<Receiver> receivers;
};

}  // namespace telvane::testing
