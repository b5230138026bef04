#pragma once
// A receiver host's telvane-consent for a test, and a sender's connection to it byte by byte.

#include "process.h"
#include "sockets.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <poll.h>
#include <utility>

namespace telvane::testing {

// One telvane-consent process, its output and errors in files of its own; a restart stops it first.
class ConsentService {
public:
    ~ConsentService() { stop(); }

    // Starts the service listening at `listen` (port 0: any free one, then read into `port`),
    // its link at `link` ("off" keeps the machine's own link port out of the test), and waits
    // for its "listening on" line.
    ::testing::AssertionResult start(std::vector<std::string> args, const std::string &listen = "127.0.0.1:0",
                                     ChildProcess::Options options = {}, const std::string &link = "off") {
        stop();
        args.insert(args.begin(), {build_path("consent/telvane-consent"), "--listen", listen, "--link-listen", link});
        options.stdout_path = dir_.file("out");
        options.stderr_path = dir_.file("err");
        std::remove(options.stdout_path.c_str());   // a restart must not read the last run's line
        process = ChildProcess::start(args, options);
        const std::string said = "telvane-consent: listening on " + listen.substr(0, listen.rfind(':') + 1);
        if (!process || !wait_log(said)) return ::testing::AssertionFailure() << "did not start:\n" << err();
        const std::string out = log();
        port = atoi(out.c_str() + out.find(said) + said.size());
        if (port <= 0) return ::testing::AssertionFailure() << "no port in the listening line:\n" << out;
        return ::testing::AssertionSuccess();
    }
    void stop() { process.stop(); }

    std::string log() const { return read_file(dir_.file("out")); }
    std::string err() const { return read_file(dir_.file("err")); }
    bool wait_log(const std::string &text) const {
        return wait_for_text(dir_.file("out"), text, std::chrono::seconds(15));
    }

    ChildProcess process;
    int port = 0;

private:
    ScratchDir dir_;
};

// A sender's side of one connection to `to`:`port` from `from`; SOCK_NONBLOCK in `flags`
// connects later.
class Peer {
public:
    Peer(const std::string &to, int port, const std::string &from = "127.0.0.1", int flags = 0)
        : fd_(tcp_connect(from, to, port, flags)) {}
    Peer(Peer &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~Peer() { drop(); }
    explicit operator bool() const { return fd_ >= 0; }

    bool send_bytes(const std::string &bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    void half_close() { shutdown(fd_, SHUT_WR); }
    void drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    // Everything the service sends until it closes the connection; nothing if not within `limit`.
    std::optional<std::string> answer(std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + limit;
        for (char buf[64]; wait_readable(fd_, end) > 0;) {
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return got;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return std::nullopt;
    }

    // Whether the service has sent or closed anything yet, without waiting.
    bool has_news() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

private:
    int fd_ = -1;
};

}  // namespace telvane::testing
