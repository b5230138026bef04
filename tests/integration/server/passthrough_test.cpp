// Clients through telvane-server behave as they do directly: real Qt and GTK programs, clients
// that never read, and the display's own life. Access: the proxy display is never more open
// than upstream, by cookie or by host access.
#include "mirror_probe.h"
#include "sockets.h"
#include "text_checks.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>

using namespace telvane::testing;

namespace {

class Through : public ServedDisplayTest {
protected:
    void SetUp() override { start_served(); }
};

// xdpyinfo's report without the lines that name the display, count the extensions or name ours.
std::string comparable(const std::string &report) {
    static const std::regex differing(R"([^\n]*(name of display|number of extensions|ShareExtension)[^\n]*\n)");
    return std::regex_replace(report, differing, "");
}

constexpr const char *kUpstreamCookie = "0123456789abcdef0123456789abcdef";

// A credential-less TCP set-up from `source` to display `number`: 1 accepted, 0 refused, -1 no answer.
int setup_from(const char *source, int number) {
    int s = tcp_connect(source, "127.0.0.1", 6000 + number);
    uint8_t first = 0xff;
    pollfd p{s, POLLIN, 0};
    const bool answered = s >= 0 && write(s, kSetupLsb, sizeof kSetupLsb) == 12 && poll(&p, 1, 10000) == 1 &&
                          read(s, &first, 1) == 1;
    if (s >= 0) close(s);
    return answered && first <= 1 ? first : -1;
}

// The exit code of `argv` run with authority file `xauthority` (the test's own when empty).
int run_with(const std::vector<std::string> &argv, const std::string &xauthority, const std::string &out = "/dev/null") {
    ChildProcess::Options o;
    o.stdout_path = out;
    o.stderr_path = "/dev/null";
    if (!xauthority.empty()) o.env_set["XAUTHORITY"] = xauthority;
    return run_program(argv, o);
}

}  // namespace

TEST_F(Through, RealQtAndGtkClientsSeeUpstreamPlusTheShareExtensionHostileOnesHarmOnlyThemselvesAndTheServerEndsWithUpstream) {
    ASSERT_EQ(run_with({"xdpyinfo", "-display", upstream->name(), "-queryExtensions"}, "", scratch.file("direct")), 0);
    ASSERT_EQ(run_with({"xdpyinfo", "-display", server->name(), "-queryExtensions"}, "", scratch.file("proxied")), 0);
    const std::string proxied = read_file(scratch.file("proxied"));
    EXPECT_EQ(comparable(proxied), comparable(read_file(scratch.file("direct"))));
    EXPECT_TRUE(contains(proxied, "ShareExtension  (opcode: "));

    // Qt (its picture in a shared segment whose descriptor must get through) and GTK draw the same
    // picture whichever way they reach the X server.
    Xcb at_upstream = xcb_open(upstream->name());
    for (const std::string toolkit : {"qt", "gtk"}) {
        SCOPED_TRACE(toolkit);
        std::vector<uint32_t> pictures[2];
        for (const int through : {0, 1}) {
            ChildProcess::Options o;
            o.env_set = {{"DISPLAY", through ? server->name() : upstream->name()}, {"NO_AT_BRIDGE", "1"},
                         {"GDK_BACKEND", "x11"}, {"QT_QPA_PLATFORM", "xcb"}};
            o.stderr_path = scratch.file("client.err");
            ChildProcess program =
                ChildProcess::start({"/usr/bin/python3", TELVANE_TEST_SOURCE_DIR "/" + toolkit + "_probe.py"}, o);
            // Drawn once its window shows a picture that stops changing, whole (the corners show the
            // background) and not only the background.
            std::vector<uint32_t> last;
            EXPECT_TRUE(eventually([&] {
                uint32_t w = 0;
                for (uint32_t top : windows_with(at_upstream.get(), XCB_ATOM_WM_NAME, 0, 1))
                    if (get_property(at_upstream.get(), top, XCB_ATOM_WM_NAME) == toolkit + "-probe") w = top;
                auto now = w ? pixels(at_upstream.get(), w, 200, 150) : std::vector<uint32_t>{};
                const bool same = !now.empty() && now == last && now[0] == now.back() && now[0] != now[200 * 75 + 100];
                last = std::move(now);
                return same;
            }, std::chrono::seconds(30))) << read_file(scratch.file("client.err"));
            pictures[through] = last;
        }
        ASSERT_FALSE(pictures[0].empty());
        EXPECT_TRUE(pictures[0] == pictures[1]) << "the picture differs through the server";
    }

    // Hostile clients harm only themselves: one that sends a set-up and then nothing, not even
    // reading the answer, and one that asks for 400 MB of pictures it never reads.
    Xcb c = xcb_open(server->name());
    ASSERT_TRUE(c);
    const long before = resident_kb(server->process().pid());
    int mute = unix_connect(server->number());
    ASSERT_EQ(write(mute, kSetupLsb, 12), 12);
    Xcb greedy = xcb_open(server->name());
    ASSERT_TRUE(greedy);
    const xcb_window_t root = first_screen(greedy.get())->root;
    for (int i = 0; i < 10000; ++i) xcb_get_image(greedy.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, 100, 100, ~0u);
    xcb_flush(greedy.get());
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(10)));
    EXPECT_EQ(run_with({"xdpyinfo", "-display", server->name()}, ""), 0);
    EXPECT_LT(resident_kb(server->process().pid()) - before, 64L * 1024) << "the proxy grew";
    close(mute);

    // A number whose abstract socket is held is taken (clients try that first): refused, and a
    // server that ends, refused its number or with its upstream, leaves nothing behind.
    auto nothing_left = [](int n) {
        return access(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), F_OK) != 0 &&
               access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0;
    };
    const int n = find_free_display(server->number() + 1);
    ASSERT_GT(n, 0);
    const std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
    int holder = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = unix_address(name, true);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr *>(&a),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())), 0);
    ChildProcess::Options options;
    options.stderr_path = scratch.file("stderr");
    EXPECT_EQ(run_program({build_path("server/telvane-server"), ":" + std::to_string(n), "--upstream", upstream->name(),
                           "-ac"}, options, std::chrono::seconds(20)), 1);
    close(holder);
    EXPECT_TRUE(contains(read_file(scratch.file("stderr")), "display :" + std::to_string(n) + " is in use"));
    EXPECT_TRUE(nothing_left(n));

    upstream->process().stop();
    // The client's connection ends with upstream's, and so does the server, as an X server would.
    EXPECT_FALSE(Owned<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr)));
    auto status = server->process().wait_for_exit(std::chrono::seconds(2));
    ASSERT_TRUE(status) << "the server outlived its upstream";
    EXPECT_EQ(exit_code(*status), 3);
    EXPECT_EQ(count_of(read_file(scratch.file("server.log")), "upstream display " + upstream->name() + " is gone"), 1u);
    EXPECT_TRUE(nothing_left(server->number()));
}

