// Shares through a receiver host's encrypted link: the receiver's Xvfb takes no TCP at all, its
// telvane-consent (at 127.0.0.2, a host of its own inside the test's network namespace) is the
// only way in. Each phase is what a user meets: a yes (through a port full of silent
// connections, and good for one link), a no, a receiver with a new key, a network that alters a
// byte, a host without the link (met before through it, or not), and a sender that takes no
// plain road.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include "mirror_probe.h"
#include "consent_service.h"
#include "dialog_driver.h"
#include "text_checks.h"

#include <filesystem>
#include <regex>
#include <tuple>
#include <sys/stat.h>

using namespace telvane::testing;
namespace wire = telvane::wire;

namespace {

constexpr uint8_t kFailed = 1;

class Gateway : public SenderTest {
protected:
    void SetUp() override {
        for (const char *home : {"sender", "sender2", "receiver"}) mkdir(scratch.file(home).c_str(), 0700);
        start_sender({.env = {{"HOME", scratch.file("sender")}}});
        if (HasFatalFailure()) return;
        // A display number above 255, so that both of its bytes go through the link's opening words.
        // Its audit log says which authorization each client came with.
        rx = &add_receiver({.listen_tcp = false,
                            .extra = {"-audit", "4"},
                            .log_path = scratch.file("receiver.log"),
                            .number = find_free_display(300)});
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
    // A failure with `detail` came, and nothing reached the receiver's display; returns it.
    wire::ShareEvent expect_refused(const std::string &address, uint32_t w, uint32_t detail) {
        const wire::ShareEvent ev = share_to(address, w);
        EXPECT_EQ(std::tuple(int(ev.status), ev.detail), std::tuple(int(kFailed), detail));
        EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker));
        return ev;
    }

    Receiver *rx = nullptr;
    std::string number;
    ConsentService consent;
};

