// Replication of shared windows onto receivers: pixels, size, map state, titles and marks, other
// depths, receivers that die or stop, a share passed on onward; and input from receivers.
#include "mirror_probe.h"
#include "window_manager.h"
#include "x_probe.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xtest.h>

using namespace telvane::testing;
using namespace std::chrono_literals;

namespace {

// A window of `c` filled with `colour`, and the pixels it should show as the test draws.
struct Canvas {
    xcb_connection_t *c;
    uint32_t window;
    uint16_t width, height;
    std::vector<uint32_t> px;
    Canvas(xcb_connection_t *c, const std::string &title, uint16_t w, uint16_t h, uint32_t colour)
        : c(c), window(solid_window(c, title, w, h, colour)), width(w), height(h), px(size_t{w} * h, colour) {}

    void paint(int x, int y, int w, int h, uint32_t colour) {
        for (int yy = y; yy < y + h && yy < height; ++yy)
            for (int xx = x; xx < x + w && xx < width; ++xx) px[size_t(yy) * width + xx] = colour;
    }
    void fill(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t colour) {
        telvane::testing::fill(c, window, x, y, w, h, colour);
        paint(x, y, w, h, colour);
    }
    // Puts a block of random pixels, or of `colours` when given (as text is).
    void noise(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t seed, std::vector<uint32_t> colours = {}) {
        const std::vector<uint32_t> block = put_noise(c, window, x, y, w, h, seed, colours);
        for (int yy = 0; yy < h; ++yy)
            for (int xx = 0; xx < w; ++xx) px[size_t(y + yy) * width + x + xx] = block[size_t(yy) * w + xx];
    }
    // Copies the area (x, y, w, h) of the window by (dx, dy), as a terminal scrolls.
    void scroll(int16_t x, int16_t y, uint16_t w, uint16_t h, int16_t dx, int16_t dy) {
        uint32_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, window, 0, nullptr);
        xcb_copy_area(c, window, window, gc, x, y, static_cast<int16_t>(x + dx), static_cast<int16_t>(y + dy), w, h);
        xcb_free_gc(c, gc);
        xcb_flush(c);
        std::vector<uint32_t> before = px;
        for (int yy = 0; yy < h; ++yy)
            for (int xx = 0; xx < w; ++xx)
                px[size_t(y + dy + yy) * width + x + dx + xx] = before[size_t(y + yy) * width + x + xx];
    }
};

class Replication : public SenderTest {};

// Stops a process, and lets it go on when the test ends, however it ends.
struct Stopped {
    pid_t pid;
    explicit Stopped(pid_t p) : pid(p) { EXPECT_EQ(kill(p, SIGSTOP), 0); }
    ~Stopped() { kill(pid, SIGCONT); }
};

// A window's place on its screen and its size.
struct Place {
    int x = 0, y = 0, width = 0, height = 0;
    bool inside(int w, int h) const { return x >= 0 && y >= 0 && x + width <= w && y + height <= h; }
    bool overlaps(const Place &o) const {
        return x < o.x + o.width && o.x < x + width && y < o.y + o.height && o.y < y + height;
    }
};
Place place_of(xcb_connection_t *c, uint32_t w) {
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr));
    Owned<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, w, first_screen(c)->root, 0, 0), nullptr));
    if (!g || !t) return {};
    return {t->dst_x, t->dst_y, g->width, g->height};
}

// The receiver's window manager of the row: none, a reparenting one, and an EWMH one.
class ReceiverWindowManager : public SenderTest, public ::testing::WithParamInterface<std::string> {};

// Input given with XTEST onto mirrors is heard on the shared window; the server's trace tells what it dropped.
constexpr uint32_t kXkA = 0x61, kXkB = 0x62, kXkC = 0x63, kXkQ = 0x71;

// The unshifted keysym of each keycode on `c`'s display.
std::vector<uint32_t> keymap(xcb_connection_t *c) {
    const xcb_setup_t *s = xcb_get_setup(c);
    Owned<xcb_get_keyboard_mapping_reply_t> r(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, s->min_keycode, s->max_keycode - s->min_keycode + 1), nullptr));
    std::vector<uint32_t> out(256, 0);
    for (int k = s->min_keycode; k <= s->max_keycode; ++k)
        out[k] = xcb_get_keyboard_mapping_keysyms(r.get())[(k - s->min_keycode) * r->keysyms_per_keycode];
    return out;
}

uint8_t keycode_of(xcb_connection_t *c, uint32_t keysym) {
    auto map = keymap(c);
    return static_cast<uint8_t>(std::find(map.begin(), map.end(), keysym) - map.begin());
}

// A display where someone gives input: a receiver, or the sender itself for the local user.
struct Desk {
    xcb_connection_t *c = nullptr;
    uint32_t mirror = 0, host = 0;

