// Clients through telvane-server behave as they do directly: real programs (Qt and GTK among them),
// an MSB-first client, big requests, descriptors passed for MIT-SHM, Present with a fence, clients
// that send garbage, and the display's own life. Access: the proxy display is never more open than
// upstream, by cookie or by host access.
#include "mirror_probe.h"
#include "sockets.h"
#include "text_checks.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <sys/mman.h>
#include <xcb/present.h>
#include <xcb/shm.h>
#include <xcb/sync.h>

using namespace telvane::testing;
using telvane::wire::ByteOrder;

namespace {

constexpr uint16_t kW = 64, kH = 48;

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

TEST_F(Through, RealQtGtkAndMsbFirstClientsSeeUpstreamPlusTheShareExtensionHostileOnesHarmOnlyThemselvesAndTheServerEndsWithUpstream) {
    ASSERT_EQ(run_with({"xdpyinfo", "-display", upstream->name(), "-queryExtensions"}, "", scratch.file("direct")), 0);
    ASSERT_EQ(run_with({"xdpyinfo", "-display", server->name(), "-queryExtensions"}, "", scratch.file("proxied")), 0);
    const std::string proxied = read_file(scratch.file("proxied"));
    EXPECT_EQ(comparable(proxied), comparable(read_file(scratch.file("direct"))));
    EXPECT_TRUE(contains(proxied, "ShareExtension  (opcode: "));

    // Big requests pass through: 1.4 MB of pixels needs a 32-bit length.
    Xcb c = xcb_open(server->name());
    ASSERT_TRUE(c);
    ASSERT_GT(xcb_get_maximum_request_length(c.get()), 65535u);  // xcb enabled BIG-REQUESTS
    const uint32_t w = make_window(c.get(), "big", 600, 600);
    const auto drawn = put_noise(c.get(), w, 0, 0, 600, 600, 1);
    EXPECT_TRUE(pixels(c.get(), w, 600, 600) == drawn);

    // A client that puts the most significant byte first gets its own byte order.
    int s = unix_connect(server->number());
    ASSERT_GE(s, 0);
    const uint8_t setup[12] = {'B', 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(write(s, setup, 12), 12);
    uint8_t head[8];
    ASSERT_TRUE(recv(s, head, 8, MSG_WAITALL) == 8 && head[0] == 1) << "the set-up is refused";
    std::vector<uint8_t> rest(telvane::wire::get16(head + 6, ByteOrder::Msb) * 4u);
    ASSERT_EQ(recv(s, rest.data(), rest.size(), MSG_WAITALL), ssize_t(rest.size()));
    // QueryExtension("ShareExtension"), MSB first: 8 + 14 + 2 pad bytes = 6 words.
    uint8_t q[24] = {98, 0, 0, 6, 0, 14, 0, 0};
    std::memcpy(q + 8, "ShareExtension", 14);
    ASSERT_EQ(write(s, q, sizeof q), 24);
    uint8_t r[32];
    ASSERT_EQ(recv(s, r, 32, MSG_WAITALL), 32);
    // A reply, to request 1, saying that the extension is there.
    ASSERT_EQ(std::tuple(int(r[0]), int(telvane::wire::get16(r + 2, ByteOrder::Msb)), int(r[8])), std::tuple(1, 1, 1));
    const uint8_t major = r[9], first_event = r[10];
    // ShareWindow of a window that does not exist: answered by an unsharable event, sequence 2.
    auto share = telvane::wire::encode_share_request(major, 1, 0x1234, 0x00abcdef, 0, ByteOrder::Msb);
    ASSERT_EQ(write(s, share.data(), share.size()), 16);
    uint8_t ev[32];
    ASSERT_EQ(recv(s, ev, 32, MSG_WAITALL), 32);
    auto e = telvane::wire::decode_share_event(ev, ByteOrder::Msb);
    EXPECT_EQ(std::tuple(e.code, int(e.status), int(e.sequence), e.window, e.host),
              std::tuple(first_event, 5, 2, 0x00abcdefu, 0x1234u));
    close(s);
    EXPECT_TRUE(contains(trace(), "request seq=2 order=msb major=" + std::to_string(major) +
                                      " minor=1 name=ShareWindow length=4 bytes=16 arg1=0x00001234 arg2=0x00abcdef arg3=0x00000000"));

    // Qt and GTK draw the same picture whichever way they reach the X server, through extensions
    // Motif never asks for.
    Xcb at_upstream = xcb_open(upstream->name());
    // Qt keeps its picture in a shared segment whose descriptor must get through; GTK renders.
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

    // Shared-memory segments and Present work as they do directly.
    xcb_screen_t *screen = first_screen(c.get());
    const size_t bytes = size_t{kW} * kH * 4;
    const uint32_t pixmap = xcb_generate_id(c.get()), gc = xcb_generate_id(c.get());
    xcb_create_pixmap(c.get(), screen->root_depth, pixmap, screen->root, kW, kH);
    xcb_create_gc(c.get(), gc, pixmap, 0, nullptr);

    // The client's own memory as a descriptor; then segments the server makes and hands back.
    for (uint8_t round = 0; round < 4; ++round) {
        uint32_t seg = xcb_generate_id(c.get());
        int fd = -1;
        if (round == 0) {
            fd = memfd_create("telvane-test", MFD_CLOEXEC);
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
            ASSERT_EQ(error_of(c.get(), xcb_shm_attach_fd_checked(c.get(), seg, dup(fd), 0).sequence), 0);   // xcb closes it
        } else {
            Owned<xcb_shm_create_segment_reply_t> r(xcb_shm_create_segment_reply(
                c.get(), xcb_shm_create_segment(c.get(), seg, static_cast<uint32_t>(bytes), 0), nullptr));
            ASSERT_TRUE(r && r->nfd == 1);
            fd = xcb_shm_create_segment_reply_fds(c.get(), r.get())[0];
        }
        auto *mem = static_cast<uint8_t *>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        ASSERT_NE(mem, MAP_FAILED);
        std::vector<uint32_t> want(size_t{kW} * kH);   // random 24-bit pixel values
        std::mt19937 rng(round);
        for (uint32_t &v : want) v = rng() & 0xffffff;
        std::memcpy(mem, want.data(), bytes);
        xcb_shm_put_image(c.get(), pixmap, gc, kW, kH, 0, 0, kW, kH, 0, 0, screen->root_depth,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, 0, seg, 0);
        EXPECT_EQ(pixels(c.get(), pixmap, kW, kH), want) << int(round);
        // And the other way: the server writes into the segment.
        std::memset(mem, 0, bytes);
        ASSERT_TRUE(Owned<xcb_shm_get_image_reply_t>(xcb_shm_get_image_reply(
            c.get(), xcb_shm_get_image(c.get(), pixmap, 0, 0, kW, kH, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0), nullptr)));
        std::vector<uint32_t> got(reinterpret_cast<uint32_t *>(mem), reinterpret_cast<uint32_t *>(mem + bytes));
        for (uint32_t &v : got) v &= 0xffffff;   // the unused byte
        EXPECT_EQ(got, want) << int(round);
        xcb_shm_detach(c.get(), seg);
        munmap(mem, bytes);
    }
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(10)));

