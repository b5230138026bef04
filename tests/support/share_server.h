#pragma once
// A telvane-server for a test, started in front of an upstream display (usually the test's own
// Xvfb) on a free display number, announced through -displayfd, always stopped. Header-only so
// that every test target can use it without another library.

#include "xvfb.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

namespace telvane::testing {

class ShareServer : public AnnouncedServer {
public:
    struct Options {
        bool access_control = false;                // false: -ac
        std::optional<bool> listen_tcp = true;      // -listen tcp, -nolisten tcp, or neither
        std::string stderr_path = "/dev/null";
        std::map<std::string, std::string> env;     // e.g. XAUTHORITY
        std::vector<std::string> extra;             // more arguments
        int number = -1;                            // >= 0: exactly this display number, tried once
    };

    // Starts telvane-server in front of `upstream` and returns once it accepts clients; nothing
    // when it did not come up (after a few display numbers).
    static std::optional<ShareServer> start(const std::string &upstream, const Options &options) {
        auto argv_for = [&](int n, int fd) {
            std::vector<std::string> argv{build_path("server/telvane-server"), ":" + std::to_string(n),
                                          "--upstream", upstream, "-displayfd", std::to_string(fd)};
            if (!options.access_control) argv.push_back("-ac");
            if (options.listen_tcp) argv.insert(argv.end(), {*options.listen_tcp ? "-listen" : "-nolisten", "tcp"});
            argv.insert(argv.end(), options.extra.begin(), options.extra.end());
            return argv;
        };
        ChildProcess::Options po;
        po.stderr_path = options.stderr_path;
        po.env_set = options.env;
        if (auto up = start_announced(options.number, 900, argv_for, po, 8)) return ShareServer(std::move(*up));
        return std::nullopt;
    }
    static std::optional<ShareServer> start(const std::string &upstream) { return start(upstream, Options{}); }

    // Why a client cannot open this server's display, for a test's failure message: what a new
    // connection gets now, whether the process still runs, and what it printed (when its
    // standard error went to `stderr_path`).
    std::string diagnosis(const std::string &stderr_path = "") {
        xcb_connection_t *c = xcb_connect(name().c_str(), nullptr);
        int error = xcb_connection_has_error(c);
        xcb_disconnect(c);
        std::string text = "a new connection to " + name() + (error ? " fails with xcb error " + std::to_string(error)
                                                                    : " opens now");
        text += process().running() ? "; the server runs" : "; the server has ended";
        if (!stderr_path.empty()) text += "; it said: " + read_file(stderr_path);
        return text;
    }

private:
    explicit ShareServer(AnnouncedServer started) : AnnouncedServer(std::move(started)) {}
};

// A test with its own upstream Xvfb and a telvane-server in front of it, tracing into the
// test's scratch folder ("trace"). Derived fixtures call start_served from SetUp.
class ServedDisplayTest : public ::testing::Test {
protected:
    // Starts both servers; a failure is reported as a fatal test failure.
    void start_served(ShareServer::Options options = {}) {
        upstream = XvfbServer::start();
        ASSERT_TRUE(upstream) << "could not start Xvfb";
        options.extra.insert(options.extra.end(), {"--trace", scratch.file("trace")});
        if (options.stderr_path == "/dev/null") options.stderr_path = scratch.file("server.log");
        server = ShareServer::start(upstream->name(), options);
        ASSERT_TRUE(server) << "could not start telvane-server";
    }
    std::string trace() const { return read_file(scratch.file("trace")); }

    ScratchDir scratch;
    std::optional<XvfbServer> upstream;
    std::optional<ShareServer> server;
};

}  // namespace telvane::testing
