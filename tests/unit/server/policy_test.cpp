// The server's decisions: extension codes, access, failure details, set-up.
#include "policy.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace telvane::server;
using telvane::wire::ConnectFailure;

TEST(ExtensionCodes, StayClearOfEverythingUpstreamUses) {
    // What Xvfb 21 reports, trimmed to the extensions that own the highest codes.
    std::vector<UpstreamExtension> xvfb{{"BIG-REQUESTS", 133, 0, 0}, {"GLX", 150, 95, 158},
                                        {"XVideo", 149, 93, 155},    {"X-Resource", 148, 0, 0},
                                        {"MIT-SHM", 130, 65, 128}};
    auto c = choose_extension_codes(xvfb);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->major, 255);
    EXPECT_EQ(c->first_event, 127);
    EXPECT_EQ(c->first_error, 255);

    std::vector<UpstreamExtension> crowded{{"A", 255, 120, 240}, {"B", 254, 0, 0}};
    c = choose_extension_codes(crowded);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->major, 253);
    EXPECT_LT(c->first_event, 120);
    EXPECT_LT(c->first_error, 240);

    std::vector<UpstreamExtension> full;
    for (int m = 128; m <= 255; ++m) full.push_back({"X" + std::to_string(m), static_cast<uint8_t>(m), 0, 0});
    EXPECT_FALSE(choose_extension_codes(full));
}

TEST(CheckAccess, NeedsOurUidAndOneOfOurAddresses) {
    const std::vector<std::array<uint8_t, 4>> ours{{10, 1, 2, 3}};
    EXPECT_EQ(check_access_verdict(1000, {10, 1, 2, 3}, 1000, ours), 1u);
    EXPECT_EQ(check_access_verdict(1000, {127, 0, 1, 1}, 1000, ours), 1u);
    EXPECT_EQ(check_access_verdict(1001, {10, 1, 2, 3}, 1000, ours), 0u);
    EXPECT_EQ(check_access_verdict(1000, {10, 1, 2, 4}, 1000, ours), 0u);
    EXPECT_EQ(check_access_verdict(1000, {255, 255, 255, 255}, 1000, ours), 0u);
}

TEST(DisplayText, CanonicalAndShortForms) {
    auto d = parse_display_text("192.168.1.7:3.1");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->host, "192.168.1.7");
    EXPECT_EQ(d->display, 3);
    EXPECT_EQ(d->screen, 1);
    d = parse_display_text(":12");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->host, "");
    EXPECT_EQ(d->display, 12);
    EXPECT_EQ(d->screen, 0);
    d = parse_display_text("unix:4");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->host, "");
    for (const char *bad : {"hostonly", "h:", "h:x", "h:1.", "h:-1", "h:1.2.3"})
        EXPECT_FALSE(parse_display_text(bad)) << bad;
}

TEST(ConnectFailures, DetailsFollowTheCause) {
    EXPECT_EQ(classify_connect_errno(ECONNREFUSED), ConnectFailure::NoXServer);
    EXPECT_EQ(classify_connect_errno(ETIMEDOUT), ConnectFailure::NoRoute);
    EXPECT_EQ(classify_connect_errno(EHOSTUNREACH), ConnectFailure::NoRoute);
    EXPECT_EQ(classify_connect_errno(ENETUNREACH), ConnectFailure::NoRoute);
    EXPECT_EQ(classify_setup_refusal(true), ConnectFailure::AuthorizationRejected);
    EXPECT_EQ(classify_setup_refusal(false), ConnectFailure::RefusedByHostAccess);
}

TEST(SetupDecision, CookieRequiredAndSwapped) {
    AuthPolicy p;
    p.require_cookie = true;
    p.cookie = "0123456789abcdef";
    p.have_upstream_credentials = true;
    p.upstream_name = kMagicCookieName;
    p.upstream_data = "upstream-secret!";
    SetupRequest r;
    EXPECT_FALSE(decide_setup(r, p).accept);
    r.auth_name = kMagicCookieName;
    r.auth_data = "0123456789abcdeX";
    EXPECT_FALSE(decide_setup(r, p).accept);
    r.auth_data = p.cookie;
    auto v = decide_setup(r, p);
    EXPECT_TRUE(v.accept);
    EXPECT_TRUE(v.replace_auth);
    EXPECT_EQ(v.auth_data, "upstream-secret!");

    // -ac: anyone, still shown to upstream with upstream's cookie.
    p.require_cookie = false;
    r.auth_name.clear();
    r.auth_data.clear();
    v = decide_setup(r, p);
    EXPECT_TRUE(v.accept);
    EXPECT_EQ(v.auth_data, "upstream-secret!");
}
