// Replication of shared windows onto receivers: pixels, size, map state, titles and marks, other
// depths, receivers that die or stop, and a share passed on onward.
#include "mirror_probe.h"
#include "window_manager.h"
#include "x_probe.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace telvane::testing;

namespace {

// A window of `c` filled with `colour`, and what it should show: pixel values row by row, changed
// as the test draws.
struct Canvas {
    xcb_connection_t *c;
    uint32_t window;
    uint16_t width, height;
    std::vector<uint32_t> px;
    Canvas(xcb_connection_t *c, const std::string &title, uint16_t w, uint16_t h, uint32_t colour)
        : c(c), window(solid_window(c, title, w, h, colour)), width(w), height(h), px(size_t{w} * h, colour) {}

    // Notes that the area shows `colour` now.
    void paint(int x, int y, int w, int h, uint32_t colour) {
        for (int yy = y; yy < y + h && yy < height; ++yy)
            for (int xx = x; xx < x + w && xx < width; ++xx) px[size_t(yy) * width + xx] = colour;
    }
    void fill(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t colour) {
        telvane::testing::fill(c, window, x, y, w, h, colour);
        paint(x, y, w, h, colour);
    }
    // Puts a block of random pixels, or of `colours` when given (as text is).
    void noise(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t seed,
               std::vector<uint32_t> colours = {}) {
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

// Lets a stopped process go on when the test ends, however it ends.
struct Resume {
    pid_t pid;
    ~Resume() { kill(pid, SIGCONT); }
};

}  // namespace

TEST_F(Replication, MirrorsMatchTheirWindowsThroughDrawsCoverBurstsChildrenScrollsAndTwoColoursAndOnwardWhileAllowed) {
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
    uint32_t cover = make_window(other.get(), "cover", 400, 300);
    fill(other.get(), cover, 0, 0, 400, 300, 0xffffff);
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

    // Two-colour text, scrolls both ways, noise, and a scroll whose source the receiver lost.
    Canvas page(c.get(), "encodings", 200, 160, 0xffffff);
    MirrorWatch page_mirror(r.c.get(), share(r, page.window, false));
    const std::vector<uint32_t> text{0xffffff, 0x000000};
    for (int16_t line = 0; line < 8; ++line)
        page.noise(4, static_cast<int16_t>(line * 13), 180, 11, 10u + line, text);
    EXPECT_TRUE(page_mirror.shows(page.px, 200, 160));
    for (int round = 0; round < 3; ++round) {
        page.scroll(0, 13, 200, 147, 0, -13);
        page.fill(0, 147, 200, 13, 0xffffff);
        page.noise(4, 147, 180, 11, 40u + round, text);
        EXPECT_TRUE(page_mirror.shows(page.px, 200, 160)) << "scroll " << round;
    }
    page.scroll(8, 0, 192, 160, -8, 0);
    page.fill(192, 0, 8, 160, 0x3366cc);
    EXPECT_TRUE(page_mirror.shows(page.px, 200, 160)) << "sideways";
    page.noise(30, 30, 60, 40, 7);
    EXPECT_TRUE(page_mirror.shows(page.px, 200, 160)) << "noise";
    // A window on the receiver over the mirror's top half: the next scroll copies from there.
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
    xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, chained.window, daisy, XCB_ATOM_ATOM, 8, 0, nullptr);
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
}

TEST_F(Replication, SizeMapStateTitlesAndClassFollowACaptureWithoutMemoryFailsAloneAndClosingTheMirrorUnshares) {
    Receiver &r = add_receiver();
    uint32_t w = solid_window(c.get(), "before", 100, 80, 0x336699);
    MirrorWatch mirror(r.c.get(), share(r, w));
    EXPECT_TRUE(mirror.shows_solid(0x336699, 100, 80));
    EXPECT_TRUE(mirror.property_is(XCB_ATOM_WM_NAME, "before"));
    auto set = [&](uint32_t prop, const std::string &v) {
        xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, w, prop, XCB_ATOM_STRING, 8,
                            static_cast<uint32_t>(v.size()), v.data());
        xcb_flush(c.get());
    };
    set(XCB_ATOM_WM_NAME, "[host] after [SHARED]");
    set(XCB_ATOM_WM_ICON_NAME, "icon");
    set(XCB_ATOM_WM_CLASS, std::string("other\0Other\0", 12));
    EXPECT_TRUE(mirror.property_is(XCB_ATOM_WM_NAME, "[host] after [SHARED]"));
    EXPECT_TRUE(mirror.property_is(XCB_ATOM_WM_ICON_NAME, "icon"));
    EXPECT_TRUE(mirror.property_is(XCB_ATOM_WM_CLASS, std::string("other\0Other\0", 12)));

