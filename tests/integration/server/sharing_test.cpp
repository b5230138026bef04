// Sharing windows from the display behind telvane-server to a second Xvfb: events in order,
// mirrors with their title and sender name, unsharing, cleanup, and every failure detail from the
// condition that causes it.
#include "process.h"
#include "share_server.h"
#include "x_client.h"
#include "xvfb.h"

#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

using namespace telvane::testing;
using telvane::wire::ShareEvent;

namespace {

constexpr uint8_t kShareApplication = 0, kShareWindow = 1, kUnshare = 3, kAllowInput = 7, kDisallowInput = 8;

std::string host_name() {
    char h[256] = {0};
    gethostname(h, sizeof h - 1);
    return h;
}

class Sharing : public ::testing::Test {
protected:
    void SetUp() override {
        upstream = XvfbServer::start();
        ASSERT_TRUE(upstream);
        receiver = XvfbServer::start();
        ASSERT_TRUE(receiver);
        ShareServer::Options o;
        o.trace_path = scratch.file("trace");
        o.env = server_env;
        o.extra = {"--connect-timeout", "3000"};
        server = ShareServer::start(upstream->name(), o);
        ASSERT_TRUE(server);
        c = xcb_open(server->name());
        ASSERT_TRUE(c);
        codes = query_share(c.get());
        ASSERT_TRUE(codes.present);
        rx = xcb_open(receiver->name());
        ASSERT_TRUE(rx);
        watch_root(rx.get());
        tl_server_name = intern(rx.get(), "TL_SERVER_NAME");
    }
    // The host atom for a display, as the client names receivers: canonical "a.b.c.d:D.S".
    uint32_t host_atom(const std::string &display_text) { return intern(c.get(), display_text); }
    uint32_t receiver_atom() { return host_atom("127.0.0.1:" + std::to_string(receiver->number()) + ".0"); }

    ShareEvent expect_event(uint8_t status) {
        auto ev = next_share_event(c.get(), codes.first_event);
        EXPECT_TRUE(ev) << "no event, wanted status " << int(status);
        if (!ev) return {};
        EXPECT_EQ(ev->status, status);
        return *ev;
    }

    std::map<std::string, std::string> server_env;
    ScratchDir scratch;
    std::optional<XvfbServer> upstream, receiver;
    std::optional<ShareServer> server;
    Xcb c, rx;
    ShareCodes codes;
    uint32_t tl_server_name = 0;
};

}  // namespace

TEST_F(Sharing, WindowAppearsOnTheReceiverAndGoesAgain) {
    uint32_t w = make_window(c.get(), "Shared probe", 321, 123);
    uint32_t host = receiver_atom();
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);

    ShareEvent made = expect_event(0);
    EXPECT_EQ(made.host, host);
    ShareEvent shared = expect_event(3);
    EXPECT_EQ(shared.window, w);
    EXPECT_EQ(shared.host, host);
    EXPECT_EQ(shared.detail, 1u);
    EXPECT_NE(shared.tag, 0u);

    ASSERT_TRUE(wait_root_child(rx.get(), false));
    auto mirrors = windows_with(rx.get(), tl_server_name);
    ASSERT_EQ(mirrors.size(), 1u);
    EXPECT_EQ(get_string(rx.get(), mirrors[0], tl_server_name), host_name());
    EXPECT_EQ(get_string(rx.get(), mirrors[0], XCB_ATOM_WM_NAME), "Shared probe");
    EXPECT_EQ(get_string(rx.get(), mirrors[0], XCB_ATOM_WM_CLASS), std::string("probe\0TelvaneProbe\0", 19));
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(rx.get(), xcb_get_geometry(rx.get(), mirrors[0]), nullptr));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->width, 321);
    EXPECT_EQ(g->height, 123);

    // The same window again to the same receiver.
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);
    ShareEvent again = expect_event(100);
    EXPECT_EQ(again.window, w);

    send_share(c.get(), codes.major, kUnshare, host, w, shared.tag);
    ShareEvent gone = expect_event(4);
    EXPECT_EQ(gone.window, w);
    EXPECT_EQ(gone.tag, shared.tag);
    EXPECT_EQ(expect_event(2).host, host);
    ASSERT_TRUE(wait_root_child(rx.get(), true));
    EXPECT_TRUE(windows_with(rx.get(), tl_server_name).empty());
}