TEST_F(Gateway, OnlyTheReceiverUsersYesLetsAShareInAndThenItIsPixelExact) {
    uint32_t w = make_window(c.get(), "through the link", 120, 90);
    for (int16_t y = 0; y < 90; y += 10) fill(c.get(), w, 0, y, 120, 10, 0x102030u * static_cast<uint32_t>(y / 10 + 1));
    sync(c.get());

    // The user says no: access denied, and nothing reaches the display.
    ASSERT_TRUE(start_consent({"--refuse-all"}));
    expect_refused("127.0.0.2", w, 4);
    EXPECT_TRUE(contains(consent.log(), "link from 127.0.0.1 refused"));

    // The person says yes to a share question from this host: for a minute that yes lets its
    // link in without asking again (nobody would click, and the question would time out). The
    // mirror is exact, the road is in the trace, the receiver's key is remembered.
    ASSERT_TRUE(start_consent({"-display", rx->xvfb->name(), "--timeout", "5"}));
    Peer ask("127.0.0.2", 34590, "");
    ASSERT_TRUE(ask.send_bytes(std::string("\x7f\0\0\x01" "Ann", 8)));
    DialogDriver person(rx->xvfb->name());
    Window dialog = person.wait_for_shell("consentDialog", std::chrono::seconds(10));
    ASSERT_TRUE(dialog && person.click(person.message_button(dialog, 0)));
    EXPECT_EQ(ask.answer(), "1");
    // Eight addresses hold every place for connections in their handshake, silent, and the last
    // tries two more: refused, logged once. The oldest silent one gives way to the genuine link.
    std::vector<Peer> silent;
    for (int host = 2; host <= 9; ++host)
        for (int i = 0; i < (host == 9 ? 6 : 4); ++i) silent.emplace_back("127.0.0.2", 34591, "127.0.0." + std::to_string(host));
    ASSERT_TRUE(consent.wait_log("link connections from 127.0.0.9 refused: too many in their handshake\n"));
    const wire::ShareEvent made = share_to("127.0.0.2", w);
    EXPECT_EQ(std::tuple(int(made.status), made.detail), std::tuple(0, 0u)) << "made through the link: encrypted";
    EXPECT_TRUE(consent.wait_log("link from 127.0.0.2 gave way to a newer connection\n"));
    EXPECT_EQ(count_of(consent.log(), "127.0.0.9 refused"), 1u) << consent.log();
    EXPECT_EQ(expect_event(3).window, w);
    MirrorWatch mirror(rx->c.get(), wait_new_mirror(rx->c.get(), rx->marker));
    EXPECT_TRUE(mirror.shows(pixels(c.get(), w, 120, 90), 120, 90));
    fill(c.get(), w, 30, 30, 40, 20, 0xff00ff);
    sync(c.get());
    EXPECT_TRUE(mirror.shows(pixels(c.get(), w, 120, 90), 120, 90));
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
    // That yes let in one link: the sender with another key, from the same address within the
    // minute, is asked about, on a dialog that names the display the link wants.
    ASSERT_NO_FATAL_FAILURE(start_sender({.env = {{"HOME", scratch.file("sender2")}}}));
    EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker));   // the new mirror may get the old one's id
    w = make_window(c.get(), "through the link", 120, 90);
    send_share(c.get(), codes.major, kShareWindow, intern(c.get(), "127.0.0.2:" + number + ".0"), w, 0);
    dialog = person.wait_for_shell("consentDialog", std::chrono::seconds(10));
    EXPECT_TRUE(screenshot_area(rx->xvfb->name(), "consent-link"));
    ASSERT_TRUE(dialog && person.click(person.message_button(dialog, 0)));
    EXPECT_NE(wait_new_mirror(rx->c.get(), rx->marker), 0u) << consent.log();
    EXPECT_TRUE(contains(consent.log(), " to display :" + number + ", key ")) << consent.log();
    // The receiver host's service stopped with the link up ends at once, and the mirror with it.
    EXPECT_EQ(exit_code(consent.process.stop(SIGTERM, std::chrono::seconds(3)).value_or(-1)), 0) << consent.err();
    EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker));
    // The link was an untrusted client there, under an authorization made for it alone and
    // revoked when it ended, and the replication and its input met no refusal.
    EXPECT_TRUE(contains(consent.log(), "relayed to display :" + number + " (untrusted)"));
    const std::string audit = read_file(scratch.file("receiver.log"));
    std::smatch made;
    ASSERT_TRUE(std::regex_search(audit, made, std::regex("generated authorization ([0-9]+) trust 1 "))) << audit;
    EXPECT_TRUE(contains(audit, "Auth name: MIT-MAGIC-COOKIE-1 ID: " + made.str(1) + "\n")) << audit;
    EXPECT_TRUE(contains(audit, "revoked authorization ID " + made.str(1) + "\n")) << audit;
    EXPECT_FALSE(contains(audit, "Security: denied")) << audit;
    while (next_share_event(c.get(), codes.first_event, std::chrono::milliseconds(500))) {}   // what the link left

    // The receiver got a new key: refused as a changed key, with the start of the key the
    // receiver's service shows now, never by the plain road; the trace says which line to delete.
    std::remove(scratch.file("receiver/.Telvane/link_key.pem").c_str());
    ASSERT_TRUE(start_consent({"-display", rx->xvfb->name(), "--timeout", "10"}));
    ASSERT_TRUE(consent.wait_log(", key "));
    const wire::ShareEvent changed = expect_refused("127.0.0.2", w, 5);
    EXPECT_TRUE(contains(consent.log(), "key " + wire::key_prefix_text(changed.key) + "\n")) << consent.log();
    EXPECT_TRUE(contains(trace(), "known_receivers line 1 has"));
    EXPECT_FALSE(contains(trace(), "plain X11"));

    // A network that alters one byte after the handshake: the link fails, the share reports
    // it, and the server goes on. The display there has no SECURITY extension: the link goes
    // on with the user's own credentials.
    const Receiver &bare = add_receiver({.listen_tcp = false, .extra = {"-extension", "SECURITY"}});
    ASSERT_TRUE(bare.xvfb);
    const std::string plain = std::to_string(bare.xvfb->number());
    ChildProcess relay = ChildProcess::start({"python3", TELVANE_SOURCE_DIR "/bench/byte_relay.py", "127.0.0.3:34591",
                                              "127.0.0.2:34591", scratch.file("count"), "--flip-after", "3000"});
    ASSERT_TRUE(wait_for_text(scratch.file("count"), "0 0", std::chrono::seconds(10)));
    write_file(scratch.file("sender2/.Telvane/known_receivers"), "");
    auto ended = [](const wire::ShareEvent &e) { return e.status == kFailed || e.status == 2 || e.status == 12; };
    // The link is asked about on the receiver's screen: a yes without "always" remembers nobody.
    send_share(c.get(), codes.major, kShareWindow, intern(c.get(), "127.0.0.3:" + plain + ".0"), w, 0);
    dialog = person.wait_for_shell("consentDialog", std::chrono::seconds(10));
    ASSERT_TRUE(dialog && person.click(person.message_button(dialog, 0)));
    EXPECT_TRUE(consent.wait_log("relayed to display :" + plain + " (trusted: the display has no SECURITY extension)"));
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

    // Once its key is remembered, the same host without its link service fails as such, and
    // whatever answers its X port is never asked.
    const int x_port = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in x_address = inet_address("127.0.0.2", 6000 + rx->xvfb->number());
    ASSERT_EQ(bind(x_port, reinterpret_cast<const sockaddr *>(&x_address), sizeof x_address), 0);
    ASSERT_EQ(listen(x_port, 4), 0);
    write_file(scratch.file("sender/.Telvane/known_receivers"), "127.0.0.2 " + std::string(64, 'c') + "\n");
    expect_refused("127.0.0.2", w, 6);
    EXPECT_LT(accept(x_port, nullptr, nullptr), 0) << "the plain road was taken";
    close(x_port);
    write_file(scratch.file("sender/.Telvane/known_receivers"), "");

    // A sender that takes no plain road reaches no receiver without a link.
    ASSERT_NO_FATAL_FAILURE(
        start_sender({.env = {{"HOME", scratch.file("sender")}}, .extra = {"--receivers", "secure"}}));
    expect_refused("127.0.0.2", make_window(c.get(), "secure only", 50, 50), 4);
    EXPECT_TRUE(contains(trace(), "plain links are refused"));
}

}  // namespace
