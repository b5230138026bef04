// The server's decisions: extension codes, access, failure details, set-up.
#include "policy.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <tuple>

using namespace telvane::server;
using telvane::wire::ConnectFailure;

TEST(ExtensionCodes, StayClearOfEverythingUpstreamUses) {
    // What Xvfb 21 reports, trimmed to the extensions that own the highest codes.
    auto c = choose_extension_codes({{"BIG-REQUESTS", 133, 0, 0}, {"GLX", 150, 95, 158}, {"XVideo", 149, 93, 155},
                                     {"X-Resource", 148, 0, 0}, {"MIT-SHM", 130, 65, 128}});
    ASSERT_TRUE(c);
    EXPECT_EQ(std::tuple(c->major, c->first_event, c->first_error), std::tuple(255, 127, 255));
    c = choose_extension_codes({{"A", 255, 120, 240}, {"B", 254, 0, 0}});
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
    // Text, host, display, screen.
    const std::tuple<const char *, const char *, int, int> good[] = {
        {"192.168.1.7:3.1", "192.168.1.7", 3, 1}, {":12", "", 12, 0}, {"unix:4", "", 4, 0}, {"h:59535", "h", 59535, 0}};
    for (const auto &[text, host, display, screen] : good) {
        const DisplayAddress d = parse_display_text(text).value_or(DisplayAddress{"(refused)", -1, -1});
        EXPECT_EQ(std::tuple(d.host, d.display, d.screen), std::tuple(std::string(host), display, screen)) << text;
    }
    for (const char *bad : {"hostonly", "h:", "h:x", "h:1.", "h:-1", "h:1.2.3", "h:59536", "h:65535"})
        EXPECT_FALSE(parse_display_text(bad)) << bad;
}

TEST(ConnectFailures, DetailsFollowTheCause) {
    EXPECT_EQ(classify_connect_errno(ECONNREFUSED), ConnectFailure::NoXServer);
    for (int e : {ETIMEDOUT, EHOSTUNREACH, ENETUNREACH}) EXPECT_EQ(classify_connect_errno(e), ConnectFailure::NoRoute) << e;
    EXPECT_EQ(classify_setup_refusal(true), ConnectFailure::AuthorizationRejected);
    EXPECT_EQ(classify_setup_refusal(false), ConnectFailure::RefusedByHostAccess);
}

TEST(SetupDecision, CookieRequiredAndSwapped) {
    AuthPolicy p{true, "0123456789abcdef", true, kMagicCookieName, "upstream-secret!"};
    // What the verdict shows upstream: accepted, credentials replaced, and by what.
    const auto shown = [&](const std::string &name, const std::string &data) {
        auto v = decide_setup({telvane::wire::ByteOrder::Lsb, 11, 0, name, data}, p);
        return std::tuple(v.accept, v.replace_auth, v.auth_data);
    };
    EXPECT_FALSE(std::get<0>(shown("", "")));
    EXPECT_FALSE(std::get<0>(shown(kMagicCookieName, "0123456789abcdeX")));
    EXPECT_EQ(shown(kMagicCookieName, p.cookie), std::tuple(true, true, "upstream-secret!"));
    // -ac: anyone, still shown to upstream with upstream's cookie.
    p.require_cookie = false;
    EXPECT_EQ(shown("", ""), std::tuple(true, true, "upstream-secret!"));
    // Without credentials for upstream, our cookie is taken away, never passed on.
    p.have_upstream_credentials = false;
    EXPECT_EQ(shown(kMagicCookieName, p.cookie), std::tuple(true, true, ""));
}