    void point(uint32_t window, int16_t x, int16_t y) {
        uint32_t root = first_screen(c)->root;
        Owned<xcb_translate_coordinates_reply_t> t(
            xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, root, x, y), nullptr));
        ASSERT_TRUE(t);
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, t->dst_x, t->dst_y, 0);
    }
    // Gives input `type` (a key or button press or release) of key or button `detail`.
    void fake(uint8_t type, uint8_t detail) { xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0); }
    // Points at (x, y) of `window` (unless it is 0), then presses and releases key or button `detail`.
    void press(uint8_t press_type, uint32_t window, int16_t x, int16_t y, uint8_t detail) {
        if (window) point(window, x, y);
        fake(press_type, detail);
        fake(uint8_t(press_type + 1), detail);   // the release follows the press
        sync(c);
    }
    void click(uint32_t w, int16_t x, int16_t y, uint8_t button = 1) { press(XCB_BUTTON_PRESS, w, x, y, button); }
    void type(uint32_t w, int16_t x, int16_t y, uint8_t keycode) { press(XCB_KEY_PRESS, w, x, y, keycode); }
};

class ReceiverInput : public SenderTest {
protected:
    void listen(uint32_t w) {
        uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS |
                        XCB_EVENT_MASK_BUTTON_RELEASE;
        xcb_change_window_attributes(c.get(), w, XCB_CW_EVENT_MASK, &mask);
        sync(c.get());
    }
    // A new receiver with the window shared to it, its mirror shown and its input allowed.
    Desk receiver() {
        Receiver &r = add_receiver();
        Desk d{r.c.get(), share(r, window), r.host};
        EXPECT_TRUE(d.mirror && MirrorWatch(d.c, d.mirror).viewable(true));
        allow_input(d.host);
        return d;
    }
    // Waits until the server has judged an input, e.g. "x=30 y=30 drop-disallowed".
    bool decided(const std::string &what) { return wait_for_text(scratch.file("trace"), what, 10s); }

    // The next event of type `type` (a key or button press or release) that the sender (or `on`) hears.
    Owned<xcb_key_press_event_t> heard(uint8_t type, xcb_connection_t *on = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (auto ev = next_event(on ? on : c.get(), time_left(deadline)))
            if ((ev->response_type & 0x7f) == type)
                return Owned<xcb_key_press_event_t>(reinterpret_cast<xcb_key_press_event_t *>(ev.release()));
        return nullptr;
    }
    void expect_key(uint32_t keysym) {
        auto ev = heard(XCB_KEY_PRESS);
        ASSERT_TRUE(ev) << "no key arrived";
        EXPECT_EQ(keymap(c.get())[ev->detail], keysym);
    }
    void expect_click(uint32_t on, uint8_t button, int16_t x, int16_t y) {
        auto ev = heard(XCB_BUTTON_PRESS);
        ASSERT_TRUE(ev) << "no click arrived";
        EXPECT_EQ(std::tuple(ev->event, ev->detail, ev->event_x, ev->event_y), std::tuple(on, button, x, y));
    }

    uint32_t window = 0;
};

}  // namespace

