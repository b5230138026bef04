// Pass-through cost of an X display: round-trip latency and bulk request throughput, measured
// with xcb against whatever display is named. Prints one line: "rtt_us=<mean> bulk_mb_s=<rate>".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <xcb/xcb.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DISPLAY [round-trips] [images]\n", argv[0]);
        return 2;
    }
    const int trips = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int images = argc > 3 ? std::atoi(argv[3]) : 200;
    xcb_connection_t *c = xcb_connect(argv[1], nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    using clock = std::chrono::steady_clock;
    auto sync = [&] { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); };
    sync();

    auto t0 = clock::now();
    for (int i = 0; i < trips; ++i) sync();
    double rtt_us = std::chrono::duration<double, std::micro>(clock::now() - t0).count() / trips;

    // 1 MB images: 512 x 512 pixels of 32 bits, into a pixmap so nothing needs to be visible.
    xcb_screen_t *s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_pixmap_t pm = xcb_generate_id(c);
    xcb_create_pixmap(c, s->root_depth, pm, s->root, 512, 512);
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pm, 0, nullptr);
    std::vector<uint8_t> pixels(512 * 512 * 4, 0x3c);
    sync();
    auto t1 = clock::now();
    for (int i = 0; i < images; ++i)
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pm, gc, 512, 512, 0, 0, 0, s->root_depth,
                      static_cast<uint32_t>(pixels.size()), pixels.data());
    sync();
    double secs = std::chrono::duration<double>(clock::now() - t1).count();
    double mb_s = images * (pixels.size() / 1048576.0) / secs;
    std::printf("rtt_us=%.2f bulk_mb_s=%.1f\n", rtt_us, mb_s);
    xcb_disconnect(c);
    return 0;
}
