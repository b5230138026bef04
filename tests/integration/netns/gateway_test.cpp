// Shares through a receiver host's encrypted link: the receiver's Xvfb takes no TCP, its
// telvane-consent (at 127.0.0.2 in the test's network namespace) is the only way in. Each phase
// is what a user meets; then a hostile sender of the test's own against the walls of its link.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include "mirror_probe.h"
#include "consent_service.h"
#include "link_protocol.h"
#include "picture_wire.h"
#include "receiver_gateway.h"
#include "dialog_driver.h"
#include "text_checks.h"
#include "window_manager.h"


#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <cmath>
#include <algorithm>
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
        // It wants its user's cookie, as a desktop's display does; the test and the service run
        // as that user. Its audit log says which authorization each client came with.
        const int n = find_free_display(300);
        const std::string cookies = scratch.file("receiver/.Xauthority");
        ASSERT_EQ(xauth_add(cookies, ":" + std::to_string(n), "0123456789abcdef0123456789abcdef"), 0);
        setenv("XAUTHORITY", cookies.c_str(), 1);
        rx = &add_receiver({.access_control = true,
                            .listen_tcp = false,
                            .extra = {"-auth", cookies, "-audit", "4"},
                            .log_path = scratch.file("receiver.log"),
                            .number = n});
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

// The receiver's window manager of the row: none, a reparenting one, and an EWMH one.
class GatewayUnderWindowManager : public Gateway, public ::testing::WithParamInterface<std::string> {};

TEST_P(GatewayUnderWindowManager, OnlyTheReceiverUsersYesLetsAShareInAndThenItIsPixelExact) {
    ChildProcess wm;
    if (GetParam() != "none") wm = start_window_manager(rx->xvfb->name(), GetParam(), scratch);
    ASSERT_TRUE(GetParam() == "none" || wm) << GetParam() << " did not take the screen";
    uint32_t w = make_window(c.get(), "through the link", 120, 90);
    for (int16_t y = 0; y < 90; y += 10) fill(c.get(), w, 0, y, 120, 10, 0x102030u * static_cast<uint32_t>(y / 10 + 1));
    sync(c.get());

    // The user says no: access denied, and nothing reaches the display.
    ASSERT_TRUE(start_consent({"--refuse-all"}));
    expect_refused("127.0.0.2", w, 4);
    EXPECT_TRUE(contains(consent.log(), "link from 127.0.0.1 refused"));

    // The person says yes to a share question from this host: for a minute that yes lets its
    // link in without asking again. The mirror is exact as the window changes; the receiver's key
    // is remembered.
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
    fill(c.get(), w, 30, 30, 40, 20, 0xff00ff);
    EXPECT_TRUE(mirror.shows(pixels(c.get(), w, 120, 90), 120, 90));
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
    // The link's last line shows that none of what the server sent was refused.
    EXPECT_EQ(exit_code(consent.process.stop(SIGTERM, std::chrono::seconds(3)).value_or(-1)), 0) << consent.err();
    EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker));
    // The link was an untrusted client there, under an authorization made for it alone and
    // revoked when it ended, and the replication and its input met no refusal, of the filter or
    // of the display.
    EXPECT_TRUE(contains(consent.log(), "relayed to display :" + number + " (untrusted)"));
    const std::string log = consent.log();
    const size_t end = log.find("link from 127.0.0.1 ended (");
    ASSERT_NE(end, std::string::npos) << log;
    EXPECT_FALSE(contains(log.substr(end, log.find('\n', end) - end), "refused")) << log;
    const std::string audit = read_file(scratch.file("receiver.log"));
    std::smatch grant;
    ASSERT_TRUE(std::regex_search(audit, grant, std::regex("generated authorization ([0-9]+) trust 1 "))) << audit;
    EXPECT_TRUE(contains(audit, "Auth name: MIT-MAGIC-COOKIE-1 ID: " + grant.str(1) + "\n")) << audit;
    EXPECT_TRUE(contains(audit, "revoked authorization ID " + grant.str(1) + "\n")) << audit;
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
    write_file(scratch.file("sender2/.Telvane/known_receivers"), "127.0.0.2 " + std::string(64, 'c') + "\n");
    expect_refused("127.0.0.2", w, 6);
    EXPECT_LT(accept(x_port, nullptr, nullptr), 0) << "the plain road was taken";
    close(x_port);

    // A sender that takes no plain road reaches no receiver without a link (and none is pinned).
    write_file(scratch.file("sender/.Telvane/known_receivers"), "");
    ASSERT_NO_FATAL_FAILURE(
        start_sender({.env = {{"HOME", scratch.file("sender")}}, .extra = {"--receivers", "secure"}}));
    expect_refused("127.0.0.2", make_window(c.get(), "secure only", 50, 50), 4);
    EXPECT_TRUE(contains(trace(), "plain links are refused"));
}

