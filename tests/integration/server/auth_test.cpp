// Access: the proxy display is never more open than upstream, by cookie or by host access.
#include "process.h"
#include "share_server.h"
#include "x_client.h"
#include "xvfb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

using namespace telvane::testing;

namespace {

constexpr const char *kUpstreamCookie = "0123456789abcdef0123456789abcdef";

class Cookie : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(run({"xauth", "-f", scratch.file("upstream.auth"), "add", ":0", "MIT-MAGIC-COOKIE-1", kUpstreamCookie}), 0);
        XvfbServer::Options o;
        o.access_control = true;
        o.extra = {"-auth", scratch.file("upstream.auth")};
        upstream = XvfbServer::start(o);
        ASSERT_TRUE(upstream);
        ASSERT_EQ(run({"xauth", "-f", user_auth(), "add", upstream->name(), "MIT-MAGIC-COOKIE-1", kUpstreamCookie}), 0);
    }
    std::string user_auth() const { return scratch.file("user.auth"); }
    int run(const std::vector<std::string> &argv, const std::string &xauthority = "") {
        ChildProcess::Options o;
        o.stdout_path = scratch.file("out");
        o.stderr_path = "/dev/null";
        if (!xauthority.empty()) o.env_set["XAUTHORITY"] = xauthority;
        auto p = ChildProcess::start(argv, o);
        if (!p) return -1;
        auto st = p.wait_for_exit(std::chrono::seconds(30));
        return st ? exit_code(*st) : -1;
    }
    std::optional<ShareServer> start_server(bool access_control) {
        ShareServer::Options o;
        o.access_control = access_control;
        o.env["XAUTHORITY"] = user_auth();
        return ShareServer::start(upstream->name(), o);
    }
    ScratchDir scratch;
    std::optional<XvfbServer> upstream;
};

// What an X server answers a set-up without credentials from `source` (an address of this
// machine) over TCP to display `number`: 1 accepted, 0 refused, -1 no connection or no answer.
int setup_from(const char *source, int number) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(6000 + number));
    int verdict = -1;
    const uint8_t setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    uint8_t first = 0xff;
    pollfd p{s, POLLIN, 0};
    if (bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
        connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 && write(s, setup, sizeof setup) == 12 &&
        poll(&p, 1, 10000) == 1 && read(s, &first, 1) == 1)
        verdict = first == 1 ? 1 : first == 0 ? 0 : -1;
    close(s);
    return verdict;
}

// Upstream without cookies, with host access enforced (as `make run` starts it): the proxy
// must not let in more than upstream would, though upstream sees all of them as its own local
// client. It publishes a cookie of its own, which clients over TCP need.
class HostAccess : public ::testing::Test {
protected:
    void SetUp() override {
        XvfbServer::Options o;
        o.access_control = true;
        upstream = XvfbServer::start(o);
        ASSERT_TRUE(upstream);
        ShareServer::Options so;
        so.access_control = true;
        so.stderr_path = scratch.file("server.err");
        so.env["XAUTHORITY"] = scratch.file("user.auth");
        server = ShareServer::start(upstream->name(), so);
        ASSERT_TRUE(server);
    }
    // xdpyinfo's exit status on `display` with the authority file `xauthority`.
    int xdpyinfo(const std::string &display, const std::string &xauthority) {
        ChildProcess::Options o;
        o.stdout_path = o.stderr_path = "/dev/null";
        o.env_set["XAUTHORITY"] = xauthority;
        auto p = ChildProcess::start({"xdpyinfo", "-display", display}, o);
        if (!p) return -1;
        auto st = p.wait_for_exit(std::chrono::seconds(30));
        return st ? exit_code(*st) : -1;
    }
    ScratchDir scratch;
    std::optional<XvfbServer> upstream;
    std::optional<ShareServer> server;
};

}  // namespace