    uint32_t size[] = {180, 140};
    xcb_configure_window(c.get(), w, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    fill(c.get(), w, 0, 0, 180, 140, 0x996633);
    EXPECT_TRUE(mirror.sized(180, 140));
    EXPECT_TRUE(mirror.shows_solid(0x996633, 180, 140));
    xcb_unmap_window(c.get(), w);
    xcb_flush(c.get());
    EXPECT_TRUE(mirror.viewable(false));
    xcb_map_window(c.get(), w);
    fill(c.get(), w, 0, 0, 180, 140, 0x123456);
    EXPECT_TRUE(mirror.viewable(true));
    EXPECT_TRUE(mirror.shows_solid(0x123456, 180, 140));

    // The server may now take little more memory than it holds: not a copy of a huge window.
    ASSERT_TRUE(limit_address_space(server->process().pid(), 256 * 1024));
    uint32_t huge = make_window(c.get(), "huge", 10000, 10000);
    send_share(c.get(), codes.major, kShareWindow, r.host, huge, 0);
    expect_event(101, huge, r.host);
    fill(c.get(), w, 0, 0, 60, 40, 0x665544);
    EXPECT_TRUE(mirror.shows_solid(0x665544, 60, 40));
    uint32_t another = make_window(c.get(), "another", 30, 30);
    send_share(c.get(), codes.major, kShareWindow, r.host, another, 0);
    expect_event(3, another);

    // The receiver's user closes the mirror through the window manager's protocol.
    std::unique_ptr<Display, decltype(&XCloseDisplay)> at_receiver(XOpenDisplay(r.xvfb->name().c_str()), XCloseDisplay);
    close_by_window_manager(at_receiver.get(), mirror.id());
    expect_event(4, w, r.host);
}

class ReplicationTimeLimit : public SenderTest {
protected:
    void SetUp() override {
        ShareServer::Options o;
        o.extra = {"--receiver-timeout", "2"};
        start_sender(o);
    }
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

    ASSERT_EQ(kill(stuck.xvfb->process().pid(), SIGSTOP), 0);
    Resume resume{stuck.xvfb->process().pid()};
    // Far more than the stopped receiver's socket takes: it must not hold up the others.
    for (uint32_t colour = 0x300000; colour < 0x300000 + 40 * 0x010101; colour += 0x010101)
        fill(c.get(), w, 0, 0, 400, 300, colour);
    EXPECT_TRUE(mirror.shows_solid(0x300000 + 39 * 0x010101, 400, 300));
    expect_event(10, {}, stuck.host);
    expect_event(4, w, stuck.host);
    expect_event(2, {}, stuck.host);
    fill(c.get(), w, 0, 0, 400, 300, 0x404040);
    EXPECT_TRUE(mirror.shows_solid(0x404040, 400, 300));
    EXPECT_TRUE(server->process().running());

    // Upstream's end is the server's after a time-out too (it once spun at a full core instead).
    upstream->process().stop();
    auto ended = server->process().wait_for_exit(std::chrono::seconds(2));
    ASSERT_TRUE(ended) << "the server outlived its upstream";
    EXPECT_EQ(exit_code(*ended), 3);
}

TEST_F(Replication, AClassroomKeepsEveryFrameWhileOneReceiverIsStoppedWhichThenCatchesUp) {
    // Seven receivers alike share one encoding; one keeps pixels in 16 bits, a group of its own,
    // and one with DirectColor is refused.
    std::vector<Receiver *> rx;
    for (int i = 0; i < 7; ++i) rx.push_back(&add_receiver());
    XvfbServer::Options shallow;
    shallow.screen = "640x480x16";
    rx.push_back(&add_receiver(shallow));
    Canvas canvas(c.get(), "lesson", 400, 300, 0x204060);
    const uint32_t w = canvas.window;
    std::vector<std::unique_ptr<MirrorWatch>> mirrors;
    for (Receiver *r : rx) mirrors.push_back(std::make_unique<MirrorWatch>(r->c.get(), share(*r, w)));
    expect_event(11, w, rx[7]->host);   // the 16-bit receiver's pixels are converted
    XvfbServer::Options direct;
    direct.extra = {"-cc", "5"};
    Receiver &d = add_receiver(direct);
    send_share(c.get(), codes.major, kShareWindow, d.host, w, 0);
    expect_event(102, w, d.host);
    EXPECT_TRUE(windows_with(d.c.get(), d.marker).empty());
    const auto in_16_bits = [](std::vector<uint32_t> px) {
        const auto channel = [](uint32_t v, uint32_t max) { return (v * max + 127) / 255; };
        for (uint32_t &p : px)
            p = channel(p >> 16, 31) << 11 | channel((p >> 8) & 0xff, 63) << 5 | channel(p & 0xff, 31);
        return px;
    };
    const auto all_show = [&](size_t skip) {
        for (size_t i = 0; i < mirrors.size(); ++i)
            if (i != skip && !mirrors[i]->shows(i == 7 ? in_16_bits(canvas.px) : canvas.px, 400, 300)) return false;
        return true;
    };
    ASSERT_TRUE(all_show(~size_t{0}));

    // Far more than the stopped receiver's socket takes; the others show every frame meanwhile.
    pid_t stopped = rx[3]->xvfb->process().pid();
    ASSERT_EQ(kill(stopped, SIGSTOP), 0);
    Resume resume{stopped};
    for (uint32_t frame = 0; frame < 40; ++frame) {
        canvas.noise(0, 0, 400, 300, 100 + frame);
        if (frame % 4 == 1) canvas.scroll(0, 10, 400, 290, 0, -7);
        ASSERT_TRUE(all_show(3)) << "frame " << frame;
    }
    kill(stopped, SIGCONT);
    EXPECT_TRUE(mirrors[3]->shows(canvas.px, 400, 300)) << "the stopped receiver caught up";
    canvas.scroll(0, 0, 400, 280, 0, 20);
    EXPECT_TRUE(all_show(~size_t{0})) << "and follows the group again";
}

namespace {

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

}  // namespace

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
    // A receiver whose input is allowed resizes the window through its mirror.
    send_share(c.get(), codes.major, kAllowInput, r.host);
    expect_event(7);
    const uint32_t size[] = {260, 180};
    xcb_configure_window(rx, mirror.id(), XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    xcb_flush(rx);
    EXPECT_TRUE(eventually([&] { return place_of(c.get(), w).width == 260 && place_of(c.get(), w).height == 180; }));

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