// A sender of our own, admitted, tries what a hostile one would: each try is refused in its place,
// another client and the access list see nothing of it, and the link's last line names the tries.
TEST_F(Gateway, AnAdmittedSenderReachesNothingButWhatItMadeItself) {
    using namespace std::chrono_literals;
    ASSERT_TRUE(start_consent({"--accept-all"}));
    xcb_connection_t *user = rx->c.get();   // the receiver's user, with the cookie
    const uint32_t root = first_screen(user)->root;
    const auto access = [&] {
        Owned<xcb_list_hosts_reply_t> r(xcb_list_hosts_reply(user, xcb_list_hosts(user), nullptr));
        return r ? std::to_string(r->mode) + std::string(reinterpret_cast<char *>(r.get() + 1), r->length * 4u) : "";
    };
    const std::string access_before = access();
    const auto extension = [](xcb_connection_t *c, const std::string &name) {
        Owned<xcb_query_extension_reply_t> r(
            xcb_query_extension_reply(c, xcb_query_extension(c, uint16_t(name.size()), name.c_str()), nullptr));
        return r && r->present ? r->major_opcode : uint8_t{0};
    };

    // Another client: a window under the pointer with pixels and a title, which hears keys and
    // changes to it; and the user's resources on the root.
    Xcb other = xcb_open(rx->xvfb->name());
    ASSERT_TRUE(other);
    xcb_connection_t *o = other.get();
    const uint32_t secret = solid_window(o, "secret", 700, 500, 0x336699);
    const uint32_t hears = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_FOCUS_CHANGE |
                           XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(o, secret, XCB_CW_EVENT_MASK, &hears);
    set_property(o, root, XCB_ATOM_RESOURCE_MANAGER, "*password: hunter2\n");
    // Its window's place, title and pixels, and the events it heard since the last look.
    const auto state = [&] {
        Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(o, xcb_get_geometry(o, secret), nullptr));
        const std::array<int16_t, 4> place = g ? std::array{g->x, g->y, int16_t(g->width), int16_t(g->height)}
                                               : std::array<int16_t, 4>{};
        auto seen = std::tuple(place, get_property(o, secret, XCB_ATOM_WM_NAME), pixels(o, secret, 64, 64),
                               std::vector<int>{});
        while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(o)}) std::get<3>(seen).push_back(ev->response_type);
        return seen;
    };
    const auto before = state();

    // The hostile sender opens its link as telvane-server does, with a key of its own, and makes
    // a pixmap and a graphics context of its own.
    telvane::server::GatewaySettings mallory;
    mallory.folder = scratch.file("mallory");
    mallory.known_receivers_path = scratch.file("mallory/known_receivers");
    mallory.sender_identity = "Mallory";
    const auto opened = telvane::server::open_gateway(tcp_connect("", "127.0.0.2", telvane::tlslink::kLinkPort),
                                                      inet_address("127.0.0.2", 0).sin_addr, rx->xvfb->number(), 10s,
                                                      mallory);
    ASSERT_EQ(opened.kind, telvane::server::GatewayAttempt::Kind::Linked) << opened.reason;
    Xcb hostile(xcb_connect_to_fd(opened.fd, nullptr));
    xcb_connection_t *h = hostile.get();
    ASSERT_FALSE(xcb_connection_has_error(h));
    const uint8_t depth = first_screen(h)->root_depth;
    const uint32_t pixmap = xcb_generate_id(h), gc = xcb_generate_id(h);
    xcb_create_pixmap(h, depth, pixmap, root, 16, 16);
    xcb_create_gc(h, gc, pixmap, 0, nullptr);

    // Extensions but the harmless ones look absent; their requests, sent with the opcodes the
    // display gave its user, are refused all the same.
    std::map<std::string, uint8_t> major;
    for (const auto &[name, shown] : std::initializer_list<std::pair<std::string, bool>>{
             {"XTEST", false}, {"XInputExtension", false}, {"RECORD", false}, {"BIG-REQUESTS", true}}) {
        major[name] = extension(user, name);
        ASSERT_NE(major[name], 0) << name;
        EXPECT_EQ(extension(h, name), shown ? major[name] : 0) << name;
    }
    // Sends minor request `minor` of extension `name` (its words least significant byte first);
    // returns its log name, and its sequence number in `seq`.
    unsigned seq = 0;
    const auto raw = [&](const std::string &name, uint8_t minor, std::vector<uint32_t> words, bool reply) {
        words.insert(words.begin(), major[name] | minor << 8 | uint32_t(words.size() + 1) << 16);
        iovec iov[3] = {{}, {}, {words.data(), words.size() * 4}};
        xcb_protocol_request_t req{1, nullptr, 0, uint8_t(!reply)};
        seq = xcb_send_request(h, XCB_REQUEST_RAW | XCB_REQUEST_CHECKED, &iov[2], &req);
        return "extension request " + std::to_string(major[name]) + "." + std::to_string(minor);
    };
    const xcb_key_press_event_t key{XCB_KEY_PRESS, 38, 0, 0, root, secret, 0, 10, 10, 10, 10, 0, 1, 0};
    const uint8_t anywhere[] = {10, 0, 0, 9};
    const uint8_t async = XCB_GRAB_MODE_ASYNC;
    const uint32_t now = XCB_CURRENT_TIME;

    // Each try sends its request and gives the name the link's last line gives it.
    const auto sent = [&](const char *name, auto cookie) {
        seq = cookie.sequence;
        return std::string(name);
    };
    const uint8_t kAccess = wire::kBadAccess, kAlloc = wire::kBadAlloc, kRequest = wire::kBadRequest;
    const std::pair<uint8_t, std::function<std::string()>> tries[] = {
        {kAccess, [&] { return sent("GetImage", xcb_get_image(h, XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, 64, 64, ~0u)); }},
        {kAccess, [&] { return sent("CopyArea", xcb_copy_area_checked(h, secret, pixmap, gc, 0, 0, 0, 0, 16, 16)); }},
        {kAccess, [&] { return sent("GetProperty", xcb_get_property(h, 0, secret, XCB_ATOM_WM_NAME, 0, 0, 64)); }},
        {kAccess, [&] { return sent("GetProperty", xcb_get_property(h, 0, root, XCB_ATOM_RESOURCE_MANAGER, 0, 0, 64)); }},
        {kAccess, [&] { return sent("SendEvent", xcb_send_event_checked(h, 0, secret, XCB_EVENT_MASK_KEY_PRESS,
                                                                      reinterpret_cast<const char *>(&key))); }},
        {kRequest, [&] { return raw("XTEST", 2, {XCB_KEY_PRESS | 38u << 8, 0, 0, 0, 0, 0, 0, 0}, false); }},
        {kAccess, [&] { return sent("GrabKeyboard", xcb_grab_keyboard(h, 1, root, now, async, async)); }},
        {kAccess, [&] { return sent("KillClient", xcb_kill_client_checked(h, secret)); }},
        {kAccess, [&] { return sent("SetAccessControl", xcb_set_access_control_checked(h, 0)); }},   // disabled
        {kAccess, [&] { return sent("ChangeHosts", xcb_change_hosts_checked(h, 0, XCB_FAMILY_INTERNET, 4, anywhere)); }},
        {kAccess, [&] { return sent("SetInputFocus", xcb_set_input_focus_checked(h, 0, secret, now)); }},
        {kAlloc, [&] { return sent("CreateWindow", xcb_create_window_checked(h, XCB_COPY_FROM_PARENT, xcb_generate_id(h), root,
                 0, 0, 65535, 65535, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr)); }},   // too big
    };
    std::vector<std::string> refused;   // each kind once, in the order first refused
    int refusals = 0, row = 0;
    for (const auto &[wanted, send] : tries) {
        const std::string name = send();
        SCOPED_TRACE(testing::Message() << name << " (row " << row++ << ")");
        ASSERT_TRUE(round_trip_within(h, 10s)) << "the link stopped answering";
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        xcb_poll_for_reply(h, seq, &reply, &error);
        EXPECT_EQ(error ? int(error->error_code) : 0, int(wanted));
        std::free(reply);
        std::free(error);
        EXPECT_TRUE(state() == before) << "the other client saw it";
        refusals += wanted != 0;
        if (wanted && std::find(refused.begin(), refused.end(), name) == refused.end()) refused.push_back(name);
    }

    // The sender leaves: the link's last line counts and names the refusals, and the display's
    // access control is as it was.
    hostile.reset();
    std::string names;
    for (const std::string &name : refused) names += (names.empty() ? "" : ", ") + name;
    ASSERT_TRUE(consent.wait_log("requests refused")) << consent.log();
    EXPECT_TRUE(contains(consent.log(), "; " + std::to_string(refusals) + " requests refused: " + names + ")\n"));
    EXPECT_EQ(access(), access_before);
}