// Upstream with host access and no cookies (as `make run` starts it): the proxy lets in no more than
// upstream would, though upstream sees it as one local client; TCP, only when asked for, needs its cookie.
TEST(HostAccess, TcpNeedsTheCookieAndLocalClientsWhatUpstreamAsks) {
    ScratchDir scratch;
    XvfbServer::Options xo;
    xo.access_control = true;
    auto upstream = XvfbServer::start(xo);
    ASSERT_TRUE(upstream);
    ShareServer::Options o;
    o.access_control = true;
    o.stderr_path = scratch.file("server.err");
    o.env["XAUTHORITY"] = scratch.file("user.auth");
    auto server = ShareServer::start(upstream->name(), o);
    ASSERT_TRUE(server);

    // Without -listen tcp, or without either option as current X servers do, no TCP port.
    ShareServer::Options quiet;
    quiet.listen_tcp = false;
    for (int round = 0; round < 2; ++round, quiet.listen_tcp.reset()) {
        auto other = ShareServer::start(upstream->name(), quiet);
        ASSERT_TRUE(other);
        EXPECT_EQ(setup_from("127.0.0.1", other->number()), -1) << round;
    }

    // What upstream keeps to local clients the proxy refuses the others (127.0.0.3 is no address of ours).
    run_with({"xauth", "-f", scratch.file("user.auth"), "nlist", server->name()}, "", scratch.file("cookie"));
    const std::string entries = read_file(scratch.file("cookie")), hex = entries.substr(entries.rfind(' ') + 1, 32);
    std::string cookie;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) cookie += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    Xcb admin = xcb_open(upstream->name());
    const uint8_t far[4] = {127, 0, 0, 9};
    for (const std::string source : {"127.0.0.3", "127.0.0.1"}) {
        SCOPED_TRACE(source);
        int s = tcp_connect(source, "127.0.0.1", 6000 + server->number());
        ASSERT_GE(s, 0);
        xcb_auth_info_t auth{18, const_cast<char *>("MIT-MAGIC-COOKIE-1"), 16, cookie.data()};
        Xcb c(xcb_connect_to_fd(s, &auth));
        ASSERT_FALSE(xcb_connection_has_error(c.get()));
        const int expected = source == "127.0.0.3" ? 10 : 0;   // BadAccess, as upstream answers it
        EXPECT_EQ(error_of(c.get(), xcb_set_access_control_checked(c.get(), 0).sequence), expected);
        EXPECT_EQ(error_of(c.get(), xcb_change_hosts_checked(c.get(), XCB_HOST_MODE_INSERT, XCB_FAMILY_INTERNET, 4, far).sequence),
                  expected);
        EXPECT_EQ(setup_from("127.0.0.9", upstream->number()), expected ? 0 : 1) << "upstream's access control";
        xcb_set_access_control(admin.get(), 1);
        xcb_change_hosts(admin.get(), XCB_HOST_MODE_DELETE, XCB_FAMILY_INTERNET, 4, far);
        sync(admin.get());
    }

    // Upstream turns away an unlisted TCP client; so does the proxy, which asks its cookie over TCP.
    EXPECT_EQ(setup_from("127.0.0.2", upstream->number()), 0);
    EXPECT_EQ(setup_from("127.0.0.2", server->number()), 0);
    EXPECT_EQ(setup_from("127.0.0.1", server->number()), 0);
    EXPECT_TRUE(contains(read_file(scratch.file("server.err")), "refused a client (127.0.0.2)"));
    EXPECT_EQ(run_with({"xdpyinfo", "-display", server->tcp_name()}, scratch.file("user.auth")), 0) << "the published cookie opens TCP";

    // Local clients get in without a cookie while upstream lets local clients in...
    EXPECT_EQ(run_with({"xdpyinfo", "-display", server->name()}, "/dev/null"), 0);
    // ...and not once it stops (every entry goes: an address of this machine's would let them in).
    ASSERT_TRUE(drop_hosts(admin.get(), false));
    EXPECT_NE(run_with({"xdpyinfo", "-display", upstream->name()}, "/dev/null"), 0) << "upstream should refuse local clients now";
    EXPECT_NE(run_with({"xdpyinfo", "-display", server->name()}, "/dev/null"), 0);
    EXPECT_TRUE(server->process().running());
}

