// Sharing windows behind telvane-server to other displays: events in order, mirrors, unsharing,
// cleanup, the requests the server answers itself, and every failure from its cause.
#include "mirror_probe.h"
#include "sockets.h"
#include "text_checks.h"

#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <set>
#include <unistd.h>
#include <atomic>
#include <thread>

using namespace telvane::testing;
using namespace telvane::wire;

namespace {

std::string host_name() {
    char h[256] = {0};
    gethostname(h, sizeof h - 1);
    return h;
}

// A receiver at 127.0.0.2 that is no honest X server: it answers a set-up with `answer` (or relays
// to display `relay` until `misbehave`), then is silent, replies out of turn, floods KeymapNotify
// events (they carry no sequence number) or stalls inside a reply. Given neither, it says nothing.
class FakeReceiver {
public:
    enum class Then { Silence, OutOfTurn, Flood, Stall };
    explicit FakeReceiver(std::vector<uint8_t> answer = {}, Then then = Then::Silence, int relay = -1)
        : answer_(std::move(answer)), then_(then) {
        misbehave = relay < 0;
        for (number_ = 700; number_ < 1100; ++number_) {
            const sockaddr_in a = inet_address("127.0.0.2", 6000 + number_);
            if (bind(listener_, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) break;
        }
        listen(listener_, 64);
        if (answer_.empty() && relay < 0) return;   // silent: connections wait in the backlog
        thread_ = std::thread([this, relay] {
            for (;;) {
                int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                clients_.push_back(c);
                uint8_t request[65536];
                if (relay >= 0) {
                    real_ = tcp_connect("", "127.0.0.1", 6000 + relay);
                    while (!misbehave && !stop_) {
                        pollfd p[2] = {{c, POLLIN, 0}, {real_, POLLIN, 0}};
                        if (poll(p, 2, 100) <= 0) continue;
                        for (int i = 0; i < 2; ++i) {
                            if (!p[i].revents) continue;
                            const ssize_t n = read(p[i].fd, request, sizeof request);
                            if (n <= 0 || send(p[1 - i].fd, request, size_t(n), MSG_NOSIGNAL) != n) return;
                        }
                    }
                } else if (read(c, request, sizeof request) <= 0 ||
                           send(c, answer_.data(), answer_.size(), MSG_NOSIGNAL) != ssize_t(answer_.size())) {
                    continue;
                }
                const timeval brief{0, 100000};   // so that the fake sees the end of the test
                setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &brief, sizeof brief);
                setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
                if (then_ == Then::Stall || then_ == Then::OutOfTurn) {
                    const uint8_t head[32] = {1, 0, 0, 0, 16};           // a reply's head, 64 bytes short
                    const uint8_t reply[32] = {1, 0, 0x77, 0x77};   // a reply to request 0x7777, never made
                    if (then_ == Then::Stall) send(c, head, sizeof head, MSG_NOSIGNAL);
                    while (!stop_) {   // it reads what it is sent; stalled, it says nothing more
                        const ssize_t n = read(c, request, sizeof request);
                        if (n == 0 || (n < 0 && errno != EAGAIN)) break;
                        if (n > 0 && then_ == Then::OutOfTurn && send(c, reply, sizeof reply, MSG_NOSIGNAL) < 0) break;
                    }
                } else if (then_ == Then::Flood) {
                    std::vector<uint8_t> events(32 * 8192, 0);
                    for (size_t i = 0; i < events.size(); i += 32) events[i] = XCB_KEYMAP_NOTIFY;
                    while (!stop_ && (send(c, events.data(), events.size(), MSG_NOSIGNAL) > 0 || errno == EAGAIN)) {
                    }
                }
            }
        });
    }
    ~FakeReceiver() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        for (int c : clients_) close(c);
        if (real_ >= 0) close(real_);
        close(listener_);
    }
    // Its display name with screen `screen`, as the client names receivers.
    std::string name(int screen = 0) const { return "127.0.0.2:" + std::to_string(number_) + "." + std::to_string(screen); }
    std::atomic<bool> misbehave;

private:
    std::vector<uint8_t> answer_;
    Then then_;
    std::atomic<bool> stop_{false};
    int listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), number_ = 0;
    std::thread thread_;
    std::vector<int> clients_;
    int real_ = -1;
};