// Puts a photograph-like scene of w x h into `window`: sky and ground in gradients, a sun with a
// sharp rim placed by `seed`, grain. Returns its pixels.
std::vector<uint32_t> put_scene(xcb_connection_t *c, uint32_t window, uint16_t w, uint16_t h, uint32_t seed) {
    std::vector<uint32_t> px(size_t{w} * h);
    std::minstd_rand grain(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int dx = x - 40 - int(seed % 5) * 50, dy = y - h / 4;
            px[size_t(y) * w + x] = (dx * dx + dy * dy < 400 ? 0xf0d050u
                                     : y < h / 2             ? 0x5070e0u + uint32_t(y / 2) * 0x010100u
                                                             : 0x305020u + uint32_t(x / 8) * 0x010100u) +
                                    uint32_t(grain() % 9) * 0x010101u;
        }
    const uint32_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, 0, nullptr);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, w, h, 0, 0, 0, 24, uint32_t(px.size() * 4),
                  reinterpret_cast<const uint8_t *>(px.data()));
    xcb_free_gc(c, gc);
    return px;
}

// The peak signal-to-noise ratio of `b` against `a` over red, green and blue, in dB; 99 when equal.
double psnr(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int shift : {0, 8, 16}) sum += std::pow(double(int(a[i] >> shift & 255) - int(b[i] >> shift & 255)), 2);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * 3 * double(a.size()) / sum);
}