TEST_F(Replication, MirrorsFollowDrawsScrollsTitlesSizeAndMapStateOnwardWhileAllowedAClassroomKeepsEveryFrameWhileOneIsStopped) {
    Receiver &r = add_receiver();
    Canvas canvas(c.get(), "pixels", 160, 120, 0x204060);
    const uint32_t w = canvas.window;
    MirrorWatch mirror(r.c.get(), share(r, w));
    EXPECT_TRUE(mirror.shows(canvas.px, 160, 120));

    canvas.noise(10, 20, 90, 70, 1);
    EXPECT_EQ(pixels(c.get(), w, 160, 120), canvas.px) << "the sender itself shows what was drawn";
    EXPECT_TRUE(mirror.shows(canvas.px, 160, 120));

    // Another client's window covers it and reaches past the screen's edge; drawing goes on.
    Xcb other = xcb_open(server->name());
    solid_window(other.get(), "cover", 400, 300, 0xffffff);
    sync(other.get());
    canvas.noise(50, 0, 110, 120, 2);
    for (int16_t y = 0; y < 120; y += 2) canvas.fill(0, y, 40, 1, 0x010101u * static_cast<uint32_t>(y));
    EXPECT_TRUE(mirror.shows(canvas.px, 160, 120));

    // A child window is part of the picture.
    const uint32_t red = 0xff0000, child = new_window(c.get(), w, 100, 80, 30, 20, XCB_CW_BACK_PIXEL, &red);
    xcb_map_window(c.get(), child);
    canvas.paint(100, 80, 30, 20, red);
    fill(c.get(), child, 0, 0, 10, 10, 0x00ff00);
    canvas.paint(100, 80, 10, 10, 0x00ff00);
    EXPECT_TRUE(mirror.shows(canvas.px, 160, 120));

    // Shared on its own as well, the child's mirror has no order against its parent's, which shows it.
    MirrorWatch child_mirror(r.c.get(), share(r, child, false));
    const uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(r.c.get(), mirror.id(), XCB_CONFIG_WINDOW_STACK_MODE, &above);
    fill(c.get(), child, 10, 10, 20, 10, 0x0000ff);
    canvas.paint(110, 90, 20, 10, 0x0000ff);
    EXPECT_TRUE(mirror.shows(canvas.px, 160, 120));

    // Two-colour text, and a scroll whose source the receiver lost.
    Canvas page(c.get(), "encodings", 200, 160, 0xffffff);
    MirrorWatch page_mirror(r.c.get(), share(r, page.window, false));
    const std::vector<uint32_t> text{0xffffff, 0x000000};
    for (int16_t line = 0; line < 8; ++line)
        page.noise(4, static_cast<int16_t>(line * 13), 180, 11, 10u + line, text);
    EXPECT_TRUE(page_mirror.shows(page.px, 200, 160));
    // A window on the receiver over the mirror's top half: the scroll copies from there.
    uint32_t over = solid_window(r.c.get(), "over", 400, 60, 0x00ff00);
    sync(r.c.get());
    page.scroll(0, 13, 200, 147, 0, -13);
    page.noise(4, 147, 180, 11, 99, text);
    xcb_destroy_window(r.c.get(), over);
    sync(r.c.get());
    EXPECT_TRUE(page_mirror.shows(page.px, 200, 160)) << "after the receiver lost part of it";

    // Onward: the middle display runs its own telvane-server; the sender's mirror is made through it.
    auto middle = XvfbServer::start();
    ASSERT_TRUE(middle);
    auto middle_server = ShareServer::start(middle->name());
    ASSERT_TRUE(middle_server);
    Xcb mid = xcb_open(middle_server->name());
    ASSERT_TRUE(mid);
    watch_root(mid.get());
    ShareCodes mid_codes = query_share(mid.get());
    Receiver &third = add_receiver();

    Canvas chained(c.get(), "chained", 120, 90, 0);
    chained.noise(0, 0, 120, 90, 3);
    uint32_t daisy = intern(c.get(), "TL_DAISY_CHAIN_ALLOWED");
    set_property(c.get(), chained.window, daisy, "", XCB_ATOM_ATOM);
    send_share(c.get(), codes.major, kShareWindow, intern(c.get(), middle_server->tcp_name() + ".0"), chained.window, 0);
    expect_event(0);
    expect_event(3);
    uint32_t copy = wait_new_mirror(mid.get(), intern(mid.get(), "TL_SERVER_NAME"));
    ASSERT_NE(copy, 0u);
    MirrorWatch copy_watch(mid.get(), copy);
    EXPECT_TRUE(copy_watch.property_is(intern(mid.get(), "TL_DAISY_CHAIN_ALLOWED"), ""));
    EXPECT_TRUE(copy_watch.shows(chained.px, 120, 90));

    // Onward from the middle to the third display, which then follows the sender's drawing.
    const uint32_t third_host = intern(mid.get(), "127.0.0.1:" + std::to_string(third.xvfb->number()) + ".0");
    auto mid_event = [&](uint8_t status) { expect_event(status, {}, {}, mid.get(), mid_codes.first_event); };
    send_share(mid.get(), mid_codes.major, kShareWindow, third_host, copy, 0);
    mid_event(0);
    mid_event(3);
    MirrorWatch far(third.c.get(), wait_new_mirror(third.c.get(), third.marker));
    EXPECT_TRUE(far.shows(chained.px, 120, 90));
    chained.noise(30, 20, 60, 40, 4);
    EXPECT_TRUE(far.shows(chained.px, 120, 90));

    // The sender withdraws its permission: the copy loses the mark and goes from the third display.
    xcb_delete_property(c.get(), chained.window, daisy);
    xcb_flush(c.get());
    mid_event(4);
    mid_event(2);
    EXPECT_TRUE(copy_watch.property_is(intern(mid.get(), "TL_DAISY_CHAIN_ALLOWED"), "", false));
    send_share(mid.get(), mid_codes.major, kShareWindow, third_host, copy, 0);
    mid_event(5);

    // A classroom: seven receivers alike share one encoding; one keeps pixels in 16 bits, a group of its own,
    // and one with DirectColor is refused.
    std::vector<Receiver *> rx;
    for (int i = 0; i < 7; ++i) rx.push_back(&add_receiver());
    XvfbServer::Options shallow;
    shallow.screen = "640x480x16";
    rx.push_back(&add_receiver(shallow));
    Canvas lesson(c.get(), "lesson", 400, 300, 0x204060);
    std::vector<std::unique_ptr<MirrorWatch>> mirrors;
    for (Receiver *r : rx) mirrors.push_back(std::make_unique<MirrorWatch>(r->c.get(), share(*r, lesson.window)));
    expect_event(11, lesson.window, rx[7]->host);   // the 16-bit receiver's pixels are converted
    Receiver &d = add_receiver({.extra = {"-cc", "5"}});
    share_expecting(102, d.host, lesson.window);
    EXPECT_TRUE(windows_with(d.c.get(), d.marker).empty());
    const auto in_16_bits = [](std::vector<uint32_t> px) {
        const auto channel = [](uint32_t v, uint32_t max) { return (v * max + 127) / 255; };
        for (uint32_t &p : px)
            p = channel(p >> 16, 31) << 11 | channel((p >> 8) & 0xff, 63) << 5 | channel(p & 0xff, 31);
        return px;
    };
    const auto all_show = [&](size_t skip) {
        for (size_t i = 0; i < mirrors.size(); ++i)
            if (i != skip && !mirrors[i]->shows(i == 7 ? in_16_bits(lesson.px) : lesson.px, 400, 300)) return false;
        return true;
    };
    ASSERT_TRUE(all_show(~size_t{0}));

    // Far more than the stopped receiver's socket takes; the others show every frame meanwhile.
    std::optional<Stopped> stopped(rx[3]->xvfb->process().pid());
    for (uint32_t frame = 0; frame < 40; ++frame) {
        lesson.noise(0, 0, 400, 300, 100 + frame);
        if (frame % 4 == 1) lesson.scroll(0, 10, 400, 290, 0, -7);
        ASSERT_TRUE(all_show(3)) << "frame " << frame;
    }
    stopped.reset();
    EXPECT_TRUE(mirrors[3]->shows(lesson.px, 400, 300)) << "the stopped receiver caught up";
    lesson.scroll(0, 0, 400, 280, 0, 20);
    EXPECT_TRUE(all_show(~size_t{0})) << "and follows the group again";

    // The page's title, size (larger now) and map state follow it on its mirror.
    set_property(c.get(), page.window, XCB_ATOM_WM_NAME, "[host] after [SHARED]");
    EXPECT_TRUE(page_mirror.property_is(XCB_ATOM_WM_NAME, "[host] after [SHARED]"));

    uint32_t size[] = {240, 180};
    xcb_configure_window(c.get(), page.window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    fill(c.get(), page.window, 0, 0, 240, 180, 0x996633);
    EXPECT_TRUE(page_mirror.sized(240, 180));
    EXPECT_TRUE(page_mirror.shows_solid(0x996633, 240, 180));
    xcb_unmap_window(c.get(), page.window);
    xcb_flush(c.get());
    EXPECT_TRUE(page_mirror.viewable(false));
    xcb_map_window(c.get(), page.window);
    fill(c.get(), page.window, 0, 0, 240, 180, 0x123456);
    EXPECT_TRUE(page_mirror.viewable(true));
    EXPECT_TRUE(page_mirror.shows_solid(0x123456, 240, 180));

    // The server may now take little more memory than it holds: not a copy of a huge window.
    ASSERT_TRUE(limit_address_space(server->process().pid(), 256 * 1024));
    uint32_t huge = make_window(c.get(), "huge", 10000, 10000);
    share_expecting(101, r.host, huge);
    fill(c.get(), page.window, 0, 0, 60, 40, 0x665544);
    EXPECT_TRUE(page_mirror.shows_solid(0x665544, 60, 40));
    uint32_t another = make_window(c.get(), "another", 30, 30);
    share_expecting(3, r.host, another);

    // The receiver's user closes the mirror through the window manager's protocol.
    std::unique_ptr<Display, decltype(&XCloseDisplay)> at_receiver(XOpenDisplay(r.xvfb->name().c_str()), XCloseDisplay);
    close_by_window_manager(at_receiver.get(), page_mirror.id());
    expect_event(4, page.window, r.host);
}

class ReplicationTimeLimit : public SenderTest {
protected:
    ReplicationTimeLimit() { options.extra = {"--receiver-timeout", "2"}; }
};

TEST_F(ReplicationTimeLimit, ReceiversThatDieOrStopAnsweringAreDroppedWhileTheOthersGoOn) {
    Receiver &steady = add_receiver();
    Receiver &dying = add_receiver();
    Receiver &stuck = add_receiver();
    uint32_t w = solid_window(c.get(), "watched", 400, 300, 0x101010);
    MirrorWatch mirror(steady.c.get(), share(steady, w));
    share(dying, w);
    share(stuck, w);

    dying.c.reset();
    dying.xvfb->process().stop(9);
    // Killed outright, it leaves its lock and socket behind: they are the test's to take away.
    const std::string number = std::to_string(dying.xvfb->number());
    unlink(("/tmp/.X" + number + "-lock").c_str());
    unlink(("/tmp/.X11-unix/X" + number).c_str());
    expect_event(12, {}, dying.host);
    expect_event(4, w, dying.host);
    expect_event(2, {}, dying.host);
    fill(c.get(), w, 0, 0, 400, 300, 0x202020);
    EXPECT_TRUE(mirror.shows_solid(0x202020, 400, 300));

    Stopped stopped(stuck.xvfb->process().pid());
    // Far more than the stopped receiver's socket takes: it must not hold up the others.
    for (uint32_t colour = 0x300000; colour < 0x300000 + 40 * 0x010101; colour += 0x010101)
        fill(c.get(), w, 0, 0, 400, 300, colour);
    EXPECT_TRUE(mirror.shows_solid(0x300000 + 39 * 0x010101, 400, 300));
    expect_event(10, {}, stuck.host);
    expect_event(4, w, stuck.host);
    expect_event(2, {}, stuck.host);

    // Upstream's end is the server's after a time-out too (it once spun at a full core instead).
    upstream->process().stop();
    auto ended = server->process().wait_for_exit(std::chrono::seconds(2));
    ASSERT_TRUE(ended) << "the server outlived its upstream";
    EXPECT_EQ(exit_code(*ended), 3);
}

TEST_P(ReceiverWindowManager, MirrorsLieOnTheScreenInTheSendersOrderWithTheMenusOfTheirWindow) {
    XvfbServer::Options small;
    small.screen = "640x480x24";
    Receiver &r = add_receiver(small);
    ChildProcess wm = GetParam() == "none" ? ChildProcess() : start_window_manager(r.xvfb->name(), GetParam(), scratch);
    ASSERT_TRUE(GetParam() == "none" || wm) << GetParam() << " did not take the screen";
    xcb_connection_t *rx = r.c.get();

    // Near the sender's right edge, beyond a smaller receiver's; the mirror is moved in whole.
    uint32_t w = solid_window(c.get(), "edge", 200, 150, 0x2060a0);
    const uint32_t at[] = {800, 500};
    xcb_configure_window(c.get(), w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, at);
    sync(c.get());
    MirrorWatch mirror(rx, share(r, w));
    EXPECT_TRUE(mirror.shows_solid(0x2060a0, 200, 150));
    ASSERT_TRUE(eventually([&] { return place_of(rx, mirror.id()).inside(640, 480); }))
        << "at " << place_of(rx, mirror.id()).x << "," << place_of(rx, mirror.id()).y;
    // It asks for no fixed size, so window managers offer resizing.
    const auto hints = get_property(rx, mirror.id(), XCB_ATOM_WM_NORMAL_HINTS);
    ASSERT_TRUE(hints && hints->size() >= 4);
    EXPECT_EQ(uint8_t((*hints)[0]) & (16u | 32u), 0u);   // the flags' low byte: no minimum or maximum size
    // A receiver whose input is allowed resizes the window through its mirror; another client
    // there that sends the mirror a ConfigureNotify of its own resizes nothing.
    allow_input(r.host);
    uint32_t watch_size = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c.get(), w, XCB_CW_EVENT_MASK, &watch_size);
    sync(c.get());
    xcb_configure_notify_event_t fake{};
    fake.response_type = XCB_CONFIGURE_NOTIFY;
    fake.event = fake.window = mirror.id(), fake.width = 300, fake.height = 220;
    xcb_send_event(rx, 0, mirror.id(), XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char *>(&fake));
    const uint32_t size[] = {260, 180};
    xcb_configure_window(rx, mirror.id(), XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    xcb_flush(rx);
    EXPECT_TRUE(eventually([&] { return place_of(c.get(), w).width == 260 && place_of(c.get(), w).height == 180; }));
    watch_size = 0;
    xcb_change_window_attributes(c.get(), w, XCB_CW_EVENT_MASK, &watch_size);
    sync(c.get());
    while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(c.get())}) {
        const bool configured = (ev->response_type & 0x7f) == XCB_CONFIGURE_NOTIFY;
        EXPECT_FALSE(configured && reinterpret_cast<xcb_configure_notify_event_t *>(ev.get())->width == 300)
            << "a sent event resized it";
    }
    // A minimum size the window asks for later reaches its mirror too.
    const uint32_t limits[18] = {16, 0, 0, 0, 0, 120, 90};
    xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, limits);
    xcb_flush(c.get());
    EXPECT_TRUE(eventually([&] {
        const auto h = get_property(rx, mirror.id(), XCB_ATOM_WM_NORMAL_HINTS);
        return h && h->size() >= 28 && (uint8_t((*h)[0]) & 16u) && uint8_t((*h)[20]) == 120;
    }));

    // A menu of the same client comes along over the window's mirror, and goes when unmapped.
    const auto before = windows_with(rx, r.marker);
    const uint32_t look[] = {0xffaa00, 1};
    const uint32_t menu = new_window(c.get(), 0, 900, 560, 100, 120, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, look);
    xcb_map_window(c.get(), menu);
    xcb_flush(c.get());
    const uint32_t menu_mirror = wait_new_mirror(rx, r.marker, before);
    ASSERT_NE(menu_mirror, 0u) << "the menu did not reach the receiver";
    MirrorWatch menu_watch(rx, menu_mirror);
    EXPECT_TRUE(menu_watch.shows_solid(0xffaa00, 100, 120));
    const Place menu_place = place_of(rx, menu_mirror);
    EXPECT_TRUE(menu_place.inside(640, 480));
    EXPECT_TRUE(menu_place.overlaps(place_of(rx, mirror.id())));
    // A button pressed on the window's mirror and let go over the menu's reaches the menu there,
    // as a menu pulled down from a bar is used.
    const uint32_t releases = XCB_EVENT_MASK_BUTTON_RELEASE;
    xcb_change_window_attributes(c.get(), menu, XCB_CW_EVENT_MASK, &releases);
    sync(c.get());
    Desk desk{rx};
    desk.point(mirror.id(), 5, 5);
    desk.fake(XCB_BUTTON_PRESS, 1);
    desk.point(menu_mirror, 30, 40);
    desk.fake(XCB_BUTTON_RELEASE, 1);
    sync(rx);
    Owned<xcb_generic_event_t> release = next_event_of(c.get(), XCB_BUTTON_RELEASE, std::chrono::seconds(10));
    ASSERT_TRUE(release) << "the release did not reach the menu";
    auto *let_go = reinterpret_cast<xcb_button_release_event_t *>(release.get());
    EXPECT_EQ(std::tuple(let_go->event, let_go->event_x, let_go->event_y), std::tuple(menu, int16_t{30}, int16_t{40}));
    xcb_unmap_window(c.get(), menu);
    xcb_flush(c.get());
    EXPECT_TRUE(wait_until(rx, [&] { return windows_with(rx, r.marker) == before; })) << "the menu's mirror stayed";

    // Two shared windows keep the sender's order as it changes.
    uint32_t other = solid_window(c.get(), "other", 120, 90, 0x40a040);
    MirrorWatch other_mirror(rx, share(r, other, false));
    // (The mirrors come in the order of their top levels, bottom first.)
    const uint32_t above = XCB_STACK_MODE_ABOVE;
    for (uint32_t raised : {w, other}) {
        xcb_configure_window(c.get(), raised, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_flush(c.get());
        const auto want = raised == w ? std::vector{other_mirror.id(), mirror.id()} : std::vector{mirror.id(), other_mirror.id()};
        EXPECT_TRUE(eventually([&] { return windows_with(rx, r.marker) == want; })) << "the raised window's mirror stays below";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReceiverWindowManager, ::testing::Values("none", "twm", "openbox"),
                         [](const auto &row) { return row.param; });

// The sender's window manager of the row: twm frames plainly, icewm as desktops do.
class SenderWindowManager : public SenderTest, public ::testing::WithParamInterface<std::string> {};

// A real xterm in a frame, drawing what is written to its pipe; after a move and a resize by its
// window manager, the mirror shows exactly what the window does once drawing stops.
TEST_P(SenderWindowManager, ATerminalMovedAndResizedInItsFrameIsMirroredPixelForPixel) {
    ChildProcess wm = start_window_manager(server->name(), GetParam(), scratch);
    ASSERT_TRUE(wm) << GetParam() << " did not take the screen";
    Receiver &r = add_receiver();
    const std::string pipe = scratch.file("typed"), id_file = scratch.file("id");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    struct Writer { int fd; ~Writer() { close(fd); } } const writer{open(pipe.c_str(), O_RDWR | O_CLOEXEC)};
    ChildProcess::Options o;
    o.env_set = {{"DISPLAY", server->name()}};
    ChildProcess term = ChildProcess::start(
        {"xterm", "-geometry", "40x6+50+50", "-e", "sh", "-c", "echo $WINDOWID >" + id_file + "; exec cat " + pipe}, o);
    ASSERT_TRUE(eventually([&] { return read_file(id_file).find('\n') != std::string::npos; }));
    const auto shell = static_cast<uint32_t>(std::stoul(read_file(id_file)));   // its top level, in a frame
    const uint32_t mirror = share(r, shell), moved[] = {60, 50}, resized[] = {400, 200};
    // Writes lines to the terminal; true once the window has drawn them and the mirror shows the same.
    const auto shown = [&](const std::string &lines) {
        const Place p = place_of(c.get(), shell);
        const auto before = pixels(c.get(), shell, p.width, p.height);
        return write(writer.fd, lines.data(), lines.size()) == ssize_t(lines.size()) && eventually([&] {
            const auto now = pixels(c.get(), shell, p.width, p.height);
            return now != before && pixels(r.c.get(), mirror, p.width, p.height) == now;
        });
    };
    ASSERT_TRUE(shown("echo before\n"));
    xcb_configure_window(c.get(), shell, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, moved);
    ASSERT_TRUE(shown("echo after10px\nroot\n")) << "after the move";
    xcb_configure_window(c.get(), shell, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, resized);
    ASSERT_TRUE(eventually([&] { return place_of(c.get(), shell).width == 400; }));
    for (int line = 0; line < 8; ++line) ASSERT_TRUE(shown("line " + std::to_string(line) + " after the resize\n"));
    screenshot_area(r.xvfb->name(), "terminal-mirror-" + GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, SenderWindowManager, ::testing::Values("twm", "icewm"),
                         [](const auto &row) { return row.param; });

TEST_F(ReceiverInput, TheFloorPassesAfterTheHoldersDelayAndInputArrivesOnlyWhereGivenAndAllowedEvenUnderAGrab) {
    window = make_window(c.get(), "typed into", 300, 200);
    listen(window);
    const auto delay = 1500ms;
    send_share(c.get(), codes.major, kSetInputDelay, delay.count(), first_screen(c.get())->root, delay.count());
    Desk one = receiver(), two = receiver();

    // The local user types into the window on the sender itself.
    Xcb at_sender = xcb_open(upstream->name());
    xcb_connection_t *lc = at_sender.get();
    Desk{lc}.type(window, 5, 5, keycode_of(lc, kXkA));
    ASSERT_TRUE(decided("input local user takes the floor"));
    expect_key(kXkA);
    one.click(one.mirror, 20, 20);
    ASSERT_TRUE(decided("x=20 y=20 drop-floor"));

    // Time has to pass here: the delay is what is tested.
    std::this_thread::sleep_for(delay + 200ms);
    one.type(one.mirror, 21, 21, keycode_of(one.c, kXkA));
    expect_key(kXkA);
    // The holder goes on: what the server replays for it on the sender is not the local user's.
    one.click(one.mirror, 24, 24);
    expect_click(window, 1, 24, 24);
    ASSERT_TRUE(heard(XCB_BUTTON_RELEASE));
    two.type(two.mirror, 22, 22, keycode_of(two.c, kXkC));
    ASSERT_TRUE(decided("x=22 y=22 drop-floor"));

    // No delay now; the local user works in a window of their own, with the focus and pointer there.
    send_share(c.get(), codes.major, kSetInputDelay, 0, first_screen(c.get())->root, 0);
    const uint32_t keys_mask = XCB_EVENT_MASK_KEY_PRESS;
    const uint32_t mine = new_window(lc, 0, 400, 300, 120, 90, XCB_CW_EVENT_MASK, &keys_mask);
    xcb_map_window(lc, mine);
    xcb_test_fake_input(lc, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, first_screen(lc)->root, 450, 350, 0);
    xcb_set_input_focus(lc, XCB_INPUT_FOCUS_PARENT, mine, XCB_CURRENT_TIME);
    sync(lc);
    // The keyboards differ: a key that means nothing on the sender types "q" on the receiver.
    auto rx_keys = keymap(one.c), sender_keys = keymap(c.get());
    uint8_t spare = 200;
    while (spare < 255 && (rx_keys[spare] || sender_keys[spare])) ++spare;
    ASSERT_FALSE(rx_keys[spare] || sender_keys[spare]);
    xcb_keysym_t q[2] = {kXkQ, 0};
    xcb_change_keyboard_mapping(one.c, 1, spare, 2, q);
    sync(one.c);

    // Clicks and scrolling first: they also leave the receiver's thread time to read its new map,
    // which a key typed at once may precede (the main loop never waits for a receiver).
    one.click(one.mirror, 37, 23);
    expect_click(window, 1, 37, 23);
    one.click(one.mirror, 150, 120, 4);
    expect_click(window, 4, 150, 120);
    one.type(one.mirror, 60, 40, spare);
    expect_key(kXkQ);
    ASSERT_TRUE(heard(XCB_KEY_RELEASE));
    // Nothing is left pressed on the sender.
    Owned<xcb_query_keymap_reply_t> down(xcb_query_keymap_reply(c.get(), xcb_query_keymap(c.get()), nullptr));
    EXPECT_EQ(std::count(std::begin(down->keys), std::end(down->keys), 0), 32);
    two.click(two.mirror, 80, 60);
    expect_click(window, 1, 80, 60);
    one.type(one.mirror, 40, 30, keycode_of(one.c, kXkA));
    expect_key(kXkA);
    // The local pointer stayed where the local user left it.
    Owned<xcb_query_pointer_reply_t> at(xcb_query_pointer_reply(lc, xcb_query_pointer(lc, first_screen(lc)->root), nullptr));
    ASSERT_TRUE(at);
    EXPECT_EQ(std::pair(at->root_x, at->root_y), std::pair(int16_t(450), int16_t(350)));
    // Meanwhile the local user types into their own window, where their focus still is.
    Desk{lc}.press(XCB_KEY_PRESS, 0, 0, 0, keycode_of(lc, kXkB));
    auto b = heard(XCB_KEY_PRESS, lc);
    EXPECT_TRUE(b && b->event == mine) << "the local user's key went elsewhere";

    // Each receiver has a pointer of its own on the sender, until its input is forbidden.
    for (const uint32_t host : {one.host, two.host})
        EXPECT_TRUE(decided("input host=" + std::to_string(host) + " has its own pointer"));
    send_share(c.get(), codes.major, kDisallowInput, one.host);
    expect_event(8);
    EXPECT_TRUE(decided("input host=" + std::to_string(one.host) + " gives its devices back"));

    // Another program's window, never shared, lies over the right half of the shared one.
    Xcb other = xcb_open(upstream->name());
    const uint32_t heard_mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE;
    xcb_map_window(other.get(), new_window(other.get(), 0, 160, 10, 150, 200, XCB_CW_EVENT_MASK, &heard_mask));
    sync(other.get());

    // A telepointer: a child of the shared window that everyone may point with.
    const uint32_t pointer = new_window(c.get(), window, 100, 50, 25, 25);
    set_property(c.get(), pointer, intern(c.get(), "TL_ACCEPT_INPUT_FROM_ALL"), "", XCB_ATOM_ATOM);
    xcb_map_window(c.get(), pointer);
    listen(pointer);

    one.click(one.mirror, 90, 45);   // beside the telepointer, on the window itself
    ASSERT_TRUE(decided("ButtonPress detail=1 x=90 y=45 drop-disallowed"));
    one.click(one.mirror, 110, 60);
    expect_click(pointer, 1, 10, 10);

    allow_input(one.host);
    one.click(one.mirror, 40, 45);
    expect_click(window, 1, 40, 45);

    // A click where the other window lies is not given; a key there goes to the shared window.
    one.click(one.mirror, 200, 50);
    ASSERT_TRUE(decided("ButtonPress detail=1 x=200 y=50 drop-covered"));
    one.type(one.mirror, 201, 51, keycode_of(one.c, kXkA));
    expect_key(kXkA);

    // What a client of the receiver sends to the mirror is nobody's input.
    xcb_button_press_event_t forged{};
    forged.response_type = XCB_BUTTON_PRESS;
    forged.detail = 1;
    forged.event = one.mirror;
    forged.root = first_screen(one.c)->root;
    forged.event_x = forged.event_y = 40;
    forged.same_screen = 1;
    xcb_send_event(one.c, 0, one.mirror, XCB_EVENT_MASK_BUTTON_PRESS, reinterpret_cast<const char *>(&forged));
    sync(one.c);
    ASSERT_TRUE(decided("x=40 y=40 drop-synthetic"));

    // The other window heard nothing of it all.
    sync(other.get());
    while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(other.get())})
        EXPECT_TRUE((ev->response_type & 0x7f) < XCB_KEY_PRESS || (ev->response_type & 0x7f) > XCB_BUTTON_RELEASE);

    // Under a client's server grab the proxy's own questions about input would wait for ever.
    const uint8_t key_a = keycode_of(c.get(), kXkA);
    Xcb grabber = xcb_open(server->name());
    ASSERT_TRUE(grabber);
    xcb_grab_server(grabber.get());
    ASSERT_TRUE(round_trip_within(grabber.get(), 2s));

    // The local user types (only the grabbing client's own XTEST gets through now) ...
    Desk{grabber.get()}.fake(XCB_KEY_PRESS, key_a);
    Desk{grabber.get()}.fake(XCB_KEY_RELEASE, key_a);
    ASSERT_TRUE(round_trip_within(grabber.get(), 2s)) << "the local user's input stalled the proxy";
    // ... and a receiver clicks its mirror.
    one.click(one.mirror, 30, 30);
    ASSERT_TRUE(round_trip_within(grabber.get(), 2s)) << "a receiver's click stalled the proxy";

    ungrab(grabber.get());
    expect_click(window, 1, 30, 30);
}