TEST_F(HostAccess, TcpNeedsTheCookieAndLocalClientsWhatUpstreamAsks) {
    const std::string cookie = scratch.file("user.auth");
    // Upstream turns away a TCP client from an unlisted address; so does the proxy, and over TCP
    // it asks its cookie of everyone.
    EXPECT_EQ(setup_from("127.0.0.2", upstream->number()), 0);
    EXPECT_EQ(setup_from("127.0.0.2", server->number()), 0);
    EXPECT_EQ(setup_from("127.0.0.1", server->number()), 0);
    EXPECT_NE(read_file(scratch.file("server.err")).find("refused a client (127.0.0.2)"), std::string::npos);
    EXPECT_EQ(xdpyinfo(server->tcp_name(), cookie), 0) << "the published cookie opens TCP";
    EXPECT_NE(xdpyinfo(server->tcp_name(), "/dev/null"), 0);

    // Local clients get in without a cookie while upstream lets local clients in...
    EXPECT_EQ(xdpyinfo(server->name(), "/dev/null"), 0);
    // ...and not once it stops doing so: the list is asked for each connection.
    Xcb admin = xcb_open(upstream->name());
    ASSERT_TRUE(admin);
    // Every entry goes: a listed address of this machine's own would let local clients in too.
    Owned<xcb_list_hosts_reply_t> hosts(xcb_list_hosts_reply(admin.get(), xcb_list_hosts(admin.get()), nullptr));
    ASSERT_TRUE(hosts);
    for (auto it = xcb_list_hosts_hosts_iterator(hosts.get()); it.rem; xcb_host_next(&it))
        xcb_change_hosts(admin.get(), XCB_HOST_MODE_DELETE, it.data->family,
                         static_cast<uint16_t>(xcb_host_address_length(it.data)), xcb_host_address(it.data));
    sync(admin.get());
    EXPECT_NE(xdpyinfo(upstream->name(), "/dev/null"), 0) << "upstream should refuse local clients now";
    EXPECT_NE(xdpyinfo(server->name(), "/dev/null"), 0);
    EXPECT_TRUE(server->process().running());
}

// What upstream keeps to local clients is refused by the proxy to the others, though upstream
// takes it all from the proxy: 127.0.0.3 is no address of this machine's, 127.0.0.1 is one.
TEST_F(HostAccess, RequestsKeptToLocalClientsAreRefusedToOthersWithTheirError) {
    ChildProcess::Options po;
    po.stdout_path = scratch.file("cookie");
    ChildProcess::start({"xauth", "-f", scratch.file("user.auth"), "nlist", server->name()}, po)
        .wait_for_exit(std::chrono::seconds(30));
    const std::string entries = read_file(scratch.file("cookie")), hex = entries.substr(entries.rfind(' ') + 1, 32);
    std::string cookie;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) cookie += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    Xcb admin = xcb_open(upstream->name());
    const uint8_t far[4] = {127, 0, 0, 9};
    for (const std::string source : {"127.0.0.3", "127.0.0.1", "unix"}) {
        SCOPED_TRACE(source);
        Xcb c(source == "unix" ? xcb_connect(server->name().c_str(), nullptr) : nullptr);
        if (!c) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in from{AF_INET, 0, {}, {}},
                to{AF_INET, htons(static_cast<uint16_t>(6000 + server->number())), {htonl(INADDR_LOOPBACK)}, {}};
            inet_pton(AF_INET, source.c_str(), &from.sin_addr);
            ASSERT_TRUE(bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
                        connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0);
            xcb_auth_info_t auth{18, const_cast<char *>("MIT-MAGIC-COOKIE-1"), 16, cookie.data()};
            c.reset(xcb_connect_to_fd(s, &auth));
        }
        ASSERT_FALSE(xcb_connection_has_error(c.get()));
        Owned<xcb_generic_error_t> off(xcb_request_check(c.get(), xcb_set_access_control_checked(c.get(), 0)));
        Owned<xcb_generic_error_t> host(xcb_request_check(
            c.get(), xcb_change_hosts_checked(c.get(), XCB_HOST_MODE_INSERT, XCB_FAMILY_INTERNET, 4, far)));
        const int expected = source == "127.0.0.3" ? 10 : 0;   // BadAccess, as upstream answers it
        EXPECT_EQ(off ? off->error_code : 0, expected);
        EXPECT_EQ(host ? host->error_code : 0, expected);
        EXPECT_EQ(setup_from("127.0.0.9", upstream->number()), expected ? 0 : 1) << "upstream's access control";
        xcb_set_access_control(admin.get(), 1);
        xcb_change_hosts(admin.get(), XCB_HOST_MODE_DELETE, XCB_FAMILY_INTERNET, 4, far);
        sync(admin.get());
    }
}

