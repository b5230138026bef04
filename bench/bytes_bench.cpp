// Helpers of bench/run-bytes.sh, which counts the bytes one receiver gets per workload:
//   bytes_bench share DISPLAY WINDOW RECEIVER_NAME   shares WINDOW and keeps the share until
//                                                    its standard input closes ("shared" once
//                                                    the server said so)
//   bytes_bench type DISPLAY WINDOW COUNT [KEYSYM MS] types COUNT letters into WINDOW with XTEST;
//                                                    with KEYSYM, presses that key COUNT times,
//                                                    MS apart (a document paged through)
//   bytes_bench noise DISPLAY WINDOW                 puts one window-sized picture of random pixels
//   bytes_bench settle DISPLAY WINDOW RECEIVER       once WINDOW is drawn on, waits until it has been
//                                                    still for a second and its mirror on RECEIVER
//                                                    shows it pixel for pixel; prints "ready" when
//                                                    it watches, then "exact_ms=T": how long after
//                                                    the window's last drawing the mirror was exact
//                                                    (-1 when not within a minute)
#include "x_client.h"

#include <xcb/damage.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>
#include <xcb/xtest.h>

using namespace telvane::testing;

namespace {

int share(const char *display, uint32_t window, const char *receiver) {
    Xcb c = xcb_open(display);
    ShareCodes codes = query_share(c.get());
    if (!codes.present) return 1;
    const uint32_t host = intern(c.get(), receiver);
    send_share(c.get(), codes.major, 1 /* ShareWindow */, host, window, 0);
    for (;;) {
        auto ev = next_share_event(c.get(), codes.first_event, std::chrono::seconds(20));
        if (!ev) return 1;
        if (ev->status == 3) break;
        if (ev->status != 0) return 1;
    }
    std::printf("shared\n");
    std::fflush(stdout);
    char b;
    while (read(0, &b, 1) > 0) {
    }
    return 0;
}

int type(const char *display, uint32_t window, int count, uint32_t keysym = 0, int gap_ms = 20) {
    Xcb c = xcb_open(display);
    xcb_connection_t *x = c.get();
    const xcb_setup_t *s = xcb_get_setup(x);
    Owned<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
        x, xcb_get_keyboard_mapping(x, s->min_keycode, s->max_keycode - s->min_keycode + 1), nullptr));
    std::vector<uint8_t> letters;
    for (int k = s->min_keycode; k <= s->max_keycode; ++k) {
        uint32_t sym = xcb_get_keyboard_mapping_keysyms(map.get())[(k - s->min_keycode) * map->keysyms_per_keycode];
        if (keysym ? sym == keysym : sym >= 'a' && sym <= 'z') letters.push_back(static_cast<uint8_t>(k));
    }
    if (letters.empty()) return 1;
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(x, xcb_get_geometry(x, window), nullptr));
    Owned<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(
        x, xcb_translate_coordinates(x, window, g->root, g->width / 2, g->height / 2), nullptr));
    xcb_test_fake_input(x, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, g->root, t->dst_x, t->dst_y, 0);
    for (int i = 0; i < count; ++i) {
        const uint8_t k = letters[static_cast<size_t>(i) % letters.size()];
        xcb_test_fake_input(x, XCB_KEY_PRESS, k, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(x, XCB_KEY_RELEASE, k, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        sync(x);
        usleep(static_cast<useconds_t>(gap_ms) * 1000);   // a fast typist, one frame per letter
    }
    return 0;
}

int noise(const char *display, uint32_t window) {
    Xcb c = xcb_open(display);
    xcb_connection_t *x = c.get();
    // Into the toolkit's widget window, which covers the shell's own.
    for (;;) {
        Owned<xcb_query_tree_reply_t> t(xcb_query_tree_reply(x, xcb_query_tree(x, window), nullptr));
        if (!t || xcb_query_tree_children_length(t.get()) == 0) break;
        window = xcb_query_tree_children(t.get())[0];
    }
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(x, xcb_get_geometry(x, window), nullptr));
    std::mt19937 rng(7);
    const uint16_t w = g->width, band = 64;
    uint32_t gc = xcb_generate_id(x);
    xcb_create_gc(x, gc, window, 0, nullptr);
    for (uint16_t y = 0; y < g->height; y += band) {
        const uint16_t h = static_cast<uint16_t>(std::min<int>(band, g->height - y));
        std::vector<uint32_t> px(size_t{w} * h);
        for (auto &p : px) p = rng() & 0xffffff;
        xcb_put_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, w, h, 0, static_cast<int16_t>(y), 0, g->depth,
                      static_cast<uint32_t>(px.size() * 4), reinterpret_cast<const uint8_t *>(px.data()));
    }
    sync(x);
    return 0;
}