// Upstream wants a cookie: the proxy publishes its own, as ssh's X forwarding does.
TEST(Cookie, OnlyClientsWithTheServersOwnCookieGetIn) {
    ScratchDir scratch;
    const std::string user_auth = scratch.file("user.auth"), out = scratch.file("out");
    ASSERT_EQ(xauth_add(scratch.file("upstream.auth"), ":0", kUpstreamCookie), 0);
    auto upstream = XvfbServer::start({.access_control = true, .extra = {"-auth", scratch.file("upstream.auth")}});
    ASSERT_TRUE(upstream);
    ASSERT_EQ(xauth_add(user_auth, upstream->name(), kUpstreamCookie), 0);
    ShareServer::Options o;
    o.access_control = true;
    o.env["XAUTHORITY"] = user_auth;
    auto server = ShareServer::start(upstream->name(), o);
    ASSERT_TRUE(server);
    ASSERT_EQ(run_with({"xauth", "-f", user_auth, "list", server->name()}, "", out), 0);
    std::string listed = read_file(out);
    EXPECT_TRUE(contains(listed, "MIT-MAGIC-COOKIE-1"));
    EXPECT_FALSE(contains(listed, kUpstreamCookie)) << "upstream's cookie must not be reused";
    // Over unix and TCP alike: the published cookie opens it; none and upstream's do not.
    for (const std::string &display : {server->name(), server->tcp_name()}) {
        std::remove(scratch.file("stolen.auth").c_str());
        ASSERT_EQ(xauth_add(scratch.file("stolen.auth"), display, kUpstreamCookie), 0);
        EXPECT_EQ(run_with({"xdpyinfo", "-display", display}, user_auth), 0) << display;
        for (const std::string &refused : {std::string("/dev/null"), scratch.file("stolen.auth")})
            EXPECT_NE(run_with({"xdpyinfo", "-display", display}, refused), 0) << display << " " << refused;
    }
    EXPECT_TRUE(server->process().running());

    // Its entries go when it does.
    ASSERT_TRUE(server->process().stop());
    ASSERT_EQ(run_with({"xauth", "-f", user_auth, "list", server->name()}, "", out), 0);
    EXPECT_EQ(read_file(out), "");

    o.access_control = false;
    auto open = ShareServer::start(upstream->name(), o);
    ASSERT_TRUE(open);
    EXPECT_EQ(run_with({"xdpyinfo", "-display", open->name()}, "/dev/null"), 0);
}
