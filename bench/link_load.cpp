// Opens many display links to a receiver host's telvane-consent at once, from several addresses
// of this host as several senders would, and streams random pictures through each for a while:
// the load under which bench/run-gateway.sh weighs the service's memory.
// Usage: link_load HOST:PORT DISPLAY LINKS SECONDS FIRST_SOURCE_ADDRESS [PER_ADDRESS]
// Prints "open N" once every link carries X, then "done" when all have ended.
#include "receiver_gateway.h"

#include <xcb/xcb.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace telvane::server;

namespace {

int connect_from(in_addr from, in_addr to, uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = from;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
    a.sin_addr = to;
    a.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// One sender: a window of 800x600 on the receiver, repainted with random pixels until `until`.
bool stream(int fd, std::chrono::steady_clock::time_point until, std::atomic<int> &open) {
    xcb_connection_t *c = xcb_connect_to_fd(fd, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint16_t w = 800, h = 600, band = 64;
    const xcb_window_t win = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, win, screen->root, 0, 0, w, h, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_map_window(c, win);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, win, 0, nullptr);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    ++open;
    std::vector<uint32_t> pixels(size_t{w} * band);
    std::mt19937 noise(static_cast<unsigned>(fd));
    while (std::chrono::steady_clock::now() < until && !xcb_connection_has_error(c)) {
        for (uint16_t y = 0; y < h; y += band) {
            for (uint32_t &p : pixels) p = noise();
            xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, win, gc, w, band, 0, static_cast<int16_t>(y), 0, screen->root_depth,
                          static_cast<uint32_t>(pixels.size() * 4), reinterpret_cast<const uint8_t *>(pixels.data()));
        }
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));   // one frame at a time
    }
    const bool ok = !xcb_connection_has_error(c);
    xcb_disconnect(c);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: link_load HOST:PORT DISPLAY LINKS SECONDS FIRST_SOURCE_ADDRESS [PER_ADDRESS]\n");
        return 2;
    }
    const std::string target = argv[1];
    const size_t colon = target.rfind(':');
    in_addr to{}, first{};
    if (colon == std::string::npos || inet_pton(AF_INET, target.substr(0, colon).c_str(), &to) != 1 ||
        inet_pton(AF_INET, argv[5], &first) != 1)
        return 2;
    const auto port = static_cast<uint16_t>(std::atoi(target.c_str() + colon + 1));
    const int display = std::atoi(argv[2]), links = std::atoi(argv[3]), per = argc > 6 ? std::atoi(argv[6]) : 4;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[4]));
    std::string error;
    const GatewaySettings settings = load_gateway_settings(ReceiverRoads::Secure, error);
    std::atomic<int> open{0}, failed{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < links; ++i) {
        in_addr from = first;
        from.s_addr = htonl(ntohl(first.s_addr) + static_cast<uint32_t>(i / per));
        senders.emplace_back([&, from] {
            const int tcp = connect_from(from, to, port);
            GatewayAttempt a = tcp < 0 ? GatewayAttempt{}
                                       : open_gateway(tcp, to, display, std::chrono::seconds(10), settings);
            if (a.kind != GatewayAttempt::Kind::Linked || !stream(a.fd, until, open)) ++failed;
        });
    }
    while (open + failed < links) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::printf("open %d\n", open.load());
    std::fflush(stdout);
    for (std::thread &t : senders) t.join();
    std::printf("done failed=%d\n", failed.load());
    return failed ? 1 : 0;
}
