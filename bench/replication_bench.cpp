// Draw-to-visible latency and frame rate of a window's copy on other displays.
//
// The probe notes the time, draws a solid patch into its own window on the drawing display with
// PutImage and flushes; a watcher on each receiving display, woken by damage on the root window,
// waits until the new colour is visible at both corners of the patch's copy. A sample ends when
// the last receiver shows it. Where the copy is (a mirror made by telvane-server, a VNC viewer's
// window, or the probe's own window when it draws straight on the receiver) is found by looking
// for a marker colour on each receiver.
//
// Usage:
//   replication_bench latency DRAW RECEIVERS WIDTH HEIGHT SAMPLES [direct | share RECEIVER_NAME...]
//   replication_bench fps DRAW RECEIVER SECONDS [share RECEIVER_NAME...]
//   replication_bench fps-noise DRAW RECEIVER SECONDS [share RECEIVER_NAME...]   (random pixels)
//   replication_bench hold DRAW RECEIVER SECONDS [share RECEIVER_NAME...]   (a static window)
//   replication_bench classroom-solid|classroom-noise|classroom-photo DRAW RECEIVERS SECONDS [share RECEIVER_NAME...]
//     (whole frames in one new colour, random pixels XOR a new colour, or a photograph-like scene
//     XOR a new colour with that colour in its corners, each drawn once the last receiver shows
//     the one before, a photograph's corners within a few levels; prints "classroom frames=N")
// RECEIVERS is one display or several separated by commas; all of them are watched.
// "share" asks the drawing display's ShareExtension to share the probe's window to each named
// receiver first (the drawing display is then a telvane-server). "direct" is the floor: the probe
// draws on the drawing display, waits until that is done, and puts the same pixels into a window
// of its own on the (first) receiver; its clock starts before the first draw too. Prints
// "window=0x..." as soon as the probe's window exists (so a VNC server can be pointed at it),
// then, with "share", "shown_ms=..." (from the share request until the first copy shows), then one
// line of results.
#include "percentile.h"
#include "x_client.h"

#include <xcb/damage.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace telvane::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kWindowWidth = 800, kWindowHeight = 600;
constexpr uint32_t kMarker = 0x12ab34;

struct Probe {
    Xcb c;
    xcb_screen_t *screen = nullptr;
    uint32_t window = 0;
    xcb_gcontext_t gc = 0;
    std::vector<uint32_t> pixels;
};

struct Watcher {
    Xcb c;
    xcb_screen_t *screen = nullptr;
    uint8_t damage_event = 0;
    xcb_damage_damage_t damage = 0;
};

// Fills the patch at the window's top-left with `colour` by PutImage, the way a program that
// renders its own pixels draws.
void put_patch(Probe &p, uint16_t w, uint16_t h, uint32_t colour) {
    p.pixels.assign(size_t{w} * h, colour);
    // Rows in bands that keep each request well inside the request size limit.
    const uint16_t band = static_cast<uint16_t>(std::max(1, 65536 / w));
    for (uint16_t y = 0; y < h; y += band) {
        uint16_t rows = std::min<uint16_t>(band, static_cast<uint16_t>(h - y));
        xcb_put_image(p.c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, p.window, p.gc, w, rows, 0, static_cast<int16_t>(y), 0,
                      24, static_cast<uint32_t>(size_t{w} * rows * 4),
                      reinterpret_cast<const uint8_t *>(p.pixels.data() + size_t{y} * w));
    }
}

uint32_t pixel_at(Watcher &w, int x, int y) {
    Owned<xcb_get_image_reply_t> r(xcb_get_image_reply(
        w.c.get(),
        xcb_get_image(w.c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, w.screen->root, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), 1, 1, ~0u),
        nullptr));
    if (!r || xcb_get_image_data_length(r.get()) < 4) return 0xffffffff;
    uint32_t v;
    std::memcpy(&v, xcb_get_image_data(r.get()), 4);
    return v & 0xffffff;
}

// Waits for damage on the receiver until `done` holds, at most `limit`. Returns whether it held.
// The damage is emptied before each look, so any change that the look misses reports again; and
// an event that xcb read in while waiting for the look's replies is taken from its queue, since
// the socket will not wake a poll for it a second time.
template <typename Done> bool wait_visible(Watcher &w, Done done, std::chrono::milliseconds limit) {
    auto end = Clock::now() + limit;
    for (;;) {
        xcb_damage_subtract(w.c.get(), w.damage, XCB_NONE, XCB_NONE);
        xcb_flush(w.c.get());
        if (done()) return true;
        bool queued = false;
        while (Owned<xcb_generic_event_t> ev{xcb_poll_for_queued_event(w.c.get())}) queued = true;
        if (queued) continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        pollfd fd{xcb_get_file_descriptor(w.c.get()), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left));
        while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(w.c.get())}) {
        }
    }
}

