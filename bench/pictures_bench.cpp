// Photo-like pictures replaced in a window, and how each one reaches a receiver: how soon it is
// shown close to the original, how close, and how soon exactly.
//
//   pictures_bench photo DRAW RECEIVER COUNT INTERVAL_MS THRESHOLD_DB LAST_MS [share RECEIVER_NAME]
//
// The probe opens an 800x600 window on DRAW and prints "window=0x..." (so that a VNC server can
// be pointed at it), shares it when asked, fills it with a marker colour and finds where its copy
// shows on RECEIVER. It then prints "ready" and waits for a line on its standard input, so that
// whoever counts bytes and processor time starts their clocks at the same moment as the first
// picture. Then it puts COUNT pictures, one every INTERVAL_MS (the last one watched for LAST_MS),
// each a different generated scene: smooth gradients, hard edges, shading and grain, as a photo
// has, never noise. After each change the receiver's copy is read whenever it has damage (at most
// every 20 ms) and compared with the picture put: the first time its PSNR reaches THRESHOLD_DB is
// when the picture was "shown", the first time every pixel is equal when it was "exact". When the
// last picture is shown it prints "last_shown" at once. Then one line a picture, and a summary;
// the window stays until the standard input closes:
//   picture=I shown_ms=... exact_ms=... psnr_db=...   (the best PSNR the copy reached; -1 for a
//                                                      time never reached, 99 for exact)
//   pictures=COUNT shown=N in_time=N exact=N shown_ms_max=... shown_ms_median=... last_exact_ms=...
//     psnr_db_min=... psnr_db_median=...
// A picture counts as shown however late (a queue on the way may show it after the next change),
// "in time" if within INTERVAL_MS; it is followed until a newer one shows.
#include "x_client.h"

#include <xcb/damage.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace telvane::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 800, kHeight = 600;
constexpr uint32_t kMarker = 0x12ab34;
constexpr auto kLookGap = std::chrono::milliseconds(20);

using Picture = std::vector<uint32_t>;

uint32_t rgb(double r, double g, double b) {
    auto c = [](double v) { return static_cast<uint32_t>(std::clamp(v, 0.0, 255.0)); };
    return c(r) << 16 | c(g) << 8 | c(b);
}