class Sharing : public SenderTest {
protected:
    void SetUp() override {
        options.env["XAUTHORITY"] = scratch.file("server.auth");
        options.extra = {"--receiver-timeout", "2"};
        SenderTest::SetUp();
        if (HasFatalFailure()) return;
        rx = &add_receiver();
    }
    // The next share event within 20 s, the server's largest resident size meanwhile into `peak_kb`.
    std::optional<ShareEvent> next_event_watching_memory(long &peak_kb) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::optional<ShareEvent> e;
        while (!e && std::chrono::steady_clock::now() < deadline) {
            peak_kb = std::max(peak_kb, resident_kb(server->process().pid()));
            e = next_share_event(c.get(), codes.first_event, std::chrono::milliseconds(50));
        }
        return e;
    }

    Receiver *rx = nullptr;
};

}  // namespace

// Windows shared one by one and by application, until their client takes them or itself away.
TEST_F(Sharing, WindowsAppearOnTheReceiverBelongToTheirClientAndGoAgainWithTheWindowOrTheClient) {
    uint32_t w = make_window(c.get(), "Shared probe", 321, 123);
    const uint32_t host = rx->host;
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);
    // A client that syncs right after asking finds the share's events queued with the reply.
    sync(c.get());
    std::vector<ShareEvent> queued;
    while (Owned<xcb_generic_event_t> ev{xcb_poll_for_queued_event(c.get())})
        if ((ev->response_type & 0x7f) == codes.first_event)
            queued.push_back(decode_share_event(reinterpret_cast<uint8_t *>(ev.get()), ByteOrder::Lsb));
    ASSERT_EQ(queued.size(), 2u) << "connection made, then window shared";
    EXPECT_EQ(std::tuple(queued[0].status, queued[0].host), std::tuple(0, host));
    const ShareEvent shared = queued[1];
    EXPECT_EQ(std::tuple(shared.status, shared.window, shared.host, shared.detail), std::tuple(3, w, host, 1u));
    EXPECT_NE(shared.tag, 0u);

    MirrorWatch mirror(rx->c.get(), wait_new_mirror(rx->c.get(), rx->marker));
    ASSERT_NE(mirror.id(), 0u);
    EXPECT_TRUE(mirror.viewable(true));
    EXPECT_TRUE(mirror.property_is(rx->marker, host_name()));
    EXPECT_TRUE(mirror.property_is(XCB_ATOM_WM_NAME, "Shared probe"));
    EXPECT_TRUE(mirror.property_is(XCB_ATOM_WM_CLASS, std::string("probe\0TelvaneProbe\0", 19)));
    EXPECT_TRUE(mirror.sized(321, 123));

    // The same window again to the same receiver; another window with a tag of its own.
    share_expecting(100, host, w);
    const uint32_t w2 = make_window(c.get(), "two");
    EXPECT_NE(share_expecting(3, host, w2).tag, shared.tag);
    ASSERT_NE(wait_new_mirror(rx->c.get(), rx->marker, {mirror.id()}), 0u);

    // Another client may not change the shares: each of these gets BadAccess. Its owner may.
    Xcb other = xcb_open(server->name());
    ASSERT_TRUE(other);
    struct { const char *what; uint8_t minor; uint32_t a1, a2, a3; } attempts[] = {
        {"AllowInput", kAllowInput, host, 0, 0},
        {"UnshareWindow of the window", kUnshare, host, w, 0},
        {"SetInputState", 4, 1, w, 0},
    };
    for (const auto &a : attempts)
        EXPECT_EQ(error_of(other.get(), send_share(other.get(), codes.major, a.minor, a.a1, a.a2, a.a3)), 10) << a.what;
    // Input allowed ahead of any share is remembered for at most 1024 hosts.
    for (uint32_t h = 1; h <= 1024; ++h) send_share(other.get(), codes.major, kAllowInput, 0x0a000000 + h);
    EXPECT_EQ(error_of(other.get(), send_share(other.get(), codes.major, kAllowInput, 0x0b000000)), 11);
    sync(rx->c.get());
    EXPECT_EQ(windows_with(rx->c.get(), rx->marker).size(), 2u) << "the shares must stay";
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 4, 1, w, 0)), 0);

    // Window zero removes everything shared to the receiver.
    send_share(c.get(), codes.major, kUnshare, host, 0, 0);
    std::set<uint32_t> removed{expect_event(4).window, expect_event(4).window};
    EXPECT_EQ(removed, (std::set<uint32_t>{w, w2}));
    expect_event(2);
    // A window unshared by its tag goes, and with the last one the connection.
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);
    expect_event(0);
    const uint32_t tag = expect_event(3).tag;
    ASSERT_NE(wait_new_mirror(rx->c.get(), rx->marker), 0u);
    send_share(c.get(), codes.major, kUnshare, host, w, tag);
    EXPECT_EQ(expect_event(4, w).tag, tag);
    EXPECT_EQ(expect_event(2).host, host);
    EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker));
    // Only the owner heard of any of it.
    sync(other.get());
    while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(other.get())})
        EXPECT_NE(ev->response_type & 0x7f, codes.first_event) << "another client's share events reached this one";

    const xcb_screen_t *rx_screen = xcb_setup_roots_iterator(xcb_get_setup(rx->c.get())).data;
    auto rx_screen_pixels = [&] {
        return pixels(rx->c.get(), rx_screen->root, rx_screen->width_in_pixels, rx_screen->height_in_pixels);
    };
    const std::vector<uint32_t> before = rx_screen_pixels();
    c.reset();
    // A shared window destroyed, then clients in a row that go with their shares. Each new client
    // mostly gets the id range of the one before (another connection of the server's may take the
    // freed slot first; then a few more rounds), yet each window must get its own mirror.
    Xcb direct = xcb_open(upstream->name());
    uint32_t first = 0;
    int reused = 0;
    for (int round = 0; round < 4 || (reused == 0 && round < 8); ++round) {
        const bool destroy = round == 0;
        SCOPED_TRACE(destroy ? "window destroyed" : "client disconnected, round " + std::to_string(round));
        if (!c) c = xcb_open(server->name());
        ASSERT_TRUE(c);
        uint32_t w = solid_window(c.get(), "short-lived", 120, 90, 0x00c0ffee);
        if (round == 0) first = w;
        reused += round > 0 && w == first;
        const uint32_t mirror = share(*rx, w);
        ASSERT_TRUE(mirror && MirrorWatch(rx->c.get(), mirror).viewable(true)) << "shown before the window goes";
        ASSERT_TRUE(eventually([&] { return rx_screen_pixels() != before; }, std::chrono::seconds(5)))
            << "the mirror never showed";
        if (destroy) {
            xcb_destroy_window(c.get(), w);
            xcb_flush(c.get());
            expect_event(4, w);
            expect_event(2, {}, rx->host);
        } else {
            c.reset();   // as on kill -9: the socket just closes, and the shares go within a second
        }
        EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker, std::chrono::seconds(1)));
        EXPECT_EQ(rx_screen_pixels(), before) << "the receiver's screen kept a trace of the mirror";
        // The next client comes once upstream has let this one go, with its last window.
        const uint32_t last = destroy ? make_window(c.get(), "last", 10, 10) : w;
        c.reset();
        EXPECT_TRUE(eventually([&] {
            return !Owned<xcb_get_geometry_reply_t>(xcb_get_geometry_reply(direct.get(), xcb_get_geometry(direct.get(), last), nullptr));
        }, std::chrono::seconds(5)));
    }
    EXPECT_GE(reused, 1) << "no client got the ids of a window that was shared before";

    // An application: every top level of a new client, and a dialog that comes later.
    c = xcb_open(server->name());
    uint32_t main_window = make_window(c.get(), "main");
    uint32_t palette = make_window(c.get(), "palette", 80, 80);
    // Another client's window is not part of the application.
    make_window(other.get(), "foreign");
    sync(other.get());

    send_share(c.get(), codes.major, kShareApplication, rx->host, main_window, 0);
    expect_event(0);
    ShareEvent a = expect_event(3), b = expect_event(3);
    EXPECT_EQ(std::tuple(a.detail, b.detail, a.tag), std::tuple(0u, 0u, b.tag));
    EXPECT_EQ((std::set<uint32_t>{a.window, b.window}), (std::set<uint32_t>{main_window, palette}));
    EXPECT_FALSE(next_share_event(c.get(), codes.first_event, std::chrono::milliseconds(300)));
    std::vector<uint32_t> mirrors;
    uint32_t main_mirror = 0;
    ASSERT_TRUE(wait_until(rx->c.get(), [&] {
        mirrors = windows_with(rx->c.get(), rx->marker);
        for (uint32_t m : mirrors)
            if (get_property(rx->c.get(), m, XCB_ATOM_WM_NAME) == "main") main_mirror = m;
        return mirrors.size() == 2 && main_mirror;
    }));

    // A dialog of the application, transient for its main window, appears later.
    const uint32_t dialog = new_window(c.get(), 0, 40, 40, 120, 60);
    set_property(c.get(), dialog, XCB_ATOM_WM_TRANSIENT_FOR, std::string(reinterpret_cast<char *>(&main_window), 4),
                 XCB_ATOM_WINDOW, 32);
    xcb_map_window(c.get(), dialog);
    fill(c.get(), dialog, 0, 0, 120, 60, 0x00aa55);
    const ShareEvent joined = expect_event(3, dialog);
    EXPECT_EQ(std::pair(joined.tag, joined.detail), std::pair(a.tag, 0u));
    MirrorWatch dialog_mirror(rx->c.get(), wait_new_mirror(rx->c.get(), rx->marker, mirrors));
    EXPECT_TRUE(dialog_mirror.property_is(XCB_ATOM_WM_TRANSIENT_FOR,
                                          std::string(reinterpret_cast<char *>(&main_mirror), 4)));
    EXPECT_TRUE(dialog_mirror.shows_solid(0x00aa55, 120, 60));

    // A menu joins it too, and stays part of it once closed. Unsharing the main window by its tag
    // takes every window of the application off the receiver, the menu included.
    const uint32_t look[] = {0xffaa00, 1}, above = XCB_STACK_MODE_ABOVE;
    const uint32_t menu = new_window(c.get(), 0, 20, 20, 90, 120, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, look);
    set_property(c.get(), menu, XCB_ATOM_WM_NAME, "menu");
    xcb_map_window(c.get(), menu);
    xcb_flush(c.get());
    EXPECT_EQ(expect_event(3, menu).tag, a.tag);
    xcb_unmap_window(c.get(), menu);
    send_share(c.get(), codes.major, kUnshare, rx->host, main_window, a.tag);
    std::set<uint32_t> gone{expect_event(4).window, expect_event(4).window, expect_event(4).window, expect_event(4).window};
    EXPECT_EQ(gone, (std::set<uint32_t>{main_window, palette, dialog, menu}));
    expect_event(2);
    EXPECT_TRUE(no_mirror_left(rx->c.get(), rx->marker));
    // Shared again, the menu opens on top, also after the others were raised while it was closed.
    send_share(c.get(), codes.major, kShareApplication, rx->host, main_window, 0);
    for (uint8_t status : {0, 3, 3, 3}) expect_event(status);
    auto top = [&] {   // the title of the mirror on top, once the sender's requests are out
        xcb_flush(c.get());
        const auto order = windows_with(rx->c.get(), rx->marker);
        return order.empty() ? std::nullopt : get_property(rx->c.get(), order.back(), XCB_ATOM_WM_NAME);
    };
    for (auto [first, last] : {std::pair{palette, main_window}, {main_window, palette}}) {
        for (uint32_t up : {first, last}) xcb_configure_window(c.get(), up, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        ASSERT_TRUE(wait_until(rx->c.get(), [&] { return top() == (last == palette ? "palette" : "main"); }));
        xcb_map_window(c.get(), menu);
        EXPECT_TRUE(wait_until(rx->c.get(), [&] { return top() == "menu"; })) << "raised last: " << last;
        xcb_unmap_window(c.get(), menu);
    }
}