TEST(Listening, TcpOnlyWhenAskedFor) {
    auto upstream = XvfbServer::start();
    ASSERT_TRUE(upstream);
    ShareServer::Options o;
    o.listen_tcp = false;
    auto quiet = ShareServer::start(upstream->name(), o);
    ASSERT_TRUE(quiet);
    EXPECT_EQ(setup_from("127.0.0.1", quiet->number()), -1) << "no TCP port without -listen tcp";
    // Without either option the server listens on its sockets only, as current X servers do.
    o.listen_tcp.reset();
    auto plain = ShareServer::start(upstream->name(), o);
    ASSERT_TRUE(plain);
    EXPECT_EQ(setup_from("127.0.0.1", plain->number()), -1);
    o.listen_tcp = true;
    auto open = ShareServer::start(upstream->name(), o);
    ASSERT_TRUE(open);
    EXPECT_EQ(setup_from("127.0.0.1", open->number()), 1);
}

TEST_F(Cookie, OnlyClientsWithTheServersOwnCookieGetIn) {
    auto server = start_server(true);
    ASSERT_TRUE(server);
    // The server published a cookie of its own for its display, like ssh's X forwarding.
    ASSERT_EQ(run({"xauth", "-f", user_auth(), "list", server->name()}), 0);
    std::string listed = read_file(scratch.file("out"));
    EXPECT_NE(listed.find("MIT-MAGIC-COOKIE-1"), std::string::npos);
    EXPECT_EQ(listed.find(kUpstreamCookie), std::string::npos) << "upstream's cookie must not be reused";
    // Over the unix socket and TCP alike: the published cookie opens the display; none, a wrong
    // one and upstream's own do not.
    for (const std::string &display : {server->name(), server->tcp_name()}) {
        for (const char *name : {"stolen.auth", "wrong.auth"}) std::remove(scratch.file(name).c_str());
        ASSERT_EQ(run({"xauth", "-f", scratch.file("stolen.auth"), "add", display, "MIT-MAGIC-COOKIE-1", kUpstreamCookie}), 0);
        ASSERT_EQ(run({"xauth", "-f", scratch.file("wrong.auth"), "add", display, "MIT-MAGIC-COOKIE-1",
                       "00112233445566778899aabbccddeeff"}), 0);
        EXPECT_EQ(run({"xdpyinfo", "-display", display}, user_auth()), 0) << display;
        EXPECT_NE(run({"xdpyinfo", "-display", display}, "/dev/null"), 0) << display;
        EXPECT_NE(run({"xdpyinfo", "-display", display}, scratch.file("wrong.auth")), 0) << display;
        EXPECT_NE(run({"xdpyinfo", "-display", display}, scratch.file("stolen.auth")), 0) << display;
    }
    EXPECT_TRUE(server->process().running());

    // Its entries go when it does.
    ASSERT_TRUE(server->process().stop());
    ASSERT_EQ(run({"xauth", "-f", user_auth(), "list", server->name()}), 0);
    EXPECT_EQ(read_file(scratch.file("out")), "");
}

TEST_F(Cookie, WithoutAccessControlUpstreamsCookieIsPresentedForEveryone) {
    auto server = start_server(false);
    ASSERT_TRUE(server);
    EXPECT_EQ(run({"xdpyinfo", "-display", server->name()}, "/dev/null"), 0);
}