// A landscape of its own for each seed: a sky graded from the horizon up with a soft sun, two
// ranges of hills with shaded slopes and hard ridges, a lake mirroring the sky, a few buildings
// with lit windows, a vignette, and sensor grain over all.
Picture scene(unsigned seed) {
    std::mt19937 rng(seed * 7919 + 17);
    std::uniform_real_distribution<double> u(0, 1);
    std::normal_distribution<double> grain(0, 3.5);
    const double hue = u(rng), sun_x = 100 + 600 * u(rng), sun_y = 60 + 140 * u(rng), horizon = 330 + 80 * u(rng);
    const double sky_top[3] = {20 + 60 * hue, 60 + 60 * u(rng), 140 + 100 * u(rng)};
    const double sky_low[3] = {230 - 40 * hue, 170 + 60 * u(rng), 120 + 80 * u(rng)};
    double far_f[3], near_f[3], far_a[3], near_a[3];
    for (int k = 0; k < 3; ++k) {
        far_f[k] = 0.004 + 0.02 * u(rng), near_f[k] = 0.008 + 0.03 * u(rng);
        far_a[k] = 10 + 40 * u(rng), near_a[k] = 10 + 30 * u(rng);
    }
    const double far_base = horizon - 90 - 60 * u(rng), near_base = horizon - 20 - 30 * u(rng);
    const double far_col[3] = {70 + 50 * u(rng), 80 + 40 * u(rng), 110 + 40 * u(rng)};
    const double near_col[3] = {40 + 50 * u(rng), 70 + 60 * u(rng), 30 + 30 * u(rng)};
    struct Building { int x0, x1, top; double shade; };
    std::vector<Building> buildings;
    for (int b = 0, n = 3 + static_cast<int>(5 * u(rng)); b < n; ++b) {
        const int x0 = static_cast<int>(800 * u(rng)), w = 30 + static_cast<int>(90 * u(rng));
        buildings.push_back({x0, x0 + w, static_cast<int>(horizon - 40 - 160 * u(rng)), 40 + 80 * u(rng)});
    }
    Picture px(size_t{kWidth} * kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double sy = std::min(1.0, std::max(0.0, y / horizon));
            double c[3];
            for (int k = 0; k < 3; ++k) c[k] = sky_top[k] + (sky_low[k] - sky_top[k]) * sy;
            const double d = std::hypot(x - sun_x, y - sun_y);
            const double glow = 180 * std::exp(-d * d / 9000.0) + (d < 28 ? 60 : 0);
            for (int k = 0; k < 3; ++k) c[k] += glow * (k == 2 ? 0.6 : 1.0);
            double far_ridge = far_base, near_ridge = near_base;
            for (int k = 0; k < 3; ++k) {
                far_ridge += far_a[k] * std::sin(far_f[k] * x + k * 1.7 + seed);
                near_ridge += near_a[k] * std::sin(near_f[k] * x + k * 2.3 + seed * 0.5);
            }
            if (y >= far_ridge && y < horizon) {
                const double s = 0.75 + 0.25 * std::sin(0.05 * x + 0.02 * y);
                for (int k = 0; k < 3; ++k) c[k] = far_col[k] * s + 0.15 * (y - far_ridge);
            }
            for (const Building &b : buildings) {
                if (x >= b.x0 && x < b.x1 && y >= b.top && y < horizon) {
                    const bool lit = (x - b.x0) % 12 > 5 && (y - b.top) % 16 > 8 && (x * 31 + y / 16 * 17) % 5 < 2;
                    const double edge = (x - b.x0) < 4 ? 0.7 : 1.0;
                    for (int k = 0; k < 3; ++k) c[k] = lit ? (k == 2 ? 120 : 230) : b.shade * edge * (k == 2 ? 1.2 : 1.0);
                }
            }
            if (y >= near_ridge && y < horizon + 10) {
                const double s = 0.6 + 0.4 * (y - near_ridge) / (horizon + 10 - near_ridge);
                for (int k = 0; k < 3; ++k) c[k] = near_col[k] * (1.4 - s);
            }
            if (y >= horizon + 10) {  // the lake: the sky mirrored, darker, rippled
                const int my = static_cast<int>(2 * horizon + 20 - y + 3 * std::sin(0.15 * y + 0.03 * x));
                const double ry = std::min(1.0, std::max(0.0, my / horizon));
                const double ripple = 8 * std::sin(0.9 * y + 0.04 * x + seed) * std::sin(0.013 * x + 0.05 * y);
                for (int k = 0; k < 3; ++k) c[k] = 0.6 * (sky_top[k] + (sky_low[k] - sky_top[k]) * ry) + 10 + ripple;
            }
            const double vx = (x - 400) / 400.0, vy = (y - 300) / 300.0, vignette = 1 - 0.25 * (vx * vx + vy * vy);
            const double g = grain(rng);
            px[size_t(y) * kWidth + x] = rgb(c[0] * vignette + g, c[1] * vignette + g, c[2] * vignette + g);
        }
    }
    return px;
}

struct Display {
    Xcb c;
    xcb_screen_t *screen = nullptr;
};

void put(Display &d, uint32_t window, xcb_gcontext_t gc, const Picture &px) {
    const int band = 65536 / kWidth;
    for (int y = 0; y < kHeight; y += band) {
        const int rows = std::min(band, kHeight - y);
        xcb_put_image(d.c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, kWidth, static_cast<uint16_t>(rows), 0,
                      static_cast<int16_t>(y), 0, 24, static_cast<uint32_t>(kWidth * rows * 4),
                      reinterpret_cast<const uint8_t *>(px.data() + size_t(y) * kWidth));
    }
    xcb_flush(d.c.get());
}

// The receiver's screen from (x, y), w x h, in one request: the server answers it as one picture.
Owned<xcb_get_image_reply_t> grab(Display &d, int x, int y, int w, int h) {
    Owned<xcb_get_image_reply_t> r(xcb_get_image_reply(
        d.c.get(),
        xcb_get_image(d.c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, d.screen->root, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(w), static_cast<uint16_t>(h), ~0u),
        nullptr));
    if (r && xcb_get_image_data_length(r.get()) < w * h * 4) r.reset();
    return r;
}

