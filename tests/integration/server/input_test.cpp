// Input from receivers, given with XTEST onto mirrors and heard on the shared window; what was
// dropped is told by the server's trace.
#include "mirror_probe.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>
#include <xcb/xtest.h>

using namespace telvane::testing;
using namespace std::chrono_literals;

namespace {

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

    // Moves the pointer to (x, y) of `window`.
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
    void SetUp() override {
        start_sender();
        if (HasFatalFailure()) return;
        window = make_window(c.get(), "typed into", 300, 200);
        listen(window);
    }
    void listen(uint32_t w) {
        uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS |
                        XCB_EVENT_MASK_BUTTON_RELEASE;
        xcb_change_window_attributes(c.get(), w, XCB_CW_EVENT_MASK, &mask);
        sync(c.get());
    }
    // A new receiver with the window shared to it and its mirror shown.
    Desk receiver(bool allowed) {
        Receiver &r = add_receiver();
        Desk d{r.c.get(), share(r, window), r.host};
        EXPECT_TRUE(d.mirror && MirrorWatch(d.c, d.mirror).viewable(true));
        if (allowed) allow(d);
        return d;
    }
    void allow(const Desk &d) {
        send_share(c.get(), codes.major, kAllowInput, d.host);
        expect_event(7);
    }
    // Waits until the server has judged an input, e.g. "x=30 y=30 drop-disallowed".
    bool decided(const std::string &what) { return wait_for_text(scratch.file("trace"), what, 10s); }

    // The next event of type `type` (a key or button press or release) that the sender (or `on`) hears.
    Owned<xcb_key_press_event_t> heard(uint8_t type, xcb_connection_t *on = nullptr) {
        for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
            auto ev = next_event(on ? on : c.get(), 100ms);
            if (ev && (ev->response_type & 0x7f) == type)
                return Owned<xcb_key_press_event_t>(reinterpret_cast<xcb_key_press_event_t *>(ev.release()));
        }
        return nullptr;
    }
    void expect_key(uint32_t keysym) {
        auto ev = heard(XCB_KEY_PRESS);
        ASSERT_TRUE(ev) << "no key arrived";
        EXPECT_EQ(keymap(c.get())[ev->detail], keysym);
    }
    void expect_click(uint32_t on, uint8_t button, int16_t x, int16_t y, uint8_t type = XCB_BUTTON_PRESS) {
        auto ev = heard(type);
        ASSERT_TRUE(ev) << "no button event " << int(type) << " arrived";
        EXPECT_EQ(std::tuple(ev->event, ev->detail, ev->event_x, ev->event_y), std::tuple(on, button, x, y));
    }

    uint32_t window = 0;
};

}  // namespace

TEST_F(ReceiverInput, TheFloorPassesOnceTheHoldersDelayHasPassedAndInputArrivesWhereGivenThroughEachReceiversOwnDevices) {
    const auto delay = 1500ms;
    send_share(c.get(), codes.major, kSetInputDelay, delay.count(), first_screen(c.get())->root, delay.count());
    Desk one = receiver(true), two = receiver(true);

    // The local user types into the window on the sender itself.
    Xcb at_sender = xcb_open(upstream->name());
    Desk local{at_sender.get()};
    local.type(window, 5, 5, keycode_of(local.c, kXkA));
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
    const auto last_of_one = std::chrono::steady_clock::now();
    two.type(two.mirror, 22, 22, keycode_of(two.c, kXkC));
    ASSERT_TRUE(decided("x=22 y=22 drop-floor"));

    std::this_thread::sleep_until(last_of_one + delay + 200ms);
    two.type(two.mirror, 23, 23, keycode_of(two.c, kXkB));
    expect_key(kXkB);   // and not the "c" typed while the first receiver held the floor

    // No delay now; the local user works in a window of their own, with the focus and pointer there.
    send_share(c.get(), codes.major, kSetInputDelay, 0, first_screen(c.get())->root, 0);
    xcb_connection_t *lc = at_sender.get();
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

    one.click(one.mirror, 37, 23);
    expect_click(window, 1, 37, 23);
    one.click(one.mirror, 150, 120, 4);   // scrolling
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
    EXPECT_TRUE(decided("input host=" + std::to_string(one.host) + " has its own pointer"));
    EXPECT_TRUE(decided("input host=" + std::to_string(two.host) + " has its own pointer"));
    send_share(c.get(), codes.major, kDisallowInput, one.host);
    expect_event(8);
    EXPECT_TRUE(decided("input host=" + std::to_string(one.host) + " gives its devices back"));
}