    // A TCP client cannot take a descriptor: what would bring one gets the X server's BadAlloc.
    Xcb tcp = xcb_open(server->tcp_name());
    ASSERT_TRUE(tcp);
    EXPECT_EQ(error_of(tcp.get(), xcb_shm_create_segment(tcp.get(), xcb_generate_id(tcp.get()), 4096, 0).sequence), XCB_ALLOC);
    EXPECT_TRUE(round_trip_within(tcp.get(), std::chrono::seconds(10)));

    // Present shows a pixmap and triggers its idle fence.
    ASSERT_TRUE(Owned<xcb_present_query_version_reply_t>(
        xcb_present_query_version_reply(c.get(), xcb_present_query_version(c.get(), 1, 2), nullptr)));
    ASSERT_TRUE(Owned<xcb_sync_initialize_reply_t>(xcb_sync_initialize_reply(c.get(), xcb_sync_initialize(c.get(), 3, 1), nullptr)));
    const xcb_query_extension_reply_t *present = xcb_get_extension_data(c.get(), &xcb_present_id);
    ASSERT_TRUE(present && present->present);
    uint32_t shown = make_window(c.get(), "present", kW, kH);
    xcb_present_select_input(c.get(), xcb_generate_id(c.get()), shown, XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY | XCB_PRESENT_EVENT_MASK_IDLE_NOTIFY);
    const auto want = put_noise(c.get(), pixmap, 0, 0, kW, kH, 3);
    uint32_t fence = xcb_generate_id(c.get());
    xcb_sync_create_fence(c.get(), shown, fence, 0);
    xcb_present_pixmap(c.get(), shown, pixmap, 1, 0, 0, 0, 0, 0, 0, fence, XCB_PRESENT_OPTION_NONE, 0, 0, 0, 0, nullptr);
    xcb_flush(c.get());
    bool complete = false, idle = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (Owned<xcb_generic_event_t> ev; !(complete && idle) && (ev = next_event(c.get(), time_left(deadline)));) {
        const auto *ge = reinterpret_cast<xcb_ge_generic_event_t *>(ev.get());
        if ((ev->response_type & 0x7f) != XCB_GE_GENERIC || ge->extension != present->major_opcode) continue;
        complete = complete || ge->event_type == XCB_PRESENT_COMPLETE_NOTIFY;
        idle = idle || ge->event_type == XCB_PRESENT_EVENT_IDLE_NOTIFY;
    }
    EXPECT_TRUE(complete && idle) << complete << idle;
    Owned<xcb_sync_query_fence_reply_t> f(xcb_sync_query_fence_reply(c.get(), xcb_sync_query_fence(c.get(), fence), nullptr));
    EXPECT_TRUE(f && f->triggered);
    EXPECT_EQ(pixels(c.get(), shown, kW, kH), want);

