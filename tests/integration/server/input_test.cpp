// Input from receivers into a shared window: typed and clicked with XTEST on the receiver's
// display onto the mirror, received by a client of the sender on the window itself. Dropped
// input is known from the server's trace, which says what it decided, and from the order in
// which the window hears the rest.
#include "process.h"
#include "share_server.h"
#include "x_client.h"
#include "xvfb.h"

#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

using namespace telvane::testing;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kShareWindow = 1, kSetInputDelay = 5, kAllowInput = 7;
constexpr uint32_t kXkA = 0x61, kXkB = 0x62, kXkC = 0x63, kXkQ = 0x71;

void sync(xcb_connection_t *c) {
    Owned<xcb_get_input_focus_reply_t> r(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// The unshifted keysym of every keycode of `c`'s display.
std::map<uint8_t, uint32_t> keymap(xcb_connection_t *c) {
    const xcb_setup_t *s = xcb_get_setup(c);
    Owned<xcb_get_keyboard_mapping_reply_t> r(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, s->min_keycode, s->max_keycode - s->min_keycode + 1), nullptr));
    std::map<uint8_t, uint32_t> out;
    for (int k = s->min_keycode; k <= s->max_keycode; ++k)
        out[k] = xcb_get_keyboard_mapping_keysyms(r.get())[(k - s->min_keycode) * r->keysyms_per_keycode];
    return out;
}

uint8_t keycode_of(xcb_connection_t *c, uint32_t keysym) {
    for (auto [k, s] : keymap(c))
        if (s == keysym) return k;
    return 0;
}

// A display where input is given by XTEST: a receiver, or the sender when the local user types.
struct Desk {
    std::optional<XvfbServer> display;
    Xcb c;
    uint32_t mirror = 0;
    uint32_t host = 0;

    void fake(uint8_t type, uint8_t detail) {
        xcb_test_fake_input(c.get(), type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    // Moves the pointer to (x, y) of `window` and syncs.
    void point(uint32_t window, int16_t x, int16_t y) {
        Owned<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(
            c.get(), xcb_translate_coordinates(c.get(), window, first_screen(c.get())->root, x, y), nullptr));
        ASSERT_TRUE(t);
        xcb_test_fake_input(c.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, first_screen(c.get())->root,
                            t->dst_x, t->dst_y, 0);
        sync(c.get());
    }
    void click(uint32_t window, int16_t x, int16_t y, uint8_t button = 1) {
        point(window, x, y);
        fake(XCB_BUTTON_PRESS, button);
        fake(XCB_BUTTON_RELEASE, button);
        sync(c.get());
    }
    void type(uint32_t window, int16_t x, int16_t y, uint8_t keycode) {
        point(window, x, y);
        fake(XCB_KEY_PRESS, keycode);
        fake(XCB_KEY_RELEASE, keycode);
        sync(c.get());
    }
};

class ReceiverInput : public ::testing::Test {
protected:
    void SetUp() override {
        upstream = XvfbServer::start();
        ASSERT_TRUE(upstream);
        ShareServer::Options o;
        o.trace_path = scratch.file("trace");
        server = ShareServer::start(upstream->name(), o);
        ASSERT_TRUE(server);
        c = xcb_open(server->name());
        ASSERT_TRUE(c);
        codes = query_share(c.get());
        ASSERT_TRUE(codes.present);
        window = make_window(c.get(), "typed into", 300, 200);
        listen(window);
    }

    void listen(uint32_t w) {
        uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS |
                        XCB_EVENT_MASK_BUTTON_RELEASE;
        xcb_change_window_attributes(c.get(), w, XCB_CW_EVENT_MASK, &mask);
        sync(c.get());
    }

