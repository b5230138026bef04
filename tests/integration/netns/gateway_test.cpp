// Shares through a receiver host's encrypted link: the receiver's Xvfb takes no TCP at all, its
// telvane-consent (at 127.0.0.2, a host of its own inside the test's network namespace) is the
// only way in. Each phase is what a user meets: a yes, a no, a receiver with a new key, a
// network that alters a byte, a host without the link, and a sender that takes no plain road;
// with no window manager on the receiver's display, and under twm and openbox.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include "mirror_probe.h"
#include "consent_service.h"
#include "dialog_driver.h"
#include "text_checks.h"
#include "window_manager.h"

#include <filesystem>
#include <tuple>
#include <sys/stat.h>

using namespace telvane::testing;
namespace wire = telvane::wire;

namespace {

constexpr uint8_t kFailed = 1;

class Gateway : public SenderTest {
protected:
    void SetUp() override {
        for (const char *home : {"sender", "receiver"}) mkdir(scratch.file(home).c_str(), 0700);
        start_sender({.env = {{"HOME", scratch.file("sender")}}});
        if (HasFatalFailure()) return;
        // A display number above 255, so that both of its bytes go through the link's opening words.
        // It wants its user's cookie, as a desktop's display does; the test and the service run
        // as that user.
        const int n = find_free_display(300);
        const std::string cookies = scratch.file("receiver/.Xauthority");
        ASSERT_EQ(xauth_add(cookies, ":" + std::to_string(n), "0123456789abcdef0123456789abcdef"), 0);
        setenv("XAUTHORITY", cookies.c_str(), 1);
        rx = &add_receiver({.access_control = true, .listen_tcp = false, .extra = {"-auth", cookies}, .number = n});
        ASSERT_TRUE(rx->xvfb);
        number = std::to_string(rx->xvfb->number());
    }

    // (Re)starts the receiver host's service with `args`, its key in the receiver's home.
    ::testing::AssertionResult start_consent(std::vector<std::string> args) {
        return consent.start(std::move(args), "127.0.0.2:34590", {.env_set = {{"HOME", scratch.file("receiver")}}},
                             "127.0.0.2:34591");
    }

    // Shares `w` to display `number` of `address` and returns the first event that answers.
    wire::ShareEvent share_to(const std::string &address, uint32_t w) {
        send_share(c.get(), codes.major, kShareWindow, intern(c.get(), address + ":" + number + ".0"), w, 0);
        auto ev = next_share_event(c.get(), codes.first_event, std::chrono::seconds(20));
        EXPECT_TRUE(ev) << "no answer to the share";
        return ev.value_or(wire::ShareEvent{});
    }
    // A failure with `detail` came, and nothing reached the receiver's display.
    void expect_refused(const std::string &address, uint32_t w, uint32_t detail) {
        const wire::ShareEvent ev = share_to(address, w);
        EXPECT_EQ(std::tuple(int(ev.status), ev.detail), std::tuple(int(kFailed), detail));
        EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker));
    }

    Receiver *rx = nullptr;
    std::string number;
    ConsentService consent;
};

// The receiver's window manager of the row: none, a reparenting one, and an EWMH one.
class GatewayUnderWindowManager : public Gateway, public ::testing::WithParamInterface<std::string> {};

