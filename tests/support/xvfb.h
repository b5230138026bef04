#pragma once
// A private Xvfb for a test: started on a free display number (never 0 unless asked for),
// reachable over TCP, always stopped.

#include "process.h"

namespace telvane::testing {

// A display server that has said, through -displayfd, that it accepts clients. Ends with
// SIGTERM, so that it removes its lock file and socket; the process handle kills it if it lingers.
class AnnouncedServer {
public:
    AnnouncedServer(int number, ChildProcess process) : number_(number), process_(std::move(process)) {}
    AnnouncedServer(AnnouncedServer &&) = default;
    AnnouncedServer &operator=(AnnouncedServer &&) = default;
    ~AnnouncedServer() { process_.stop(15, std::chrono::seconds(5)); }

    int number() const { return number_; }
    std::string name() const { return ":" + std::to_string(number_); }
    std::string tcp_name() const { return "127.0.0.1:" + std::to_string(number_); }
    ChildProcess &process() { return process_; }

private:
    int number_ = -1;
    ChildProcess process_;
};

class XvfbServer : public AnnouncedServer {
public:
    struct Options {
        bool access_control = false;      // false: -ac, anyone may connect
        bool listen_tcp = true;           // other displays can reach it at 127.0.0.1:6000+N
        std::string screen = "1024x768x24";
        std::vector<std::string> extra;   // more Xvfb arguments
        std::string log_path = "/dev/null";   // where its standard error goes
        // >= 0: exactly this display number, tried once. Display 0 only inside a private
        // network and mount namespace (tests/support/in-netns.sh), never on the machine's own.
        int number = -1;
    };

    // Starts Xvfb and returns once it accepts connections. Tries several free display numbers;
    // returns nothing when none worked.
    static std::optional<XvfbServer> start(const Options &options);
    static std::optional<XvfbServer> start() { return start(Options{}); }

private:
    explicit XvfbServer(AnnouncedServer started) : AnnouncedServer(std::move(started)) {}
};

// A display number with no lock file, no socket and a free TCP port, starting from `first`.
int find_free_display(int first);

// Starts the display server that `argv_for(display, fd)` describes on display `number`, tried
// once, or when that is negative on `attempts` free numbers near `first` (spread at random so
// parallel tests rarely race), and waits for it to write its number to `fd`; nothing when none
// came up. Shared by the Xvfb and telvane-server fixtures.
std::optional<AnnouncedServer> start_announced(
    int number, int first, const std::function<std::vector<std::string>(int display, int fd)> &argv_for,
    const ChildProcess::Options &options, int attempts);

}  // namespace telvane::testing