// A photograph that changes goes as lossy pictures, close to its window, then exactly once it
// stays still. (That text beside it stays exact is the groups' unit test.)
TEST_F(Gateway, APhotographGoesLossyThenExactOnceStill) {
    ASSERT_TRUE(start_consent({"--accept-all"}));
    constexpr uint16_t kW = 320, kH = 240;
    const uint32_t photo = make_window(c.get(), "photo", kW, kH);
    ASSERT_EQ(share_to("127.0.0.2", photo).status, 0);
    EXPECT_EQ(expect_event(3).window, photo);
    MirrorWatch photo_mirror(rx->c.get(), wait_new_mirror(rx->c.get(), rx->marker));
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        const auto scene = put_scene(c.get(), photo, kW, kH, seed);
        double best = 0;
        EXPECT_TRUE(wait_until(rx->c.get(), [&] { return (best = psnr(scene, pixels(rx->c.get(), photo_mirror.id(), kW, kH))) >= 30; }))
            << "picture " << seed << " came no closer than " << best << " dB";
    }
    EXPECT_TRUE(photo_mirror.shows(pixels(c.get(), photo, kW, kH), kW, kH)) << "not exact once still";
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", photo);
    for (const std::string how : {"lossy \\(photographic\\)", "exact \\(refresh, lossless\\)"})
        EXPECT_TRUE(std::regex_search(trace(), std::regex("window " + std::string(id) + " picture \\S+ " + how))) << trace();
}