// PSNR of `got` (the receiver's copy) against `want`, over the three colours, from every
// `stride`th pixel; 99 when they are equal.
double psnr(const uint32_t *got, const Picture &want, size_t stride = 1) {
    uint64_t sum = 0, n = 0;
    for (size_t i = 0; i < want.size(); i += stride, ++n) {
        const uint32_t a = got[i], b = want[i];
        for (int s = 0; s < 24; s += 8) {
            const int e = static_cast<int>((a >> s) & 0xff) - static_cast<int>((b >> s) & 0xff);
            sum += static_cast<uint64_t>(e * e);
        }
    }
    if (sum == 0) return 99;
    const double mse = static_cast<double>(sum) / (3.0 * static_cast<double>(n));
    return 10 * std::log10(255.0 * 255.0 / mse);
}

std::pair<int, int> find_marker(Display &rx) {
    const int w = rx.screen->width_in_pixels, h = rx.screen->height_in_pixels;
    auto r = grab(rx, 0, 0, w, h);
    if (!r) return {-1, -1};
    const auto *px = reinterpret_cast<const uint32_t *>(xcb_get_image_data(r.get()));
    for (int y = 0; y + kHeight <= h; ++y)
        for (int x = 0; x + kWidth <= w; ++x)
            if ((px[size_t(y) * w + x] & 0xffffff) == kMarker &&
                (px[size_t(y + kHeight - 1) * w + x + kWidth - 1] & 0xffffff) == kMarker)
                return {x, y};
    return {-1, -1};
}

// Empties the receiver's damage: whatever is drawn after this brings a new event.
void clear_damage(Display &rx, xcb_damage_damage_t damage) {
    xcb_damage_subtract(rx.c.get(), damage, XCB_NONE, XCB_NONE);
    xcb_flush(rx.c.get());
}

// Waits until the receiver has damage or `until` passes, and empties it as soon as it came,
// before the caller looks: a change drawn while the caller looks then brings an event of its own
// (emptied after the look, its change would go unreported until the next picture).
void wait_damage(Display &rx, xcb_damage_damage_t damage, Clock::time_point until) {
    for (bool any = false;;) {
        while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(rx.c.get())}) any = true;
        if (any) return clear_damage(rx, damage);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return;
        pollfd fd{xcb_get_file_descriptor(rx.c.get()), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left));
    }
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) / 2];
}

