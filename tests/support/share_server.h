#pragma once
// A telvane-server for a test, started in front of an upstream display (usually the test's own
// Xvfb) on a free display number, announced through -displayfd, always stopped. Header-only so
// that every test target can use it without another library.

#include "process.h"
#include "xvfb.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace telvane::testing {

class ShareServer {
public:
    struct Options {
        bool access_control = false;                // false: -ac
        bool listen_tcp = true;                     // false: -nolisten tcp
        std::string trace_path;                     // --trace FILE when set
        std::string stderr_path = "/dev/null";
        std::map<std::string, std::string> env;     // e.g. XAUTHORITY
        std::vector<std::string> extra;             // more arguments
    };

    // Starts telvane-server in front of `upstream` and returns once it accepts clients; nothing
    // when it did not come up (after a few display numbers).
    static std::optional<ShareServer> start(const std::string &upstream, const Options &options) {
        std::random_device rd;
        int next = 900 + static_cast<int>(rd() % 800);
        for (int attempt = 0; attempt < 8; ++attempt) {
            int n = find_free_display(next);
            if (n < 0) return std::nullopt;
            next = n + 1;
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
            std::vector<std::string> argv{build_path("server/telvane-server"), ":" + std::to_string(n),
                                          "--upstream", upstream, "-displayfd", std::to_string(fds[1])};
            if (!options.access_control) argv.push_back("-ac");
            if (!options.listen_tcp) argv.insert(argv.end(), {"-nolisten", "tcp"});
            if (!options.trace_path.empty()) argv.insert(argv.end(), {"--trace", options.trace_path});
            argv.insert(argv.end(), options.extra.begin(), options.extra.end());
            ChildProcess::Options po;
            po.keep_fds = {fds[1]};
            po.stderr_path = options.stderr_path;
            po.env_set = options.env;
            ChildProcess p = ChildProcess::start(argv, po);
            close(fds[1]);
            int got = p ? read_number(fds[0], std::chrono::seconds(20)) : -1;
            close(fds[0]);
            if (got == n) return ShareServer(n, std::move(p));
        }
        return std::nullopt;
    }
    static std::optional<ShareServer> start(const std::string &upstream) { return start(upstream, Options{}); }

    ShareServer(ShareServer &&) = default;
    ShareServer &operator=(ShareServer &&) = default;
    // Stops the server with SIGTERM so that it removes its socket, lock file and cookie entries;
    // the process handle kills it if it does not end in time.
    ~ShareServer() { process_.stop(15, std::chrono::seconds(5)); }

    int number() const { return number_; }
    std::string name() const { return ":" + std::to_string(number_); }
    std::string tcp_name() const { return "127.0.0.1:" + std::to_string(number_); }
    ChildProcess &process() { return process_; }

private:
    ShareServer(int number, ChildProcess process) : number_(number), process_(std::move(process)) {}

    // The display number written to the -displayfd pipe; -1 when the server ended first.
    static int read_number(int fd, std::chrono::milliseconds limit) {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return -1;
            pollfd p{fd, POLLIN, 0};
            int r = poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return -1;
            char buf[32];
            ssize_t got = read(fd, buf, sizeof buf);
            if (got <= 0) return -1;
            text.append(buf, static_cast<size_t>(got));
            if (text.find('\n') != std::string::npos) return std::stoi(text);
        }
    }

    int number_ = -1;
    ChildProcess process_;
};

}  // namespace telvane::testing
