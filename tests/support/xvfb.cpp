// Starts private Xvfb servers for tests and waits for them through -displayfd, never by sleeping.
#include "xvfb.h"

#include "sockets.h"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <unistd.h>

namespace telvane::testing {

namespace {

// The errno of binding (or with `join`, connecting) a fresh socket to `a`; 0 when it worked.
template <typename Address>
int socket_errno(const Address &a, bool join, socklen_t len = sizeof(Address)) {
    const int s = socket(reinterpret_cast<const sockaddr &>(a).sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return errno;
    const auto *at = reinterpret_cast<const sockaddr *>(&a);
    const int e = (join ? connect(s, at, len) : bind(s, at, len)) == 0 ? 0 : errno;
    close(s);
    return e;
}

// Reads the display number that the server writes once it is ready; -1 when it ended first.
int read_displayfd(int fd, std::chrono::milliseconds limit) {
    std::string text;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (text.find('\n') == std::string::npos) {
        char buf[32];
        const ssize_t n = wait_readable(fd, end) > 0 ? read(fd, buf, sizeof buf) : 0;
        if (n <= 0) return -1;
        text.append(buf, static_cast<size_t>(n));
    }
    return std::stoi(text);
}

// Starts the server on display `n` alone.
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
    if (got == n) return AnnouncedServer(n, std::move(p));
    return std::nullopt;   // the number was taken, or the server failed: the handle kills what is left
}

}  // namespace

int find_free_display(int first) {
    for (int n = first; n < first + 400; ++n) {
        if (n <= 0 || n > 59000) continue;
        if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
        // Without a lock file, a socket that refuses connections is a dead server's, which a new
        // one replaces; a process with its lock in another /tmp may hold the abstract name.
        const std::string socket_path = "/tmp/.X11-unix/X" + std::to_string(n);
        const auto abstract = unix_address(socket_path, true);
        if ((std::filesystem::exists(socket_path) && socket_errno(unix_address(socket_path), true) != ECONNREFUSED) ||
            socket_errno(inet_address("", 6000 + n), false) != 0 ||
            socket_errno(abstract, false, offsetof(sockaddr_un, sun_path) + 1 + socket_path.size()) == EADDRINUSE)
            continue;
        return n;
    }
    return -1;
}

std::optional<AnnouncedServer> start_announced(
    int number, int first, const std::function<std::vector<std::string>(int, int)> &argv_for,
    const ChildProcess::Options &options, int attempts) {
    if (number >= 0) return start_announced_at(number, argv_for, options);
    int next = first + static_cast<int>(std::random_device{}() % 800);
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
        // -noreset: a reset when the last client leaves turns away one connecting just then.
        std::vector<std::string> argv{"Xvfb", ":" + std::to_string(n), "-displayfd", std::to_string(fd), "-screen", "0",
                                      options.screen, "-nolisten", "local", "-noreset",
                                      options.listen_tcp ? "-listen" : "-nolisten", "tcp"};
        if (!options.access_control) argv.push_back("-ac");
        argv.insert(argv.end(), options.extra.begin(), options.extra.end());
        return argv;
    };
    ChildProcess::Options po;
    po.stdout_path = "/dev/null";
    po.stderr_path = options.log_path;
    if (auto up = start_announced(options.number, 20, argv_for, po, 12)) return XvfbServer(std::move(*up));
    return std::nullopt;
}

}  // namespace telvane::testing