// Where the top-left of the marker-coloured area is on the receiver's screen, or {-1, -1}. The
// screen is read in one request, which the server answers as one picture: read in pieces, a copy
// painted between two of them could be found at the wrong place.
std::pair<int, int> find_marker(Watcher &w) {
    const int width = w.screen->width_in_pixels, height = w.screen->height_in_pixels;
    Owned<xcb_get_image_reply_t> r(xcb_get_image_reply(
        w.c.get(),
        xcb_get_image(w.c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, w.screen->root, 0, 0, static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), ~0u),
        nullptr));
    if (!r || xcb_get_image_data_length(r.get()) < width * height * 4) return {-1, -1};
    const auto *px = reinterpret_cast<const uint32_t *>(xcb_get_image_data(r.get()));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if ((px[size_t(y) * width + x] & 0xffffff) == kMarker) return {x, y};
    return {-1, -1};
}

// Puts the probe's `pixels`, the size of the whole window.
void put_window(Probe &p) {
    const uint16_t band = 65536 / kWindowWidth;
    for (uint16_t y = 0; y < kWindowHeight; y += band) {
        const uint16_t rows = std::min<uint16_t>(band, static_cast<uint16_t>(kWindowHeight - y));
        xcb_put_image(p.c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, p.window, p.gc, kWindowWidth, rows, 0,
                      static_cast<int16_t>(y), 0, 24, uint32_t{kWindowWidth} * rows * 4,
                      reinterpret_cast<const uint8_t *>(p.pixels.data() + size_t{y} * kWindowWidth));
    }
}

// Fills the whole window with random pixels, a picture no encoding makes smaller.
void put_noise(Probe &p, std::mt19937 &rng) {
    p.pixels.resize(size_t{kWindowWidth} * kWindowHeight);
    for (auto &px : p.pixels) px = rng() & 0xffffff;
    put_window(p);
}

// Whether the w x h area at `at` on the receiver shows `expected` (row by row), every pixel: a
// frame counts as shown only when none of it is torn or missing.
bool frame_is(Watcher &w, std::pair<int, int> at, uint16_t width, uint16_t height, const std::vector<uint32_t> &expected) {
    Owned<xcb_get_image_reply_t> r(xcb_get_image_reply(
        w.c.get(),
        xcb_get_image(w.c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, w.screen->root, static_cast<int16_t>(at.first),
                      static_cast<int16_t>(at.second), width, height, ~0u),
        nullptr));
    if (!r || xcb_get_image_data_length(r.get()) < int{width} * height * 4) return false;
    const auto *px = reinterpret_cast<const uint32_t *>(xcb_get_image_data(r.get()));
    for (size_t i = 0; i < size_t{width} * height; ++i)
        if ((px[i] & 0xffffff) != expected[i]) return false;
    return true;
}

// Whether colours `a` and `b` differ by at most `levels` in each of red, green and blue.
bool near(uint32_t a, uint32_t b, int levels) {
    for (int shift : {0, 8, 16})
        if (std::abs(int(a >> shift & 255) - int(b >> shift & 255)) > levels) return false;
    return true;
}

// Whether every receiver in turn comes to show the w x h patch at its copy's place (`where`) with
// `first` at its top-left corner and `last` at the bottom-right one (within `levels`: a lossy
// picture's), each within 5 s.
bool all_show(std::vector<Watcher> &watchers, const std::vector<std::pair<int, int>> &where, int w, int h,
              uint32_t first, uint32_t last, int levels = 0) {
    for (size_t r = 0; r < watchers.size(); ++r) {
        Watcher &rw = watchers[r];
        const auto [x, y] = where[r];
        if (!wait_visible(rw, [&] { return near(pixel_at(rw, x, y), first, levels) && near(pixel_at(rw, x + w - 1, y + h - 1), last, levels); },
                          std::chrono::seconds(5)))
            return false;
    }
    return true;
}

// Pixel `k` of a photograph-like scene the size of the window: a sky graded to the horizon,
// hills shaded by a slow wave, and grain (not noise: smooth where a photograph is smooth).
uint32_t scene_pixel(size_t k, std::mt19937 &rng) {
    const int x = int(k % kWindowWidth), y = int(k / kWindowWidth);
    const bool ground = y > kWindowHeight / 2 + int(40 * std::sin(x / 70.0));
    const int shade = int(60 * std::cos((x + y) / 90.0));
    int r = ground ? 60 + shade : 90 + y / 4, g = ground ? 130 + shade : 140 + y / 5, b = ground ? 50 : 230 - y / 6;
    const int grain = int(rng() % 9) - 4;
    const auto level = [&](int v) { return uint32_t(std::clamp(v + grain, 0, 255)); };
    return level(r) << 16 | level(g) << 8 | level(b);
}

