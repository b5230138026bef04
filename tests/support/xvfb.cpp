// Starts private Xvfb servers for tests and waits for them through -displayfd, never by sleeping.
#include "xvfb.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace telvane::testing {

namespace {

bool port_free(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Whether some process, perhaps one whose lock file lives in another /tmp, holds the abstract
// socket name of display `n`; clients of ":n" would reach it before any server we start.
bool abstract_name_taken(int n) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    bool taken = bind(s, reinterpret_cast<sockaddr *>(&a), len) != 0 && errno == EADDRINUSE;
    close(s);
    return taken;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A socket that nobody listens on any more, left by a server that was killed.
bool orphan_socket(const std::string &path) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bool refused = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno == ECONNREFUSED;
    close(s);
    return refused;
}

// Reads the display number that Xvfb writes once it is ready; -1 when it ended first.
int read_displayfd(int fd, std::chrono::milliseconds limit) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return -1;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        char buf[32];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return -1;
        text.append(buf, static_cast<size_t>(n));
        if (text.find('\n') != std::string::npos) return std::stoi(text);
    }
}

}  // namespace

int find_free_display(int first) {
    for (int n = first; n < first + 400; ++n) {
        if (n <= 0 || n > 59000) continue;
        if (exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
        // Without a lock file, a socket that refuses connections is a dead server's; a new
        // server replaces it.
        std::string socket_path = "/tmp/.X11-unix/X" + std::to_string(n);
        if (exists(socket_path) && !orphan_socket(socket_path)) continue;
        if (!port_free(6000 + n)) continue;
        if (abstract_name_taken(n)) continue;
        return n;
    }
    return -1;
}

std::optional<AnnouncedServer> start_announced_at(
    int n, const std::function<std::vector<std::string>(int, int)> &argv_for, const ChildProcess::Options &options) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    ChildProcess::Options po = options;
    po.keep_fds.push_back(fds[1]);
    ChildProcess p = ChildProcess::start(argv_for(n, fds[1]), po);
    close(fds[1]);
    int got = p ? read_displayfd(fds[0], std::chrono::seconds(20)) : -1;
    close(fds[0]);
    if (got == n) return AnnouncedServer{n, std::move(p)};
    // Somebody else took the number, or the server failed: the handle kills what is left.
    return std::nullopt;
}

std::optional<AnnouncedServer> start_announced(
    int first, const std::function<std::vector<std::string>(int, int)> &argv_for,
    ChildProcess::Options options, int attempts) {
    std::random_device rd;
    int next = first + static_cast<int>(rd() % 800);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int n = find_free_display(next);
        if (n < 0) return std::nullopt;
        next = n + 1;
        if (auto started = start_announced_at(n, argv_for, options)) return started;
    }
    return std::nullopt;
}

std::optional<XvfbServer> XvfbServer::start(const Options &options) {
    auto argv_for = [&options](int n, int fd) {
        std::vector<std::string> argv{"Xvfb", ":" + std::to_string(n), "-displayfd",
                                      std::to_string(fd), "-screen", "0", options.screen,
                                      "-nolisten", "local",
                                      // Without it the server resets when its last client leaves,
                                      // and a client connecting just then is turned away.
                                      "-noreset"};
        if (options.listen_tcp) {
            argv.insert(argv.end(), {"-listen", "tcp"});
        } else {
            argv.insert(argv.end(), {"-nolisten", "tcp"});
        }
        if (!options.access_control) argv.push_back("-ac");
        argv.insert(argv.end(), options.extra.begin(), options.extra.end());
        return argv;
    };
    ChildProcess::Options po;
    po.stdout_path = "/dev/null";
    po.stderr_path = "/dev/null";
    auto started = options.number >= 0 ? start_announced_at(options.number, argv_for, po)
                                       : start_announced(20, argv_for, po, 12);
    if (!started) return std::nullopt;
    return XvfbServer(started->number, std::move(started->process));
}

}  // namespace telvane::testing