TEST_P(GatewayUnderWindowManager, OnlyTheReceiverUsersYesLetsAShareInAndThenItIsPixelExact) {
    ChildProcess wm = GetParam() == "none" ? ChildProcess() : start_window_manager(rx->xvfb->name(), GetParam(), scratch);
    ASSERT_TRUE(GetParam() == "none" || wm) << GetParam() << " did not take the screen";
    uint32_t w = make_window(c.get(), "through the link", 120, 90);
    for (int16_t y = 0; y < 90; y += 10) fill(c.get(), w, 0, y, 120, 10, 0x102030u * static_cast<uint32_t>(y / 10 + 1));
    sync(c.get());

    // The user says no: access denied, and nothing reaches the display.
    ASSERT_TRUE(start_consent({"--refuse-all"}));
    expect_refused("127.0.0.2", w, 4);
    EXPECT_TRUE(contains(consent.log(), "link from 127.0.0.1 refused"));

    // The person says yes to a share question from this host: for a minute that yes lets its
    // link in without asking again (nobody would click, and the question would time out). The
    // mirror is exact, also once its window has moved, and so is a menu of its client; the road is
    // in the trace, the receiver's key is remembered.
    ASSERT_TRUE(start_consent({"-display", rx->xvfb->name(), "--timeout", "5"}));
    Peer ask("127.0.0.2", 34590, "");
    ASSERT_TRUE(ask.send_bytes(std::string("\x7f\0\0\x01" "Ann", 8)));
    DialogDriver person(rx->xvfb->name());
    Window dialog = person.wait_for_shell("consentDialog", std::chrono::seconds(10));
    ASSERT_TRUE(dialog && person.click(person.message_button(dialog, 0)));
    EXPECT_EQ(ask.answer(), "1");
    EXPECT_EQ(share_to("127.0.0.2", w).status, 0);
    EXPECT_EQ(expect_event(3).window, w);
    MirrorWatch mirror(rx->c.get(), wait_new_mirror(rx->c.get(), rx->marker));
    EXPECT_TRUE(mirror.shows(pixels(c.get(), w, 120, 90), 120, 90));
    const uint32_t moved[] = {200, 150};
    xcb_configure_window(c.get(), w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, moved);
    fill(c.get(), w, 30, 30, 40, 20, 0xff00ff);
    sync(c.get());
    EXPECT_TRUE(mirror.shows(pixels(c.get(), w, 120, 90), 120, 90));
    const auto mirrors = windows_with(rx->c.get(), rx->marker);
    const uint32_t look[] = {0xffaa00, 1};
    const uint32_t menu = new_window(c.get(), 0, 290, 200, 60, 40, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, look);
    xcb_map_window(c.get(), menu);
    xcb_flush(c.get());
    const uint32_t menu_mirror = wait_new_mirror(rx->c.get(), rx->marker, mirrors);
    ASSERT_NE(menu_mirror, 0u) << "the menu did not reach the receiver";
    EXPECT_TRUE(MirrorWatch(rx->c.get(), menu_mirror).shows_solid(0xffaa00, 60, 40));
    EXPECT_TRUE(contains(trace(), "reached: link to 127.0.0.2 encrypted"));
    // Input allowed: a click on the mirror comes back over the link to where it was given.
    const uint32_t buttons = XCB_EVENT_MASK_BUTTON_PRESS;
    xcb_change_window_attributes(c.get(), w, XCB_CW_EVENT_MASK, &buttons);
    send_share(c.get(), codes.major, kAllowInput, intern(c.get(), "127.0.0.2:" + number + ".0"));
    expect_event(7);
    ASSERT_TRUE(person.drag(mirror.id(), 37, 23, 37, 23));   // a drag that goes nowhere is a click
    Owned<xcb_generic_event_t> click = next_event_of(c.get(), XCB_BUTTON_PRESS, std::chrono::seconds(10));
    ASSERT_TRUE(click) << "the click did not come back";
    auto *press = reinterpret_cast<xcb_button_press_event_t *>(click.get());
    EXPECT_EQ(std::tuple(press->event, press->event_x, press->event_y), std::tuple(w, int16_t{37}, int16_t{23}));
    const std::string known = read_file(scratch.file("sender/.Telvane/known_receivers"));
    EXPECT_EQ(known.rfind("127.0.0.2 ", 0), 0u) << known;
    // The receiver host's service stopped with the link up ends at once, and the mirror with it.
    // The link's last line shows that none of what the server sent was refused.
    EXPECT_EQ(exit_code(consent.process.stop(SIGTERM, std::chrono::seconds(3)).value_or(-1)), 0) << consent.err();
    EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker));
    EXPECT_TRUE(contains(consent.log(), "link from 127.0.0.1 ended ("));
    EXPECT_FALSE(contains(consent.log(), "refused"));
    while (next_share_event(c.get(), codes.first_event, std::chrono::milliseconds(500))) {}   // what the link left

    // The receiver got a new key: refused, and the trace says which line to delete.
    std::remove(scratch.file("receiver/.Telvane/link_key.pem").c_str());
    ASSERT_TRUE(start_consent({"-display", rx->xvfb->name(), "--timeout", "10"}));
    expect_refused("127.0.0.2", w, 4);
    EXPECT_TRUE(contains(trace(), "known_receivers line 1 has"));

    // A network that alters one byte after the handshake: the link fails, the share reports
    // it, and the server goes on.
    ChildProcess relay = ChildProcess::start({"python3", TELVANE_SOURCE_DIR "/bench/byte_relay.py", "127.0.0.3:34591",
                                              "127.0.0.2:34591", scratch.file("count"), "--flip-after", "3000"});
    ASSERT_TRUE(wait_for_text(scratch.file("count"), "0 0", std::chrono::seconds(10)));
    write_file(scratch.file("sender/.Telvane/known_receivers"), "");
    auto ended = [](const wire::ShareEvent &e) { return e.status == kFailed || e.status == 2 || e.status == 12; };
    // The link is asked about on the receiver's screen: a yes without "always" remembers nobody.
    send_share(c.get(), codes.major, kShareWindow, intern(c.get(), "127.0.0.3:" + number + ".0"), w, 0);
    dialog = person.wait_for_shell("consentDialog", std::chrono::seconds(10));
    ASSERT_TRUE(dialog && person.click(person.message_button(dialog, 0)));
    auto ev = next_share_event(c.get(), codes.first_event, std::chrono::seconds(20)).value_or(wire::ShareEvent{});
    EXPECT_FALSE(std::filesystem::exists(scratch.file("receiver/.Telvane/allowed_senders")));
    // Drawing makes traffic until the altered byte has gone through.
    for (uint32_t i = 0; i < 40 && !ended(ev); ++i) {
        put_noise(c.get(), w, 0, 0, 120, 90, i);
        ev = next_share_event(c.get(), codes.first_event, std::chrono::milliseconds(500)).value_or(wire::ShareEvent{});
    }
    EXPECT_TRUE(ended(ev)) << "status " << int(ev.status);
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(5)));
    while (next_share_event(c.get(), codes.first_event, std::chrono::milliseconds(500))) {}   // what the link left

    // A host without the link and without an X server on TCP: no X server, as before links.
    ASSERT_TRUE(start_consent({"--accept-all", "--link-listen", "off"}));
    expect_refused("127.0.0.2", w, 3);

    // A sender that takes no plain road reaches no receiver without a link.
    ASSERT_NO_FATAL_FAILURE(
        start_sender({.env = {{"HOME", scratch.file("sender")}}, .extra = {"--receivers", "secure"}}));
    expect_refused("127.0.0.2", make_window(c.get(), "secure only", 50, 50), 4);
    EXPECT_TRUE(contains(trace(), "plain links are refused"));
}

INSTANTIATE_TEST_SUITE_P(, GatewayUnderWindowManager, ::testing::Values("none", "twm", "openbox"),
                         [](const auto &row) { return row.param; });

}  // namespace