int photo(int argc, char **argv) {
    if (argc < 8) return 2;
    const int count = std::atoi(argv[4]);
    const auto interval = std::chrono::milliseconds(std::atoi(argv[5]));
    const double threshold = std::atof(argv[6]);
    const auto last_wait = std::chrono::milliseconds(std::atoi(argv[7]));
    Display tx{xcb_open(argv[2])}, rx{xcb_open(argv[3])};
    if (!tx.c || !rx.c) {
        std::fprintf(stderr, "pictures_bench: cannot open %s or %s\n", argv[2], argv[3]);
        return 1;
    }
    tx.screen = first_screen(tx.c.get());
    rx.screen = first_screen(rx.c.get());
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(rx.c.get(), &xcb_damage_id);
    if (!ext || !ext->present) return 1;
    std::free(xcb_damage_query_version_reply(rx.c.get(), xcb_damage_query_version(rx.c.get(), 1, 1), nullptr));
    const xcb_damage_damage_t damage = xcb_generate_id(rx.c.get());
    xcb_damage_create(rx.c.get(), damage, rx.screen->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);

    // The scenes are made before anything is timed: making one takes longer than a frame.
    std::vector<Picture> pictures;
    for (int i = 0; i < count; ++i) pictures.push_back(scene(static_cast<unsigned>(i + 1)));

    const uint32_t window = xcb_generate_id(tx.c.get());
    const uint32_t values[] = {kMarker, 1};
    xcb_create_window(tx.c.get(), XCB_COPY_FROM_PARENT, window, tx.screen->root, 0, 0, kWidth, kHeight, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, tx.screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    const char title[] = "pictures probe";
    xcb_change_property(tx.c.get(), XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        sizeof title - 1, title);
    xcb_map_window(tx.c.get(), window);
    const xcb_gcontext_t gc = xcb_generate_id(tx.c.get());
    xcb_create_gc(tx.c.get(), gc, window, 0, nullptr);
    put(tx, window, gc, Picture(size_t{kWidth} * kHeight, kMarker));
    sync(tx.c.get());
    std::printf("window=0x%x\n", window);
    std::fflush(stdout);
    if (argc > 9 && std::string(argv[8]) == "share") {
        ShareCodes codes = query_share(tx.c.get());
        if (!codes.present) {
            std::fprintf(stderr, "pictures_bench: no ShareExtension on %s\n", argv[2]);
            return 1;
        }
        send_share(tx.c.get(), codes.major, 1 /* ShareWindow */, intern(tx.c.get(), argv[9]), window, 0);
        sync(tx.c.get());
    }
    std::pair<int, int> at{-1, -1};
    for (auto end = Clock::now() + std::chrono::seconds(60); at.first < 0 && Clock::now() < end;) {
        wait_damage(rx, damage, Clock::now() + std::chrono::milliseconds(200));
        at = find_marker(rx);
    }
    if (at.first < 0) {
        std::fprintf(stderr, "pictures_bench: the window never showed on %s\n", argv[3]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string go;
    std::getline(std::cin, go);

    // A picture that the next one replaced before it showed may still show later, from a queue
    // on the way; and one shown lossily may be made exact later. So every look compares the copy
    // with each picture from the newest one shown so far on, until a newer one shows.
    const size_t n = pictures.size();
    std::vector<double> shown_at(n, -1), exact_at(n, -1), best_db(n, 0);
    std::vector<Clock::time_point> put_at(n);
    size_t newest_shown = 0;
    for (size_t i = 0; i < n; ++i) {
        put_at[i] = Clock::now();
        clear_damage(rx, damage);
        put(tx, window, gc, pictures[i]);
        const auto end = put_at[i] + (i + 1 == n ? last_wait : interval);
        auto next_look = put_at[i];
        while (Clock::now() < end && exact_at[i] < 0) {
            wait_damage(rx, damage, end);
            if (Clock::now() < next_look) std::this_thread::sleep_until(std::min(next_look, end));
            next_look = Clock::now() + kLookGap;
            auto r = grab(rx, at.first, at.second, kWidth, kHeight);
            const auto now = Clock::now();
            if (!r) continue;
            const auto *got = reinterpret_cast<const uint32_t *>(xcb_get_image_data(r.get()));
            for (size_t k = newest_shown; k <= i; ++k) {
                if (exact_at[k] >= 0) continue;
                const double db = psnr(got, pictures[k]);
                const double ms = std::chrono::duration<double, std::milli>(now - put_at[k]).count();
                best_db[k] = std::max(best_db[k], db);
                if (shown_at[k] < 0 && db >= threshold) {
                    shown_at[k] = ms;
                    // Said at once, so that the bytes sent until the last picture showed can be told
                    // from those of an exact copy that follows.
                    if (k + 1 == n) std::printf("last_shown\n"), std::fflush(stdout);
                }
                if (db >= 99) exact_at[k] = ms;
                if (shown_at[k] >= 0) newest_shown = k;
            }
        }
        if (i + 1 < n) std::this_thread::sleep_until(end);
    }
    std::vector<double> shown_ms;
    int shown = 0, in_time = 0, exact = 0;
    for (size_t i = 0; i < n; ++i) {
        std::printf("picture=%zu shown_ms=%.1f exact_ms=%.1f psnr_db=%.2f\n", i, shown_at[i], exact_at[i], best_db[i]);
        if (shown_at[i] >= 0) shown_ms.push_back(shown_at[i]);
        shown += shown_at[i] >= 0;
        in_time += shown_at[i] >= 0 && shown_at[i] <= std::chrono::duration<double, std::milli>(interval).count();
        exact += exact_at[i] >= 0;
    }
    const double last_exact = exact_at.back();
    const std::vector<double> &psnrs = best_db;
    std::printf("pictures=%d shown=%d in_time=%d exact=%d shown_ms_max=%.1f shown_ms_median=%.1f last_exact_ms=%.1f "
                "psnr_db_min=%.2f psnr_db_median=%.2f\n",
                count, shown, in_time, exact, shown_ms.empty() ? -1 : *std::max_element(shown_ms.begin(), shown_ms.end()),
                median(shown_ms), last_exact, *std::min_element(psnrs.begin(), psnrs.end()), median(psnrs));
    std::fflush(stdout);
    // The window stays until the standard input closes: a VNC server serving it would end with it,
    // before its processor time is read.
    while (std::getline(std::cin, go)) {
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::string(argv[1]) == "photo") {
        const int rc = photo(argc, argv);
        if (rc != 2) return rc;
    }
    std::fprintf(stderr, "usage: %s photo DRAW RECEIVER COUNT INTERVAL_MS THRESHOLD_DB LAST_MS [share NAME]\n",
                 argv[0]);
    return 2;
}
