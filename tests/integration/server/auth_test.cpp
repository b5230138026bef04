// MIT-MAGIC-COOKIE-1: the proxy display is never more open than upstream.
#include "process.h"
#include "share_server.h"
#include "xvfb.h"

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

}  // namespace

TEST_F(Cookie, OnlyClientsWithTheServersOwnCookieGetIn) {
    auto server = start_server(true);
    ASSERT_TRUE(server);
    // The server published a cookie of its own for its display, like ssh's X forwarding.
    ASSERT_EQ(run({"xauth", "-f", user_auth(), "list", server->name()}), 0);
    std::string listed = read_file(scratch.file("out"));
    EXPECT_NE(listed.find("MIT-MAGIC-COOKIE-1"), std::string::npos);
    EXPECT_EQ(listed.find(kUpstreamCookie), std::string::npos) << "upstream's cookie must not be reused";

    EXPECT_EQ(run({"xdpyinfo", "-display", server->name()}, user_auth()), 0);
    EXPECT_NE(run({"xdpyinfo", "-display", server->name()}, "/dev/null"), 0);
    // Upstream's cookie is no key to the proxy.
    ASSERT_EQ(run({"xauth", "-f", scratch.file("stolen.auth"), "add", server->name(), "MIT-MAGIC-COOKIE-1",
                   kUpstreamCookie}), 0);
    EXPECT_NE(run({"xdpyinfo", "-display", server->name()}, scratch.file("stolen.auth")), 0);
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