TEST_F(Sharing, UnshareWithWindowZeroRemovesEverythingSharedToTheReceiver) {
    uint32_t host = receiver_atom();
    uint32_t w1 = make_window(c.get(), "one"), w2 = make_window(c.get(), "two");
    send_share(c.get(), codes.major, kShareWindow, host, w1, 0);
    expect_event(0);
    uint32_t t1 = expect_event(3).tag;
    send_share(c.get(), codes.major, kShareWindow, host, w2, 0);
    uint32_t t2 = expect_event(3).tag;
    EXPECT_NE(t1, t2);
    // Input settings of a connected receiver are confirmed by events.
    send_share(c.get(), codes.major, kAllowInput, host);
    EXPECT_EQ(expect_event(7).host, host);
    send_share(c.get(), codes.major, kDisallowInput, host);
    EXPECT_EQ(expect_event(8).host, host);

    send_share(c.get(), codes.major, kUnshare, host, 0, 0);
    std::set<uint32_t> removed{expect_event(4).window, expect_event(4).window};
    EXPECT_EQ(removed, (std::set<uint32_t>{w1, w2}));
    expect_event(2);
}

TEST_F(Sharing, ApplicationSharesEveryTopLevelOfTheCreatingClient) {
    uint32_t host = receiver_atom();
    uint32_t main_window = make_window(c.get(), "main");
    uint32_t palette = make_window(c.get(), "palette", 80, 80);
    // Another client's window is not part of the application.
    Xcb other = xcb_open(server->name());
    uint32_t foreign = make_window(other.get(), "foreign");
    Owned<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(other.get(), xcb_get_input_focus(other.get()), nullptr));

    send_share(c.get(), codes.major, kShareApplication, host, main_window, 0);
    expect_event(0);
    ShareEvent a = expect_event(3), b = expect_event(3);
    EXPECT_EQ(a.detail, 0u);
    EXPECT_EQ(b.detail, 0u);
    EXPECT_EQ(a.tag, b.tag);
    EXPECT_EQ((std::set<uint32_t>{a.window, b.window}), (std::set<uint32_t>{main_window, palette}));
    EXPECT_NE(a.window, foreign);
    EXPECT_FALSE(next_share_event(c.get(), codes.first_event, std::chrono::milliseconds(300)));
}

TEST_F(Sharing, WindowsThatCannotBeSharedAreRefusedWithoutConnecting) {
    uint32_t host = receiver_atom();
    uint32_t root = first_screen(c.get())->root;
    uint32_t input_only = make_window(c.get(), "", 10, 10, XCB_WINDOW_CLASS_INPUT_ONLY);
    for (uint32_t w : {root, input_only, 0x07ffff00u}) {
        send_share(c.get(), codes.major, kShareWindow, host, w, 0);
        ShareEvent e = expect_event(5);
        EXPECT_EQ(e.window, w);
        EXPECT_EQ(e.host, host);
    }
}

TEST_F(Sharing, DisconnectingClientLeavesNothingBehind) {
    // A second client that speaks the extension hears about the cleanup.
    Xcb observer = xcb_open(server->name());
    ASSERT_TRUE(share_reply(observer.get(), send_share(observer.get(), codes.major, 9)));
    uint32_t host = receiver_atom();
    uint32_t w = make_window(c.get(), "short-lived");
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);
    expect_event(0);
    expect_event(3);
    ASSERT_TRUE(wait_root_child(rx.get(), false));
    // Everyone who has used the extension sees the same events.
    EXPECT_EQ(next_share_event(observer.get(), codes.first_event)->status, 0);
    EXPECT_EQ(next_share_event(observer.get(), codes.first_event)->status, 3);

    c.reset();
    auto e4 = next_share_event(observer.get(), codes.first_event);
    ASSERT_TRUE(e4);
    EXPECT_EQ(e4->status, 4);
    EXPECT_EQ(e4->window, w);
    auto e2 = next_share_event(observer.get(), codes.first_event);
    ASSERT_TRUE(e2);
    EXPECT_EQ(e2->status, 2);
    ASSERT_TRUE(wait_root_child(rx.get(), true));
    EXPECT_TRUE(windows_with(rx.get(), tl_server_name).empty());
}

