// Clients through telvane-server behave as they do directly: real programs, an MSB-first client,
// big requests, clients that send garbage, and the display's own life.
#include "mirror_probe.h"
#include "sockets.h"
#include "text_checks.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace telvane::testing;
using telvane::wire::ByteOrder;

namespace {

// Upstream Xvfb plus telvane-server in front of it.
class Through : public ServedDisplayTest {
protected:
    void SetUp() override { start_served(); }
    std::string run_output(const std::vector<std::string> &argv) {
        ChildProcess::Options o;
        o.stdout_path = scratch.file("out");
        o.stderr_path = scratch.file("err");
        EXPECT_EQ(run_program(argv, o, std::chrono::seconds(60)), 0) << argv.front() << ": " << read_file(scratch.file("err"));
        return read_file(scratch.file("out"));
    }
};

// xdpyinfo's report without the lines that name the display or count the extensions.
std::string comparable(const std::string &report) {
    std::istringstream in(report);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.rfind("name of display", 0) == 0 || line.find("number of extensions") != std::string::npos ||
            line.find("ShareExtension") != std::string::npos)
            continue;
        out += line + "\n";
    }
    return out;
}

}  // namespace

TEST_F(Through, RealAndMsbFirstClientsSeeUpstreamPlusTheShareExtension) {
    std::string direct = run_output({"xdpyinfo", "-display", upstream->name(), "-queryExtensions"});
    std::string proxied = run_output({"xdpyinfo", "-display", server->name(), "-queryExtensions"});
    EXPECT_EQ(comparable(proxied), comparable(direct));
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
    ASSERT_EQ(recv(s, head, 8, MSG_WAITALL), 8);
    ASSERT_EQ(head[0], 1);
    std::vector<uint8_t> rest(telvane::wire::get16(head + 6, ByteOrder::Msb) * 4u);
    ASSERT_EQ(recv(s, rest.data(), rest.size(), MSG_WAITALL), ssize_t(rest.size()));
    // QueryExtension("ShareExtension"), MSB first: 8 + 14 + 2 pad bytes = 6 words.
    uint8_t q[24] = {98, 0, 0, 6, 0, 14, 0, 0};
    std::memcpy(q + 8, "ShareExtension", 14);
    ASSERT_EQ(write(s, q, sizeof q), 24);
    uint8_t r[32];
    ASSERT_EQ(recv(s, r, 32, MSG_WAITALL), 32);
    ASSERT_EQ(r[0], 1);
    EXPECT_EQ(telvane::wire::get16(r + 2, ByteOrder::Msb), 1);
    ASSERT_EQ(r[8], 1);
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
}

// Hostile clients harm only themselves; a number whose abstract socket is held is taken (clients try
// that first); a server that ends, refused its number or with its upstream, leaves nothing behind.
TEST_F(Through, GarbageAndHostileClientsHarmOnlyThemselvesAndTheServerEndsWithUpstreamLeavingNothingBehind) {
    Xcb bystander = xcb_open(server->name());
    ASSERT_TRUE(bystander);
    const long before = resident_kb(server->process().pid());
    {   // length 0 without BIG-REQUESTS
        int s = unix_connect(server->number());
        ASSERT_EQ(write(s, kSetupLsb, 12), 12);
        const uint8_t req[8] = {43, 0, 0, 0, 1, 0, 0, 0};
        ASSERT_EQ(write(s, req, 8), 8);
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
    EXPECT_TRUE(round_trip_within(bystander.get(), std::chrono::seconds(10)));
    run_output({"xdpyinfo", "-display", server->name()});
    EXPECT_TRUE(server->process().running());
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
    Owned<xcb_get_input_focus_reply_t> r(
        xcb_get_input_focus_reply(bystander.get(), xcb_get_input_focus(bystander.get()), nullptr));
    EXPECT_FALSE(r);
    auto status = server->process().wait_for_exit(std::chrono::seconds(2));
    ASSERT_TRUE(status) << "the server outlived its upstream";
    EXPECT_EQ(exit_code(*status), 3);
    EXPECT_EQ(count_of(read_file(scratch.file("server.log")), "upstream display " + upstream->name() + " is gone"), 1u);
    EXPECT_TRUE(nothing_left(server->number()));
}