TEST_F(ReceiverInput, DisallowedInputIsDroppedExceptOnAWindowForEveryoneAndInputNeverLandsInAWindowNotSharedOrUnderAGrab) {
    // Another program's window, never shared, lies over the right half of the shared one.
    Xcb other = xcb_open(upstream->name());
    const uint32_t heard_mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE;
    xcb_map_window(other.get(), new_window(other.get(), 0, 160, 10, 150, 200, XCB_CW_EVENT_MASK, &heard_mask));
    sync(other.get());
    send_share(c.get(), codes.major, kSetInputDelay, 0, first_screen(c.get())->root, 0);

    // A telepointer: a child of the shared window that everyone may point with.
    const uint32_t pointer = new_window(c.get(), window, 100, 50, 25, 25);
    xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, pointer, intern(c.get(), "TL_ACCEPT_INPUT_FROM_ALL"),
                        XCB_ATOM_ATOM, 8, 0, nullptr);
    xcb_map_window(c.get(), pointer);
    listen(pointer);
    Desk rx = receiver(false);

    rx.click(rx.mirror, 30, 30);
    ASSERT_TRUE(decided("ButtonPress detail=1 x=30 y=30 drop-disallowed"));
    rx.type(rx.mirror, 31, 31, keycode_of(rx.c, kXkA));
    ASSERT_TRUE(decided("x=31 y=31 drop-disallowed"));
    rx.click(rx.mirror, 90, 45);   // beside the telepointer, on the window itself
    ASSERT_TRUE(decided("x=90 y=45 drop-disallowed"));
    rx.click(rx.mirror, 110, 60);
    expect_click(pointer, 1, 10, 10);

    allow(rx);
    rx.click(rx.mirror, 40, 45);
    expect_click(window, 1, 40, 45);

    // A click where the other window lies is not given; a key there goes to the shared window.
    rx.click(rx.mirror, 200, 50);
    ASSERT_TRUE(decided("ButtonPress detail=1 x=200 y=50 drop-covered"));
    rx.type(rx.mirror, 201, 51, keycode_of(rx.c, kXkA));
    expect_key(kXkA);

    // What a client of the receiver sends to the mirror is nobody's input.
    xcb_button_press_event_t forged{};
    forged.response_type = XCB_BUTTON_PRESS;
    forged.detail = 1;
    forged.event = rx.mirror;
    forged.root = first_screen(rx.c)->root;
    forged.event_x = forged.event_y = 40;
    forged.same_screen = 1;
    xcb_send_event(rx.c, 0, rx.mirror, XCB_EVENT_MASK_BUTTON_PRESS, reinterpret_cast<const char *>(&forged));
    sync(rx.c);
    ASSERT_TRUE(decided("x=40 y=40 drop-synthetic"));

    // A drag that leaves the mirror ends at its edge, and a press out there is not given.
    rx.point(rx.mirror, 50, 60);
    rx.fake(XCB_BUTTON_PRESS, 1);
    sync(rx.c);
    expect_click(window, 1, 50, 60);
    rx.point(rx.mirror, 340, 60);
    rx.fake(XCB_BUTTON_PRESS, 3);
    sync(rx.c);
    ASSERT_TRUE(decided("ButtonPress detail=3 x=340 y=60 drop-outside"));
    rx.fake(XCB_BUTTON_RELEASE, 3);
    rx.fake(XCB_BUTTON_RELEASE, 1);
    sync(rx.c);
    expect_click(window, 1, 299, 60, XCB_BUTTON_RELEASE);

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
    rx.click(rx.mirror, 30, 30);
    ASSERT_TRUE(round_trip_within(grabber.get(), 2s)) << "a receiver's click stalled the proxy";

    xcb_ungrab_server(grabber.get());
    xcb_flush(grabber.get());
    expect_click(window, 1, 30, 30);
}