TEST(HostAccess, LetsInWhomUpstreamWouldLetIn) {
    const std::string v4("\x7f\x00\x00\x02", 4);
    const std::string mapped = std::string(10, '\0') + "\xff\xff" + v4;
    const std::string v6 = std::string(15, '\0') + "\x01";
    auto si = [](const char *type, const char *value) {
        return HostEntry{kFamilyServerInterpreted, std::string(type) + '\0' + value};
    };
    const PeerIdentity alice{true, "alice", {"staff"}, "", ""};
    const PeerIdentity tcp4{false, "", {}, v4, ""}, tcp_mapped{false, "", {}, mapped, ""}, tcp6{false, "", {}, v6, ""};
    const std::tuple<const char *, HostAccess, PeerIdentity, bool> cases[] = {   // what, list, client, admitted
        {"access control off", {false, {}}, tcp4, true},
        {"empty list", {true, {}}, alice, false},
        {"LOCAL: admits local clients", {true, {{kFamilyLocalHost, ""}}}, alice, true},
        {"LOCAL: is no TCP address", {true, {{kFamilyLocalHost, ""}}}, tcp4, false},
        {"localuser by name", {true, {si("localuser", "alice")}}, alice, true},
        {"another localuser", {true, {si("localuser", "bob")}}, alice, false},
        {"localgroup", {true, {si("localgroup", "staff")}}, alice, true},
        {"localuser is no TCP address", {true, {si("localuser", "alice")}}, tcp4, false},
        {"malformed server-interpreted", {true, {{kFamilyServerInterpreted, "localuser"}}}, alice, false},
        {"listed IPv4", {true, {{kFamilyInternet, v4}}}, tcp4, true},
        {"IPv4 through an IPv6 socket", {true, {{kFamilyInternet, v4}}}, tcp_mapped, true},
        {"unlisted IPv4", {true, {{kFamilyInternet, std::string("\x7f\x00\x00\x01", 4)}}}, tcp4, false},
        {"IPv4 entry is no local user", {true, {{kFamilyInternet, v4}}}, alice, false},
        {"listed IPv6", {true, {{kFamilyInternet6, v6}}}, tcp6, true},
        {"IPv6 entry against IPv4", {true, {{kFamilyInternet6, mapped}}}, tcp4, false},
    };
    for (const auto &[what, access, peer, admitted] : cases) EXPECT_EQ(host_admits(access, peer), admitted) << what;
    // A listed address of this machine's own lets local clients in, as X servers do.
    const std::vector<HostEntry> own{{kFamilyInternet, v4}};
    EXPECT_TRUE(host_admits({true, {{kFamilyInternet, v4}}}, alice, own));
    EXPECT_FALSE(host_admits({true, {{kFamilyInternet6, v6}}}, alice, own));
}

// ssh carries clients of other hosts over its own local connection: X servers count it as remote.
TEST(Locality, SshIsNoLocalClient) {
    for (const char *program : {"/usr/bin/ssh", "ssh: alice@far"})
        EXPECT_FALSE(counts_as_local({true, "", {}, "", program}, {})) << program;
    EXPECT_TRUE(counts_as_local({true, "", {}, "", "sshd"}, {}));
}

TEST(UnmarkedTitle, OnlyATitleMarkedAsTheClientMarksComesBack) {
    // The title now, before it was marked, and what comes back (nullptr: it is left as it is).
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {"[alpha] xterm [SHARED]", "xterm", "xterm"},
        {"[alpha] build [1] [SHARED]", "build [1]", "build [1]"},
        {"[alpha] report [SHARED]", "report [SHARED]", "report [SHARED]"},   // the suffix was there already
        {"[alpha] xterm", "xterm", nullptr},                                  // no suffix, and none before
        {"xterm", "xterm", nullptr},                                          // never marked, or unmarked since
        {"[alpha] vim notes.txt [SHARED]", "vim", nullptr},                   // renamed by its own client
        {"[al]pha] xterm [SHARED]", "xterm", nullptr},
        {"[alpha] xterm [SHA]RED]", "xterm", nullptr},
        {"[alpha]xterm [SHARED]", "xterm", nullptr},
        {"(alpha] xterm [SHARED]", "xterm", nullptr},
        {"[alpha]  [SHARED]", "", ""},
        {"[alpha] \x1b$(B\x3b\x5d\x1b(B [SHARED]", "\x1b$(B\x3b\x5d", "\x1b$(B\x3b\x5d"},   // compound text
        {"", "", nullptr},
    };
    for (const auto &[now, before, back] : cases)
        EXPECT_EQ(unmarked_title(now, before), back ? std::optional<std::string>(back) : std::nullopt) << now;
}