// Shares that fail alone, each from its cause: no thread, receivers that are no X server, flood or refuse
// the server, windows that cannot be shared, this display itself; and the requests the server answers.
TEST_F(Sharing, VersionAccessCheckErrorsAndSharesWithoutAThreadOrToReceiversThatAreNoXServerOrRefuseFailAloneHoldingUpNoGrab) {
    FakeReceiver silent;
    const uint32_t w = make_window(c.get(), "held while sharing");
    // Reaching a receiver costs threads: under a memory limit the shares that get none fail.
    ASSERT_TRUE(limit_address_space(server->process().pid(), 40 * 1024));
    // One client per share, as a client's shares are taken one after the other.
    constexpr int kShares = 24;
    std::vector<Xcb> clients;
    std::vector<uint32_t> hosts;
    for (int i = 0; i < kShares; ++i) {
        clients.push_back(xcb_open(server->name()));
        ASSERT_TRUE(clients.back());
        hosts.push_back(intern(clients.back().get(), silent.name(i)));
        send_share(clients.back().get(), codes.major, kShareWindow, hosts.back(), w, 0);
    }
    std::map<uint8_t, int> outcomes;
    for (size_t i = 0; i < clients.size(); ++i) {
        const auto e = next_share_event(clients[i].get(), codes.first_event, std::chrono::seconds(20));
        ASSERT_TRUE(e && e->host == hosts[i]) << "share " << i << " never ended";
        ++outcomes[e->status];
    }
    EXPECT_GT(outcomes[101], 0) << "the limit should have cost some shares their thread";
    EXPECT_EQ(outcomes[101] + outcomes[1], kShares);
    limit_address_space(server->process().pid(), -1);
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(2)));

    // A silent receiver keeps the share under way, and upstream's later replies held back.
    const long before = resident_kb(server->process().pid());
    send_share(c.get(), codes.major, kShareWindow, intern(c.get(), silent.name()), w, 0);
    // As Motif does when it sets up a drop site: grab, ask, let go.
    xcb_grab_server(c.get());
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(2)))
        << "replies held for the share must not keep a grabbing client from its ungrab";
    xcb_ungrab_server(c.get());
    // 100 pictures of the whole screen meanwhile, 3 MB each, must not all be kept.
    xcb_screen_t *screen = first_screen(c.get());
    std::vector<xcb_get_image_cookie_t> asked;
    for (int i = 0; i < 100; ++i)
        asked.push_back(xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0, screen->width_in_pixels,
                                      screen->height_in_pixels, ~0u));
    xcb_flush(c.get());
    long peak = before;
    const std::optional<ShareEvent> failed = next_event_watching_memory(peak);
    ASSERT_TRUE(failed) << "the share never ended";
    // A receiver that never answers counts as no X server there.
    EXPECT_EQ(std::tuple(failed->status, failed->window, failed->detail), std::tuple(1, w, 3u));
    EXPECT_LT(peak - before, 64L * 1024) << "the server kept " << (peak - before) / 1024 << " MB for one client";
    // Every reply comes, whole, once the share is settled.
    for (auto cookie : asked) {
        Owned<xcb_get_image_reply_t> r(xcb_get_image_reply(c.get(), cookie, nullptr));
        ASSERT_TRUE(r && xcb_get_image_data_length(r.get()) == int{screen->width_in_pixels} * screen->height_in_pixels * 4);
    }

    // A share asked for under the grabbing client's own grab is carried out once it lets go.
    xcb_grab_server(c.get());
    send_share(c.get(), codes.major, kShareApplication, rx->host, w, 0);
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(2))) << "a share under the grab stalled the proxy";
    ungrab(c.get());
    expect_event(0);
    EXPECT_EQ(expect_event(3).window, w);
    // Under the next grab upstream answers no capture: the proxy relays the grabber and catches up after.
    MirrorWatch mirror(rx->c.get(), wait_new_mirror(rx->c.get(), rx->marker));
    xcb_grab_server(c.get());
    // Long enough for frames to fall due while the grab lasts.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    uint32_t colour = 0x222222;
    for (; std::chrono::steady_clock::now() < until; colour = (colour + 0x010101) & 0xffffff) {
        fill(c.get(), w, 0, 0, 50, 50, colour);
        ASSERT_TRUE(round_trip_within(c.get(), std::chrono::seconds(2))) << "the proxy stopped relaying the grabbing client";
    }
    // A new top level of the application, beside the window, as a window manager maps one.
    const uint32_t dialog = new_window(c.get(), 0, 300, 300, 60, 40);
    xcb_map_window(c.get(), dialog);
    ASSERT_TRUE(round_trip_within(c.get(), std::chrono::seconds(2))) << "a new top level under the grab stalled the proxy";
    ungrab(c.get());
    EXPECT_TRUE(mirror.shows_solid((colour - 0x010101) & 0xffffff, 50, 50));
    expect_event(3, dialog);   // the window mapped under the grab joins the share after it
    // A single window asked for under its client's grab is shared once the grab ends too.
    Xcb grabber = xcb_open(server->name());
    const uint32_t single = make_window(grabber.get(), "shared under a grab");
    xcb_grab_server(grabber.get());
    send_share(grabber.get(), codes.major, kShareWindow, rx->host, single, 0);
    EXPECT_TRUE(round_trip_within(grabber.get(), std::chrono::seconds(2))) << "a share under the grab stalled the proxy";
    ungrab(grabber.get());
    expect_event(3, single, {}, grabber.get(), codes.first_event);   // the receiver is reached already

    // Receivers that are no X server, or flood events, fail alone.
    // The set-up the real receiver sent this test's connection, whole (both are least significant byte first).
    const auto *setup_start = reinterpret_cast<const uint8_t *>(xcb_get_setup(rx->c.get()));
    const std::vector<uint8_t> setup(setup_start, setup_start + 8 + 4 * size_t{xcb_get_setup(rx->c.get())->length});
    using Then = FakeReceiver::Then;
    struct { const char *what; std::vector<uint8_t> answer; Then then; const char *traced; } cases[] = {
        {"half a set-up", {setup.begin(), setup.begin() + setup.size() / 2}, Then::Silence, "no answer to the set-up"},
        {"garbage", std::vector<uint8_t>(64, 0xee), Then::Silence, "not reached"},
        {"replies under wrong sequence numbers", setup, Then::OutOfTurn, "answers out of turn"},
        {"an event flood", setup, Then::Flood, "sends events without end"},
    };
    const long fakes_from = resident_kb(server->process().pid());
    for (const auto &k : cases) {
        FakeReceiver fake(k.answer, k.then);
        const uint32_t host = intern(c.get(), fake.name());
        SCOPED_TRACE(k.what);
        share_expecting(1, host, w);
        EXPECT_TRUE(contains(trace(), k.traced));
    }
    EXPECT_LT(resident_kb(server->process().pid()) - fakes_from, 32L * 1024) << "a fake receiver made the server grow";

    // A receiver that floods events once the share is under way.
    FakeReceiver relay({}, FakeReceiver::Then::Flood, rx->xvfb->number());
    Receiver &flooder = receivers.emplace_back(Receiver{{}, xcb_open(rx->xvfb->name()), rx->marker, intern(c.get(), relay.name())});
    watch_root(flooder.c.get());
    ASSERT_NE(share(flooder, w), 0u);
    const long flood_start = resident_kb(server->process().pid());
    peak = flood_start;
    relay.misbehave = true;
    // Meanwhile the server answers its other clients at once.
    Xcb other = xcb_open(server->name());
    ASSERT_TRUE(other);
    EXPECT_TRUE(round_trip_within(other.get(), std::chrono::seconds(2))) << "the flood held up the server";
    // More than anyone can read, for longer than a second: the receiver is dropped.
    const std::optional<ShareEvent> lost = next_event_watching_memory(peak);
    ASSERT_TRUE(lost) << "the flood went on for ever";
    EXPECT_EQ(std::tuple(lost->status, lost->host), std::tuple(12, flooder.host));
    expect_event(4, w, flooder.host);   // its share is withdrawn, then the connection closed
    expect_event(2, {}, flooder.host);
    EXPECT_TRUE(contains(trace(), "floods events: dropped"));
    EXPECT_LT(peak - flood_start, 64L * 1024) << "the flood made the server grow";
    // A receiver that stops halfway through a packet: the server answers at once throughout, and
    // drops it as one that stopped answering once its time-out (2 s) has passed.
    FakeReceiver staller({}, FakeReceiver::Then::Stall, rx->xvfb->number());
    Receiver &stalled = receivers.emplace_back(Receiver{{}, xcb_open(rx->xvfb->name()), rx->marker, intern(c.get(), staller.name())});
    ASSERT_NE(share(stalled, w), 0u);
    staller.misbehave = true;
    const auto stalled_at = std::chrono::steady_clock::now();
    std::optional<ShareEvent> timed_out;
    while (!timed_out && std::chrono::steady_clock::now() < stalled_at + std::chrono::seconds(10)) {
        ASSERT_TRUE(round_trip_within(other.get(), std::chrono::seconds(1))) << "the stalled receiver held up the server";
        timed_out = next_share_event(c.get(), codes.first_event, std::chrono::milliseconds(250));
    }
    ASSERT_TRUE(timed_out) << "the stalled receiver was never dropped";
    EXPECT_EQ(std::tuple(timed_out->status, timed_out->host), std::tuple(10, stalled.host));
    expect_event(4, w, stalled.host);
    expect_event(2, {}, stalled.host);
    // The requests the server answers by itself, its errors and its trace.
    auto atom = share_reply(c.get(), send_share(c.get(), codes.major, 9));
    ASSERT_TRUE(atom && *atom);
    // The atom lives on upstream, so a direct client can read its name too.
    Xcb direct = xcb_open(upstream->name());
    Owned<xcb_get_atom_name_reply_t> name(
        xcb_get_atom_name_reply(direct.get(), xcb_get_atom_name(direct.get(), *atom), nullptr));
    ASSERT_TRUE(name);
    std::string text(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()));
    EXPECT_EQ(text.rfind("Telvane Server ", 0), 0u) << text;
    // CheckAccess wants our user on this machine; 127.0.0.1 as the client's memory holds it.
    EXPECT_EQ(share_reply(c.get(), send_share(c.get(), codes.major, 10, 0, uint32_t(getuid()), 0x0100007f)), 1u);
    // Malformed requests get protocol errors.
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 2)), 1);     // BadRequest
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 40, 0, 0, 0, 5)), 1) << "before BadLength";
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 7, 1, 0, 0, 5)), 16);  // BadLength
    // Requests that are fine get no error, and the connection is still in step.
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 6)), 0);
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 32)), 0);
    EXPECT_TRUE(share_reply(c.get(), send_share(c.get(), codes.major, 9)));
    EXPECT_EQ(error_of(c.get(), send_share(c.get(), codes.major, 4, 1, 0x07ffff01)), 10)
        << "BadAccess: the window is not shared by this client";
    EXPECT_TRUE(contains(trace(), "order=lsb major=" + std::to_string(codes.major) +
                                      " minor=4 name=SetInputState length=4 bytes=16 arg1=0x00000001 arg2=0x07ffff01"));

    // Windows that cannot be shared; the server's own display and upstream, by address and host name,
    // where a mirror would cover its original.
    std::vector<std::tuple<uint32_t, uint32_t, uint8_t>> unsharable{{first_screen(c.get())->root, rx->host, 5},
        {make_window(other.get(), "", 10, 10, XCB_WINDOW_CLASS_INPUT_ONLY), rx->host, 5}, {0x07ffff00u, rx->host, 5}};
    for (const std::string &self : {server->tcp_name(), upstream->tcp_name(), host_name() + ":" + std::to_string(server->number())})
        unsharable.emplace_back(make_window(other.get(), "Self probe"), intern(c.get(), self + ".0"), 100);
    for (const auto &[window, host, status] : unsharable) {
        SCOPED_TRACE(testing::Message() << "window " << window << " status " << int(status));
        share_expecting(status, host, window);
    }
    EXPECT_EQ(count_of(trace(), "is this display itself: share refused"), 3u);
    EXPECT_TRUE(windows_with(c.get(), intern(c.get(), "TL_SERVER_NAME")).empty()) << "no mirror was made here";

    // Receivers that turn the server away, each with its detail: no X server, no address, host access
    // (Xvfb lets this machine in by default: its addresses must not be a way in either), and a
    // cookie the server has wrong.
    ASSERT_EQ(xauth_add(scratch.file("receiver.auth"), ":0", "00112233445566778899aabbccddeeff"), 0);
    XvfbServer::Options o;
    o.access_control = true;
    auto closed = XvfbServer::start(o);
    ASSERT_TRUE(closed && drop_hosts(xcb_open(closed->name()).get(), true));
    o.extra = {"-auth", scratch.file("receiver.auth")};
    auto guarded = XvfbServer::start(o);
    ASSERT_TRUE(guarded);
    for (const std::string &name : {guarded->tcp_name(), "localhost:" + std::to_string(guarded->number())})
        ASSERT_EQ(xauth_add(scratch.file("server.auth"), name, "ffeeddccbbaa99887766554433221100"), 0);
    const std::pair<std::string, uint32_t> refusals[] = {
        {"127.0.0.1:" + std::to_string(find_free_display(rx->xvfb->number() + 1)) + ".0", 3},
        {"no-such-host.invalid:0.0", 1}, {closed->tcp_name() + ".0", 0}, {guarded->tcp_name() + ".0", 4}};
    for (const auto &[display, detail] : refusals) {
        const uint32_t host = intern(c.get(), display);
        EXPECT_EQ(share_expecting(1, host, make_window(other.get(), display)).detail, detail) << display;
    }

    // The sender and a real receiver go on after it all.
    EXPECT_NE(share(*rx, make_window(other.get(), "after the flood"), false), 0u);
}