// Paints 16x16 squares of `colour` into the corners of a window's `pixels`, which the watchers
// look at: flat, so a lossy picture keeps them within a few levels.
void mark_corners(std::vector<uint32_t> &pixels, uint32_t colour) {
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            pixels[size_t(y) * kWindowWidth + x] = colour;
            pixels[size_t(kWindowHeight - 1 - y) * kWindowWidth + kWindowWidth - 1 - x] = colour;
        }
}

bool open_probe(Probe &p, const std::string &display) {
    p.c = xcb_open(display);
    if (!p.c) return false;
    p.screen = first_screen(p.c.get());
    p.window = xcb_generate_id(p.c.get());
    uint32_t values[] = {0, 1};
    xcb_create_window(p.c.get(), XCB_COPY_FROM_PARENT, p.window, p.screen->root, 0, 0, kWindowWidth, kWindowHeight, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, p.screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    const char title[] = "replication probe";
    xcb_change_property(p.c.get(), XCB_PROP_MODE_REPLACE, p.window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        sizeof title - 1, title);
    xcb_map_window(p.c.get(), p.window);
    p.gc = xcb_generate_id(p.c.get());
    xcb_create_gc(p.c.get(), p.gc, p.window, 0, nullptr);
    sync(p.c.get());
    return true;
}

bool open_watcher(Watcher &w, const std::string &display) {
    w.c = xcb_open(display);
    if (!w.c) return false;
    w.screen = first_screen(w.c.get());
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(w.c.get(), &xcb_damage_id);
    if (!ext || !ext->present) return false;
    w.damage_event = ext->first_event;
    std::free(xcb_damage_query_version_reply(w.c.get(), xcb_damage_query_version(w.c.get(), 1, 1), nullptr));
    w.damage = xcb_generate_id(w.c.get());
    xcb_damage_create(w.c.get(), w.damage, w.screen->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    sync(w.c.get());
    return true;
}

bool share_to(Probe &p, const std::vector<std::string> &receivers) {
    ShareCodes codes = query_share(p.c.get());
    if (!codes.present) return false;
    for (const auto &name : receivers) {
        uint32_t host = intern(p.c.get(), name);
        send_share(p.c.get(), codes.major, 1 /* ShareWindow */, host, p.window, 0);
    }
    sync(p.c.get());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s latency DRAW RECEIVER W H SAMPLES [share NAME...] | fps DRAW RECEIVER SECONDS [share NAME...]\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    Probe p;
    std::vector<std::string> watched;
    for (std::string rest = argv[3];;) {
        const size_t comma = rest.find(',');
        watched.push_back(rest.substr(0, comma));
        if (comma == std::string::npos) break;
        rest.erase(0, comma + 1);
    }
    std::vector<Watcher> watchers(watched.size());
    bool opened = open_probe(p, argv[2]);
    for (size_t i = 0; opened && i < watched.size(); ++i) opened = open_watcher(watchers[i], watched[i]);
    if (!opened) {
        std::fprintf(stderr, "cannot open the displays\n");
        return 1;
    }
    Watcher &w = watchers.front();
    const int first_extra = mode == "latency" ? 7 : 5;
    std::printf("window=0x%x\n", p.window);
    std::fflush(stdout);
    std::vector<std::string> receivers;
    const bool direct = argc > first_extra && std::string(argv[first_extra]) == "direct";
    Probe copy;
    if (direct && !open_probe(copy, watched.front())) return 1;
    if (argc > first_extra && std::string(argv[first_extra]) == "share")
        for (int i = first_extra + 1; i < argc; ++i) receivers.emplace_back(argv[i]);
    const auto share_start = Clock::now();
    if (!receivers.empty() && !share_to(p, receivers)) {
        std::fprintf(stderr, "no ShareExtension on %s\n", argv[2]);
        return 1;
    }

    // The whole window in the marker colour, then find its copy on each receiver.
    put_patch(direct ? copy : p, kWindowWidth, kWindowHeight, kMarker);
    sync(direct ? copy.c.get() : p.c.get());
    std::vector<std::pair<int, int>> where(watchers.size(), {-1, -1});
    for (size_t i = 0; i < watchers.size(); ++i) {
        wait_visible(watchers[i], [&] { return (where[i] = find_marker(watchers[i])).first >= 0; },
                     std::chrono::seconds(60));
        if (where[i].first < 0) {
            std::fprintf(stderr, "the probe's window never showed on %s\n", watched[i].c_str());
            return 1;
        }
    }
    const std::pair<int, int> at = where.front();
    if (!receivers.empty()) {
        std::printf("shown_ms=%.3f\n", std::chrono::duration<double, std::milli>(Clock::now() - share_start).count());
        std::fflush(stdout);
    }

    if (mode == "latency") {
        const uint16_t pw = static_cast<uint16_t>(std::atoi(argv[4])), ph = static_cast<uint16_t>(std::atoi(argv[5]));
        const int samples = std::atoi(argv[6]);
        std::vector<double> ms;
        int lost = 0;
        for (int i = 0; i < samples; ++i) {
            uint32_t colour = (i % 2 ? 0x3060c0 : 0xc06030) + static_cast<uint32_t>(i % 251);
            const auto t0 = Clock::now();
            put_patch(p, pw, ph, colour);
            if (direct) {
                sync(p.c.get());
                put_patch(copy, pw, ph, colour);
                xcb_flush(copy.c.get());
            } else {
                xcb_flush(p.c.get());
            }
            // The receivers in turn: the sample ends when the last one has shown it.
            if (!all_show(watchers, where, pw, ph, colour, colour)) {
                ++lost;
                continue;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        if (ms.empty()) {
            std::printf("samples=0 lost=%d\n", lost);
            return 1;
        }
        std::printf("samples=%zu lost=%d p50_ms=%.3f p95_ms=%.3f p99_ms=%.3f\n", ms.size(), lost,
                    percentile(ms, 0.50), percentile(ms, 0.95), percentile(ms, 0.99));
        return 0;
    }

    if (mode == "classroom-solid" || mode == "classroom-noise" || mode == "classroom-photo") {
        // As fast as the last receiver shows each frame: its far corners, on every receiver.
        std::mt19937 rng(7);
        std::vector<uint32_t> noise(size_t{kWindowWidth} * kWindowHeight);
        const bool photo = mode == "classroom-photo";
        for (size_t k = 0; k < noise.size(); ++k) noise[k] = photo ? scene_pixel(k, rng) : rng() & 0xffffff;
        const auto end = Clock::now() + std::chrono::duration<double>(std::atof(argv[4]));
        int frames = 0;
        for (uint32_t i = 1; Clock::now() < end; ++i) {
            const uint32_t colour = (i * 2654435761u) & 0xffffff;
            if (mode == "classroom-solid") {
                p.pixels.assign(noise.size(), colour);
            } else {
                p.pixels.resize(noise.size());
                for (size_t k = 0; k < noise.size(); ++k) p.pixels[k] = noise[k] ^ colour;
            }
            if (photo) mark_corners(p.pixels, colour);
            put_window(p);
            xcb_flush(p.c.get());
            if (all_show(watchers, where, kWindowWidth, kWindowHeight, p.pixels.front(), p.pixels.back(), photo ? 24 : 0))
                ++frames;
        }
        std::printf("classroom frames=%d\n", frames);
        return 0;
    }

    if (mode == "hold") {
        // Nothing changes; whoever measures the server's processor time does it meanwhile.
        poll(nullptr, 0, static_cast<int>(std::atof(argv[4]) * 1000));
        std::printf("held=%s\n", argv[4]);
        return 0;
    }

    // Frames per second: redraw the whole window continuously (in one new colour, or with
    // fps-noise in new random pixels); count the frames that showed on the receiver whole, every
    // pixel as drawn (a frame overtaken by the next one, or shown torn, does not count). The far
    // corner is looked at first, which is cheap; the whole frame is read only once that has changed.
    const bool noise = mode == "fps-noise";
    std::mt19937 rng(7);
    const double seconds = std::atof(argv[4]);
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    int drawn = 0, shown = 0;
    while (Clock::now() < end) {
        if (noise) put_noise(p, rng);
        else put_patch(p, kWindowWidth, kWindowHeight, 0x200000 + static_cast<uint32_t>(drawn * 7919 % 0xdfffff));
        xcb_flush(p.c.get());
        ++drawn;
        // Keep the drawing at most one frame ahead of what the receiver shows.
        const uint32_t corner = p.pixels.back();
        if (wait_visible(w, [&] {
                return pixel_at(w, at.first + kWindowWidth - 1, at.second + kWindowHeight - 1) == corner &&
                       frame_is(w, at, kWindowWidth, kWindowHeight, p.pixels);
            }, std::chrono::milliseconds(200)))
            ++shown;
    }
    std::printf("drawn=%d shown=%d fps=%.1f\n", drawn, shown, shown / seconds);
    return 0;
}
