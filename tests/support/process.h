#pragma once
// Child processes for tests, started with a death signal so that a crashed test leaves nothing
// behind; scratch folders, files and waits. The support headers take their standard headers from it.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace telvane::testing {

// A child process that is killed (SIGKILL to its process group) when the handle goes away.
class ChildProcess {
public:
    struct Options {
        std::map<std::string, std::string> env_set;   // added or replaced
        std::vector<std::string> env_unset;
        std::string stdout_path, stderr_path, cwd;    // empty: inherited
        std::vector<int> keep_fds;                    // passed through to the child as they are
    };

    ChildProcess() = default;
    ChildProcess(ChildProcess &&other) noexcept;
    ChildProcess &operator=(ChildProcess &&other) noexcept;
    ~ChildProcess();

    // Starts argv[0] (looked up in PATH); an empty handle when fork or exec failed.
    static ChildProcess start(const std::vector<std::string> &argv, const Options &options);
    static ChildProcess start(const std::vector<std::string> &argv) { return start(argv, Options{}); }

    bool running();
    pid_t pid() const { return pid_; }
    // Readable once the child has ended (a pidfd), or -1.
    int exit_fd() const { return pidfd_; }
    explicit operator bool() const { return pid_ > 0; }

    // The wait status once the child ended within `limit`; nothing on time-out.
    std::optional<int> wait_for_exit(std::chrono::milliseconds limit);
    // Sends `sig` and waits for the end, killing the group after `limit`.
    std::optional<int> stop(int sig = 15, std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    explicit ChildProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
    void reap_or_kill();
    pid_t pid_ = -1;
    int pidfd_ = -1;
    std::optional<int> status_;
};

// The exit code of a wait status, or -1 when the child was killed by a signal.
int exit_code(int wait_status);

// Runs `argv` to its end within `limit`; its exit code, or -1 when it did not start, was killed
// or ran out of time (then it is killed).
int run_program(const std::vector<std::string> &argv, const ChildProcess::Options &options = {},
                std::chrono::milliseconds limit = std::chrono::seconds(30));

// A fresh scratch folder, removed with everything in it when the handle goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole file, or "" when it cannot be read; write_file replaces it.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

// How often `what` occurs in `text`.
inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The resident memory of process `pid` in kB, or 0 when it cannot be read.
long resident_kb(pid_t pid);
// Limits the address space of `pid` to what it maps now plus `more_kb` (lifts it when negative);
// false when it could not be set.
bool limit_address_space(pid_t pid, long more_kb);

// Waits until `done` holds, looking every 20 ms, at most `limit`: for state another process
// changes on its own time, with no event of ours to wait for.
bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Waits until the file at `path` contains `text`, woken by inotify on its folder, at most `limit`.
bool wait_for_text(const std::string &path, const std::string &text, std::chrono::milliseconds limit);

// Waits until `fd` is readable, at most until `end`: 1 when it is, 0 on time-out, -1 when
// `stop_fd` (-1 for none) became readable first.
int wait_readable(int fd, std::chrono::steady_clock::time_point end, int stop_fd = -1);

// Keeps ImageMagick's picture of the w x h area at (x, y) of `display_name` (the whole screen when
// w is 0) as NAME.png in $TELVANE_SCREENSHOTS (else thrown away). True when it shows more than
// one colour: something was drawn.
bool screenshot_area(const std::string &display_name, const std::string &name, int x = 0, int y = 0, int w = 0,
                     int h = 0);

// The build tree's binaries and resources, as CMake passed them to the tests.
std::string build_path(const std::string &relative);

}  // namespace telvane::testing