    // A new receiver with the window shared to it and its mirror found; input allowed on request.
    Desk &receiver(bool allowed) {
        Desk &d = desks.emplace_back();
        d.display = XvfbServer::start();
        EXPECT_TRUE(d.display);
        d.c = xcb_open(d.display->name());
        watch_root(d.c.get());
        d.host = intern(c.get(), "127.0.0.1:" + std::to_string(d.display->number()) + ".0");
        send_share(c.get(), codes.major, kShareWindow, d.host, window, 0);
        expect_event(0);
        expect_event(3);
        EXPECT_TRUE(wait_root_child(d.c.get(), false));
        auto mirrors = windows_with(d.c.get(), intern(d.c.get(), "TL_SERVER_NAME"));
        EXPECT_EQ(mirrors.size(), 1u);
        if (!mirrors.empty()) d.mirror = mirrors[0];
        if (allowed) allow(d);
        return d;
    }
    void allow(const Desk &d) {
        send_share(c.get(), codes.major, kAllowInput, d.host);
        expect_event(7);
    }
    void expect_event(uint8_t status) {
        auto ev = next_share_event(c.get(), codes.first_event);
        ASSERT_TRUE(ev) << "no share event, wanted status " << int(status);
        EXPECT_EQ(ev->status, status);
    }
    // Waits for the server to report its decision on an input; `what` is e.g. "ButtonPress
    // detail=1 x=30 y=30 drop-disallowed".
    bool decided(const std::string &what) { return wait_for_text(scratch.file("trace"), what, 10s); }

    // The next key or button press (or, with `releases`, release) that the sender's client hears.
    Owned<xcb_key_press_event_t> next_input(bool releases = false) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto ev = next_event(c.get(), std::chrono::duration_cast<std::chrono::milliseconds>(
                                              deadline - std::chrono::steady_clock::now()));
            if (!ev) break;
            uint8_t t = ev->response_type & 0x7f;
            bool press = t == XCB_KEY_PRESS || t == XCB_BUTTON_PRESS;
            bool release = t == XCB_KEY_RELEASE || t == XCB_BUTTON_RELEASE;
            if (press || (releases && release))
                return Owned<xcb_key_press_event_t>(reinterpret_cast<xcb_key_press_event_t *>(ev.release()));
        }
        return nullptr;
    }
    void expect_key(uint32_t keysym) {
        auto ev = next_input();
        ASSERT_TRUE(ev) << "no key arrived";
        ASSERT_EQ(ev->response_type & 0x7f, XCB_KEY_PRESS);
        EXPECT_EQ(keymap(c.get())[ev->detail], keysym);
    }
    void expect_button(uint32_t on, uint8_t button, int16_t x, int16_t y) {
        auto ev = next_input();
        ASSERT_TRUE(ev) << "no click arrived";
        ASSERT_EQ(ev->response_type & 0x7f, XCB_BUTTON_PRESS);
        EXPECT_EQ(ev->event, on);
        EXPECT_EQ(ev->detail, button);
        EXPECT_EQ(ev->event_x, x);
        EXPECT_EQ(ev->event_y, y);
    }

    ScratchDir scratch;
    std::optional<XvfbServer> upstream;
    std::optional<ShareServer> server;
    Xcb c;
    ShareCodes codes;
    uint32_t window = 0;
    std::deque<Desk> desks;
};

}  // namespace

TEST_F(ReceiverInput, AllowedClicksScrollingAndKeysArriveWhereTheyWereGiven) {
    Desk &rx = receiver(true);
    // The receiver's keyboard differs from the sender's: a key that means nothing on the sender
    // types "q" on the receiver.
    auto rx_keys = keymap(rx.c.get()), sender_keys = keymap(c.get());
    uint8_t spare = 0;
    for (auto [k, s] : rx_keys)
        if (!spare && s == 0 && sender_keys[k] == 0 && k > 100) spare = k;
    ASSERT_NE(spare, 0);
    Owned<xcb_get_keyboard_mapping_reply_t> row(
        xcb_get_keyboard_mapping_reply(rx.c.get(), xcb_get_keyboard_mapping(rx.c.get(), spare, 1), nullptr));
    ASSERT_TRUE(row);
    std::vector<xcb_keysym_t> syms(row->keysyms_per_keycode, 0);
    syms[0] = kXkQ;
    xcb_change_keyboard_mapping(rx.c.get(), 1, spare, row->keysyms_per_keycode, syms.data());
    sync(rx.c.get());

    rx.click(rx.mirror, 37, 23);
    expect_button(window, 1, 37, 23);
    rx.click(rx.mirror, 150, 120, 4);   // scrolling up
    expect_button(window, 4, 150, 120);
    rx.type(rx.mirror, 60, 40, spare);
    expect_key(kXkQ);
    // Everything pressed was let go again on the sender.
    Owned<xcb_query_keymap_reply_t> down(xcb_query_keymap_reply(c.get(), xcb_query_keymap(c.get()), nullptr));
    ASSERT_TRUE(down);
    for (uint8_t byte : down->keys) EXPECT_EQ(byte, 0);
}