// Asks for damage reports of `c`'s root; returns the damage, 0 when the display has no DAMAGE.
uint32_t watch_damage(xcb_connection_t *c) {
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_damage_id);
    if (!ext || !ext->present) return 0;
    std::free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    const uint32_t damage = xcb_generate_id(c);
    xcb_damage_create(c, damage, first_screen(c)->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    sync(c);
    return damage;
}

// Takes every event `c` has read; empties the damage when there were any, before the caller
// looks, so that drawing during the look brings a new report.
bool drained(xcb_connection_t *c, uint32_t damage) {
    bool any = false;
    while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(c)}) any = true;
    if (any) {
        xcb_damage_subtract(c, damage, XCB_NONE, XCB_NONE);
        xcb_flush(c);
    }
    return any;
}

// The pixels of `window` on `c`; empty when it cannot be read.
std::string contents(xcb_connection_t *c, uint32_t window, uint16_t width, uint16_t height) {
    Owned<xcb_get_image_reply_t> r(
        xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, width, height, 0xffffff), nullptr));
    if (!r) return {};
    return std::string(reinterpret_cast<const char *>(xcb_get_image_data(r.get())), xcb_get_image_data_length(r.get()));
}

int settle(const char *display, uint32_t window, const char *receiver) {
    using Clock = std::chrono::steady_clock;
    Xcb tx = xcb_open(display), rx = xcb_open(receiver);
    if (!tx || !rx) return 1;
    const uint32_t tx_damage = watch_damage(tx.get()), rx_damage = watch_damage(rx.get());
    const std::vector<uint32_t> mirrors = windows_with(rx.get(), intern(rx.get(), "TL_SERVER_NAME"));
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(tx.get(), xcb_get_geometry(tx.get(), window), nullptr));
    if (!tx_damage || !rx_damage || mirrors.size() != 1 || !g) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    const auto start = Clock::now();
    const auto quiet = std::chrono::seconds(1);
    std::optional<Clock::time_point> drawn, exact;
    pollfd fds[2] = {{xcb_get_file_descriptor(tx.get()), POLLIN, 0}, {xcb_get_file_descriptor(rx.get()), POLLIN, 0}};
    while (Clock::now() - start < std::chrono::minutes(1)) {
        poll(fds, 2, 20);
        const auto now = Clock::now();
        const bool on_window = drained(tx.get(), tx_damage), on_mirror = drained(rx.get(), rx_damage);
        if (on_window) drawn = now, exact.reset();
        if (drawn && !exact && (on_window || on_mirror)) {
            const std::string want = contents(tx.get(), window, g->width, g->height);
            if (!want.empty() && want == contents(rx.get(), mirrors[0], g->width, g->height)) exact = Clock::now();
        }
        if (drawn && exact && now - *drawn >= quiet) {
            std::printf("exact_ms=%.1f\n", std::chrono::duration<double, std::milli>(*exact - *drawn).count());
            return 0;
        }
    }
    std::printf("exact_ms=-1\n");
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "share" && argc == 5) return share(argv[2], static_cast<uint32_t>(std::stoul(argv[3], nullptr, 0)), argv[4]);
    if (mode == "type" && (argc == 5 || argc == 7))
        return type(argv[2], static_cast<uint32_t>(std::stoul(argv[3], nullptr, 0)), std::stoi(argv[4]),
                    argc == 7 ? static_cast<uint32_t>(std::stoul(argv[5], nullptr, 0)) : 0, argc == 7 ? std::stoi(argv[6]) : 20);
    if (mode == "noise" && argc == 4) return noise(argv[2], static_cast<uint32_t>(std::stoul(argv[3], nullptr, 0)));
    if (mode == "settle" && argc == 5) return settle(argv[2], static_cast<uint32_t>(std::stoul(argv[3], nullptr, 0)), argv[4]);
    std::fprintf(stderr,
                 "usage: %s share DISPLAY WINDOW RECEIVER | type DISPLAY WINDOW COUNT [KEYSYM MS] | noise DISPLAY WINDOW | "
                 "settle DISPLAY WINDOW RECEIVER\n",
                 argv[0]);
    return 2;
}