// A service that offers no pictures gets a photograph in exact pixels, at once.
TEST_F(Gateway, AServiceWithoutPicturesGetsAPhotographExact) {
    ASSERT_TRUE(start_consent({"--accept-all", "--no-pictures"}));
    constexpr uint16_t kW = 200, kH = 150;
    const uint32_t photo = make_window(c.get(), "photo", kW, kH);
    ASSERT_EQ(share_to("127.0.0.2", photo).status, 0);
    EXPECT_EQ(expect_event(3).window, photo);
    MirrorWatch mirror(rx->c.get(), wait_new_mirror(rx->c.get(), rx->marker));
    put_scene(c.get(), photo, kW, kH, 2);
    EXPECT_TRUE(mirror.shows(pixels(c.get(), photo, kW, kH), kW, kH));
    EXPECT_TRUE(contains(trace(), "pictures: its link service offers none")) << trace();
    EXPECT_FALSE(contains(trace(), " lossy (")) << trace();
}

// Over a long link frames follow its round trip: a burst drawn faster than the receiver answers
// goes as a few joined frames, not one a change, and the mirror still ends as the window.
TEST_F(Gateway, ABurstOverALongLinkGoesAsFewFramesAndEndsExact) {
    ASSERT_TRUE(start_consent({"--accept-all", "--no-pictures"}));
    const std::string count = scratch.file("count");
    ChildProcess relay = ChildProcess::start({"python3", TELVANE_SOURCE_DIR "/bench/byte_relay.py", "127.0.0.3:34591",
                                              "127.0.0.2:34591", count, "--delay-ms", "100"});
    ASSERT_TRUE(wait_for_text(count, "0 0", std::chrono::seconds(10)));
    // The bytes towards the receiver once the relay has counted all that came before now.
    auto sent = [&] {
        const auto now = std::filesystem::file_time_type::clock::now();
        eventually([&] { return std::filesystem::last_write_time(count) > now; });
        return std::stol(read_file(count));
    };
    constexpr uint16_t kW = 120, kH = 90;
    const uint32_t w = make_window(c.get(), "burst", kW, kH);
    ASSERT_EQ(share_to("127.0.0.3", w).status, 0);
    EXPECT_EQ(expect_event(3).window, w);
    MirrorWatch mirror(rx->c.get(), wait_new_mirror(rx->c.get(), rx->marker));
    std::vector<uint32_t> last = put_noise(c.get(), w, 0, 0, kW, kH, 0);
    ASSERT_TRUE(mirror.shows(last, kW, kH));
    const long one = sent();
    for (uint32_t i = 1; i <= 40; ++i) {
        last = put_noise(c.get(), w, 0, 0, kW, kH, i);
        round_trip_within(c.get(), std::chrono::seconds(5));
    }
    // The last change goes as soon as the link has answered for the one before.
    EXPECT_TRUE(mirror.shows(last, kW, kH, std::chrono::seconds(2)));
    // The share and the first picture are about a frame; the 40 changes in well under the 200 ms
    // round trip about two more (the second paints again: no grace), where a frame each made 20.
    const long burst = sent() - one;
    EXPECT_LT(burst, one * 4) << burst / one << " frames' bytes went";
}

INSTANTIATE_TEST_SUITE_P(, GatewayUnderWindowManager, ::testing::Values("none", "twm", "openbox"),
                         [](const auto &row) { return row.param; });

}  // namespace