    // Hostile clients harm only themselves; a number whose abstract socket is held is taken (clients
    // try that first); a server that ends, refused its number or with its upstream, leaves nothing behind.
    const long before = resident_kb(server->process().pid());
    {   // length 0 without BIG-REQUESTS
        int s = unix_connect(server->number());
        const uint8_t req[8] = {43, 0, 0, 0, 1, 0, 0, 0};
        ASSERT_TRUE(write(s, kSetupLsb, 12) == 12 && write(s, req, 8) == 8);
        uint8_t buf[4096];
        ssize_t r;
        while ((r = read(s, buf, sizeof buf)) > 0) {
        }
        EXPECT_TRUE(r == 0 || errno == ECONNRESET) << "the server kept the connection open";
        close(s);
    }
    // Closed mid-request: CreateWindow claiming 200 bytes.
    int cut = unix_connect(server->number());
    const uint8_t create[8] = {1, 0, 50, 0, 0, 0, 0, 0};
    ASSERT_TRUE(write(cut, kSetupLsb, 12) == 12 && write(cut, create, 8) == 8);
    close(cut);
    // A set-up, then nothing, not even reading the answer.
    int mute = unix_connect(server->number());
    ASSERT_EQ(write(mute, kSetupLsb, 12), 12);
    // Ten thousand requests for pictures, whose 400 MB of replies it never reads.
    Xcb greedy = xcb_open(server->name());
    ASSERT_TRUE(greedy);
    const xcb_window_t root = first_screen(greedy.get())->root;
    for (int i = 0; i < 10000; ++i)
        xcb_get_image(greedy.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, 100, 100, ~0u);
    xcb_flush(greedy.get());
    // One that grabs the server and dies.
    {
        Xcb grabber = xcb_open(server->name());
        ASSERT_TRUE(grabber);
        xcb_grab_server(grabber.get());
        sync(grabber.get());
    }
    // Thousands of connections opened and dropped, half of them in the middle of a set-up.
    for (int i = 0; i < 2000; ++i) {
        int s = unix_connect(server->number());
        ASSERT_GE(s, 0) << "connection " << i;
        if (i % 2) (void)!write(s, kSetupLsb, 7);
        close(s);
    }
    // Everybody else carries on: a normal client is served.
    EXPECT_TRUE(round_trip_within(c.get(), std::chrono::seconds(10)));
    EXPECT_EQ(run_with({"xdpyinfo", "-display", server->name()}, ""), 0);
    EXPECT_LT(resident_kb(server->process().pid()) - before, 64L * 1024) << "the proxy grew";
    close(mute);

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
    for (const std::string source : {"127.0.0.3", "127.0.0.1", "unix"}) {
        SCOPED_TRACE(source);
        Xcb c(source == "unix" ? xcb_connect(server->name().c_str(), nullptr) : nullptr);
        if (!c) {
            int s = tcp_connect(source, "127.0.0.1", 6000 + server->number());
            ASSERT_GE(s, 0);
            xcb_auth_info_t auth{18, const_cast<char *>("MIT-MAGIC-COOKIE-1"), 16, cookie.data()};
            c.reset(xcb_connect_to_fd(s, &auth));
        }
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
    // Over unix and TCP alike: the published cookie opens it; none, a wrong one and upstream's do not.
    for (const std::string &display : {server->name(), server->tcp_name()}) {
        for (const char *name : {"stolen.auth", "wrong.auth"}) std::remove(scratch.file(name).c_str());
        ASSERT_EQ(xauth_add(scratch.file("stolen.auth"), display, kUpstreamCookie), 0);
        ASSERT_EQ(xauth_add(scratch.file("wrong.auth"), display, "00112233445566778899aabbccddeeff"), 0);
        EXPECT_EQ(run_with({"xdpyinfo", "-display", display}, user_auth), 0) << display;
        for (const std::string &refused : {std::string("/dev/null"), scratch.file("wrong.auth"), scratch.file("stolen.auth")})
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