TEST_F(ReceiverInput, DisallowedInputIsDroppedUntilAllowed) {
    Desk &rx = receiver(false);
    rx.click(rx.mirror, 30, 30);
    ASSERT_TRUE(decided("ButtonPress detail=1 x=30 y=30 drop-disallowed"));
    rx.type(rx.mirror, 31, 31, keycode_of(rx.c.get(), kXkA));
    ASSERT_TRUE(decided("x=31 y=31 drop-disallowed"));
    allow(rx);
    rx.click(rx.mirror, 40, 45);
    expect_button(window, 1, 40, 45);
}

TEST_F(ReceiverInput, TheFloorPassesOnlyOnceTheHoldersDelayHasPassed) {
    const auto delay = 1500ms;
    send_share(c.get(), codes.major, kSetInputDelay, delay.count(), first_screen(c.get())->root, delay.count());
    Desk &one = receiver(true);
    Desk &two = receiver(true);
    uint8_t a = keycode_of(one.c.get(), kXkA), b = keycode_of(two.c.get(), kXkB), cc = keycode_of(two.c.get(), kXkC);

    // The local user types into the window on the sender itself.
    Desk local;
    local.c = xcb_open(upstream->name());
    ASSERT_TRUE(local.c);
    local.type(window, 5, 5, keycode_of(local.c.get(), kXkA));
    ASSERT_TRUE(decided("input local user takes the floor"));
    expect_key(kXkA);
    one.click(one.mirror, 20, 20);
    ASSERT_TRUE(decided("x=20 y=20 drop-floor"));

    // Time has to pass here: the delay is what is tested.
    std::this_thread::sleep_for(delay + 200ms);
    one.type(one.mirror, 21, 21, a);
    expect_key(kXkA);
    // The holder goes on: what the server replays for it on the sender is not the local user's.
    one.click(one.mirror, 24, 24);
    expect_button(window, 1, 24, 24);
    auto released = next_input(true);
    ASSERT_TRUE(released);
    const auto last_of_one = std::chrono::steady_clock::now();
    two.type(two.mirror, 22, 22, cc);
    ASSERT_TRUE(decided("x=22 y=22 drop-floor"));

    std::this_thread::sleep_until(last_of_one + delay + 200ms);
    two.type(two.mirror, 23, 23, b);
    expect_key(kXkB);   // not the "c" typed while the first receiver held the floor
}

TEST_F(ReceiverInput, AWindowThatAcceptsInputFromAllTakesADisallowedReceiversClicks) {
    // A telepointer: a child of the shared window that everyone may point with.
    uint32_t pointer = xcb_generate_id(c.get());
    xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, pointer, window, 100, 50, 25, 25, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, pointer, intern(c.get(), "TL_ACCEPT_INPUT_FROM_ALL"),
                        XCB_ATOM_ATOM, 8, 0, nullptr);
    xcb_map_window(c.get(), pointer);
    listen(pointer);
    Desk &rx = receiver(false);

    rx.click(rx.mirror, 90, 45);   // beside it, on the window itself
    ASSERT_TRUE(decided("x=90 y=45 drop-disallowed"));
    rx.click(rx.mirror, 110, 60);
    ASSERT_TRUE(decided("x=110 y=60 forward-aside"));
    expect_button(pointer, 1, 10, 10);
}