TEST_F(Sharing, ReceiverThatDiesIsReportedAndForgotten) {
    uint32_t host = receiver_atom();
    uint32_t w = make_window(c.get(), "doomed receiver");
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);
    expect_event(0);
    expect_event(3);
    rx.reset();
    receiver->process().stop();
    EXPECT_EQ(expect_event(12).host, host);
    EXPECT_EQ(expect_event(4).window, w);
    EXPECT_EQ(expect_event(2).host, host);
    EXPECT_TRUE(server->process().running());
    EXPECT_TRUE(share_reply(c.get(), send_share(c.get(), codes.major, 9)));
}

TEST_F(Sharing, UnusedDisplayNumberMeansNoXServer) {
    int unused = find_free_display(receiver->number() + 1);
    uint32_t host = host_atom("127.0.0.1:" + std::to_string(unused) + ".0");
    uint32_t w = make_window(c.get(), "nowhere");
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);
    ShareEvent e = expect_event(1);
    EXPECT_EQ(e.detail, 3u);
    EXPECT_EQ(e.host, host);
}

TEST_F(Sharing, NameWithoutAnAddressMeansNoIp) {
    uint32_t w = make_window(c.get(), "unnamed");
    send_share(c.get(), codes.major, kShareWindow, host_atom("no-such-host.invalid:0.0"), w, 0);
    EXPECT_EQ(expect_event(1).detail, 1u);
}

TEST_F(Sharing, HostAccessControlRefusalMeansDetailZero) {
    XvfbServer::Options o;
    o.access_control = true;
    auto closed = XvfbServer::start(o);
    ASSERT_TRUE(closed);
    // Xvfb lets this machine in by default; take every network address off its list.
    Xcb admin = xcb_open(closed->name());
    ASSERT_TRUE(admin);
    Owned<xcb_list_hosts_reply_t> hosts(xcb_list_hosts_reply(admin.get(), xcb_list_hosts(admin.get()), nullptr));
    ASSERT_TRUE(hosts);
    for (auto it = xcb_list_hosts_hosts_iterator(hosts.get()); it.rem; xcb_host_next(&it)) {
        if (it.data->family == XCB_FAMILY_INTERNET || it.data->family == XCB_FAMILY_INTERNET_6)
            xcb_change_hosts(admin.get(), XCB_HOST_MODE_DELETE, it.data->family,
                             xcb_host_address_length(it.data), xcb_host_address(it.data));
    }
    Owned<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(admin.get(), xcb_get_input_focus(admin.get()), nullptr));

    uint32_t w = make_window(c.get(), "refused");
    send_share(c.get(), codes.major, kShareWindow, host_atom(closed->tcp_name() + ".0"), w, 0);
    EXPECT_EQ(expect_event(1).detail, 0u);
}

namespace {

// A receiver that wants a cookie, and a server whose authority file holds the wrong one for it.
class SharingWrongCookie : public Sharing {
protected:
    void SetUp() override {
        run({"xauth", "-f", scratch.file("receiver.auth"), "add", ":0", "MIT-MAGIC-COOKIE-1",
             "00112233445566778899aabbccddeeff"});
        XvfbServer::Options o;
        o.access_control = true;
        o.extra = {"-auth", scratch.file("receiver.auth")};
        guarded = XvfbServer::start(o);
        ASSERT_TRUE(guarded);
        run({"xauth", "-f", scratch.file("server.auth"), "add", guarded->tcp_name(), "MIT-MAGIC-COOKIE-1",
             "ffeeddccbbaa99887766554433221100"});
        run({"xauth", "-f", scratch.file("server.auth"), "add", "localhost:" + std::to_string(guarded->number()),
             "MIT-MAGIC-COOKIE-1", "ffeeddccbbaa99887766554433221100"});
        server_env["XAUTHORITY"] = scratch.file("server.auth");
        Sharing::SetUp();
    }
    void run(const std::vector<std::string> &argv) {
        ChildProcess::Options o;
        o.stdout_path = o.stderr_path = "/dev/null";
        auto p = ChildProcess::start(argv, o);
        ASSERT_TRUE(p);
        auto st = p.wait_for_exit(std::chrono::seconds(20));
        ASSERT_TRUE(st && exit_code(*st) == 0);
    }
    std::optional<XvfbServer> guarded;
};

}  // namespace

