// Telepointer drag-to-visible latency beside draw-to-visible latency, in one run.
//
// The benchmark is the sending program: on the display behind telvane-server it shares a grey
// window of its own to receivers A and B, puts a telepointer in it with the program's own
// manager, and handles the sender's events as the program's main loop does. Receiver A holds
// button 2 on the telepointer's mirror (XTEST) and moves it between two places; a watcher on B
// notes when B's mirror shows the telepointer at its new place. Between two drags it draws a
// 25x25 patch into the same window with PutImage and notes when B shows it: the baseline. Both
// clocks start once the causing request has reached its server (a round trip after it).
//
// Usage: telepointer_bench SENDER A B A_NAME B_NAME DRAGS
//   SENDER: telvane-server's display; A, B: the receivers' displays as this program reaches
//   them; A_NAME, B_NAME: the same displays as the server names receivers ("127.0.0.1:N.0").
// Prints one line: drags=N drag_p50_ms=... drag_p95_ms=... drag_p99_ms=... draw_p50_ms=...
#include "core/startup.h"
#include "percentile.h"
#include "extension/share_extension.h"
#include "telepointer/tele_manager.h"
#include "telepointer/tele_rules.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned long kGrey = 0x808080, kMarker = 0x12ab34;
constexpr int kWidth = 400, kHeight = 300;

// Handles everything the sender has sent, as the main loop would route it here.
void pump_sender() {
    while (XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
        ProcessTelepointerEvent(display, &event);
    }
}

unsigned long pixel(Display *dpy, int x, int y) {
    XImage *image = XGetImage(dpy, DefaultRootWindow(dpy), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return ~0ul;
    unsigned long p = XGetPixel(image, 0, 0) & 0xffffff;
    XDestroyImage(image);
    return p;
}

// Where the marker pixel (the shared window's top-left) is on `dpy`'s screen, or -1.
std::pair<int, int> find_marker(Display *dpy) {
    const int w = DisplayWidth(dpy, 0), h = DisplayHeight(dpy, 0);
    XImage *image = XGetImage(dpy, DefaultRootWindow(dpy), 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h),
                              AllPlanes, ZPixmap);
    std::pair<int, int> at{-1, -1};
    for (int y = 0; image && y < h && at.first < 0; ++y)
        for (int x = 0; x < w; ++x)
            if ((XGetPixel(image, x, y) & 0xffffff) == kMarker) {
                at = {x, y};
                break;
            }
    if (image) XDestroyImage(image);
    return at;
}

// Pumps the sender until `done` holds, at most five seconds; whether it held.
template <typename Done> bool until(Done done) {
    auto end = Clock::now() + std::chrono::seconds(5);
    while (!done()) {
        pump_sender();
        if (Clock::now() > end) return false;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, 1);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s SENDER A B A_NAME B_NAME DRAGS\n", argv[0]);
        return 2;
    }
    const int drags = std::atoi(argv[6]);
    display = XOpenDisplay(argv[1]);
    Display *a = XOpenDisplay(argv[2]);
    Display *b = XOpenDisplay(argv[3]);
    if (!display || !a || !b) {
        std::fprintf(stderr, "cannot open the displays\n");
        return 1;
    }
    tlEventType = tlInitialize(display);
    if (!tlEventType) {
        std::fprintf(stderr, "%s has no ShareExtension\n", argv[1]);
        return 1;
    }
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, kWidth, kHeight, 0, 0, kGrey);
    XSetWindowAttributes override{};
    override.override_redirect = True;
    XChangeWindowAttributes(display, window, CWOverrideRedirect, &override);
    XStoreName(display, window, "telepointer probe");
    XMapWindow(display, window);
    GC gc = XCreateGC(display, window, 0, nullptr);
    XSetForeground(display, gc, kMarker);
    XFillRectangle(display, window, gc, 0, 0, 1, 1);
    XSync(display, False);
    for (const char *name : {argv[4], argv[5]}) tlShareWindow(display, window, XInternAtom(display, name, False), 0);
    XSync(display, False);
    std::pair<int, int> at_a{-1, -1}, at_b{-1, -1};
    if (!until([&] { return (at_a = find_marker(a)).first >= 0 && (at_b = find_marker(b)).first >= 0; })) {
        std::fprintf(stderr, "the shared window never showed on both receivers\n");
        return 1;
    }

    InitTelepointer(display, 0, 0, 0);
    Window tele = 0;
    create_tele(display, window, 100, 100, &tele);
    XSync(display, False);
    TeleRecord *t = nullptr;
    find_tele(tele, &t);

    xcb_connection_t *ca = XGetXCBConnection(a);
    auto move_a = [&](int x, int y) {
        xcb_test_fake_input(ca, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, DefaultRootWindow(a),
                            static_cast<int16_t>(at_a.first + x), static_cast<int16_t>(at_a.second + y), 0);
        xcb_flush(ca);
        XSync(a, False);
    };
    // A point of the glyph's background, black while it is dragged, where B's mirror shows the
    // telepointer whose hot spot is at (x, y).
    auto shown_at = [&](int x, int y) {
        return pixel(b, at_b.first + x - tele_hot_x(0) + 20, at_b.second + y - tele_hot_y(0) + 5) == 0;
    };
    move_a(112, 112);
    xcb_test_fake_input(ca, XCB_BUTTON_PRESS, 2, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    XSync(a, False);
    if (!until([&] { return t->direction >= 4 && shown_at(t->x, t->y); })) {
        std::fprintf(stderr, "the drag did not start\n");
        return 1;
    }

    std::vector<double> drag_ms, draw_ms;
    int lost = 0;
    XImage *patch = XCreateImage(display, DefaultVisual(display, 0), static_cast<unsigned>(DefaultDepth(display, 0)),
                                 ZPixmap, 0, static_cast<char *>(malloc(25 * 25 * 4)), 25, 25, 32, 0);
    for (int i = 0; i < drags; ++i) {
        const int x = i % 2 ? 100 : 220, y = i % 2 ? 100 : 160;
        move_a(x, y);
        auto t0 = Clock::now();
        if (until([&] { return shown_at(x, y); }))
            drag_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        else
            ++lost;

        const unsigned long colour = (i % 2 ? 0x3060c0 : 0xc06030) + static_cast<unsigned long>(i % 251);
        for (int py = 0; py < 25; ++py)
            for (int px = 0; px < 25; ++px) XPutPixel(patch, px, py, colour);
        XPutImage(display, window, gc, patch, 0, 0, 340, 20, 25, 25);
        XSync(display, False);
        t0 = Clock::now();
        if (until([&] {
                return pixel(b, at_b.first + 340, at_b.second + 20) == colour &&
                       pixel(b, at_b.first + 364, at_b.second + 44) == colour;
            }))
            draw_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        else
            ++lost;
    }
    xcb_test_fake_input(ca, XCB_BUTTON_RELEASE, 2, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    XSync(a, False);
    if (drag_ms.empty() || draw_ms.empty()) {
        std::printf("drags=0 lost=%d\n", lost);
        return 1;
    }
    std::printf("drags=%zu lost=%d drag_p50_ms=%.3f drag_p95_ms=%.3f drag_p99_ms=%.3f draw_p50_ms=%.3f "
                "draw_p95_ms=%.3f draw_p99_ms=%.3f\n",
                drag_ms.size(), lost, percentile(drag_ms, 0.5), percentile(drag_ms, 0.95), percentile(drag_ms, 0.99),
                percentile(draw_ms, 0.5), percentile(draw_ms, 0.95), percentile(draw_ms, 0.99));
    return 0;
}