TEST_F(SharingWrongCookie, RejectedCookieMeansDetailFour) {
    // Make sure the local network addresses are not a way in either.
    Xcb admin = xcb_open(guarded->name());
    if (admin) {
        Owned<xcb_list_hosts_reply_t> hosts(xcb_list_hosts_reply(admin.get(), xcb_list_hosts(admin.get()), nullptr));
        for (auto it = xcb_list_hosts_hosts_iterator(hosts.get()); hosts && it.rem; xcb_host_next(&it))
            if (it.data->family == XCB_FAMILY_INTERNET || it.data->family == XCB_FAMILY_INTERNET_6)
                xcb_change_hosts(admin.get(), XCB_HOST_MODE_DELETE, it.data->family,
                                 xcb_host_address_length(it.data), xcb_host_address(it.data));
        Owned<xcb_get_input_focus_reply_t> s(xcb_get_input_focus_reply(admin.get(), xcb_get_input_focus(admin.get()), nullptr));
    }
    uint32_t w = make_window(c.get(), "wrong cookie");
    send_share(c.get(), codes.major, kShareWindow, host_atom(guarded->tcp_name() + ".0"), w, 0);
    EXPECT_EQ(expect_event(1).detail, 4u);
}

TEST_F(Sharing, DestroyedWindowIsUnshared) {
    uint32_t host = receiver_atom();
    uint32_t w = make_window(c.get(), "destroyed");
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);
    expect_event(0);
    expect_event(3);
    ASSERT_TRUE(wait_root_child(rx.get(), false)) << "the mirror is shown before the window goes";
    xcb_destroy_window(c.get(), w);
    xcb_flush(c.get());
    EXPECT_EQ(expect_event(4).window, w);
    expect_event(2);
    ASSERT_TRUE(wait_root_child(rx.get(), true));
    EXPECT_TRUE(windows_with(rx.get(), tl_server_name).empty());
}

TEST_F(Sharing, ARoundTripAfterAShareBringsItsEventsFirst) {
    // Reaching a new receiver takes a while; a client that syncs right after asking must find
    // the share's events already queued when its reply arrives, as clients drain them that way.
    uint32_t w = make_window(c.get(), "synced");
    uint32_t host = receiver_atom();
    send_share(c.get(), codes.major, kShareWindow, host, w, 0);
    Owned<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
    ASSERT_TRUE(sync);
    std::vector<uint8_t> statuses;
    while (Owned<xcb_generic_event_t> ev{xcb_poll_for_queued_event(c.get())}) {
        if ((ev->response_type & 0x7f) == codes.first_event) statuses.push_back(ev->pad0);
    }
    EXPECT_EQ(statuses, (std::vector<uint8_t>{0, 3})) << "connection made, then window shared";
}

TEST_F(Sharing, AClientThatGrabsWhileItsShareIsUnderWayIsNotHeldUpAndASilentReceiverFails) {
    // A receiver that takes the connection and never speaks: the share stays under way until
    // the time limit for reaching it.
    struct Socket {
        int fd;
        ~Socket() { close(fd); }
        int get() const { return fd; }
    } silent{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000002);
    int number = 700;
    for (; number < 800; ++number) {
        a.sin_port = htons(static_cast<uint16_t>(6000 + number));
        if (bind(silent.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) break;
    }
    ASSERT_EQ(listen(silent.get(), 4), 0);
    uint32_t w = make_window(c.get(), "grabbed while sharing");
    send_share(c.get(), codes.major, kShareWindow, host_atom("127.0.0.2:" + std::to_string(number) + ".0"), w, 0);
    // As Motif does when it sets up a drop site: grab, ask, let go.
    xcb_grab_server(c.get());
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(2)))
        << "replies held for the share must not keep a grabbing client from its ungrab";
    xcb_ungrab_server(c.get());
    xcb_flush(c.get());
    ShareEvent failed = expect_event(1);
    EXPECT_EQ(failed.window, w) << "the share still ends as it would have";
    EXPECT_EQ(failed.detail, 3u) << "a receiver that never answers counts as no X server there";
}
