// Child processes, scratch directories and small file helpers for the tests.
#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <utility>
#include <sys/prctl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// A test that writes to a server that has just gone away must see the write fail, not be
// killed by SIGPIPE; every test program links this file.
[[maybe_unused]] const auto sigpipe_before = std::signal(SIGPIPE, SIG_IGN);

namespace telvane::testing {

ChildProcess::ChildProcess(ChildProcess &&other) noexcept { *this = std::move(other); }

ChildProcess &ChildProcess::operator=(ChildProcess &&other) noexcept {
    if (this == &other) return *this;
    reap_or_kill();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::exchange(other.pidfd_, -1);
    status_ = std::exchange(other.status_, std::nullopt);
    return *this;
}

ChildProcess::~ChildProcess() { reap_or_kill(); }

namespace {

// Kills the child and whatever it started in its process group. A coverage build asks first, so
// that the programs write their counts, and kills what is left after five seconds.
void kill_group(pid_t pid, [[maybe_unused]] int pidfd) {
#ifdef TELVANE_COVERAGE
    kill(-pid, SIGTERM), kill(pid, SIGTERM);
    if (pidfd >= 0) wait_readable(pidfd, std::chrono::steady_clock::now() + std::chrono::seconds(5));
#endif
    kill(-pid, SIGKILL), kill(pid, SIGKILL);
}

// A "Vm...:" line of /proc/PID/status in kB, or 0.
long status_kb(pid_t pid, const std::string &key) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return 0;
}

}  // namespace

void ChildProcess::reap_or_kill() {
    if (pid_ > 0 && !status_) {
        kill_group(pid_, pidfd_);
        waitpid(pid_, nullptr, 0);
    }
    if (pidfd_ >= 0) close(pidfd_);
    pid_ = pidfd_ = -1;
}

ChildProcess ChildProcess::start(const std::vector<std::string> &argv, const Options &options) {
    if (argv.empty()) return {};
    int errpipe[2];
    if (pipe2(errpipe, O_CLOEXEC) != 0) return {};
    const pid_t parent = getpid(), pid = fork();
    if (pid == 0) {
        // Own process group, so that stopping the child also stops what it started.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        for (const auto &name : options.env_unset) unsetenv(name.c_str());
        for (const auto &[k, v] : options.env_set) setenv(k.c_str(), v.c_str(), 1);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
        for (auto [path, fd] : {std::pair{&options.stdout_path, 1}, {&options.stderr_path, 2}}) {
            const int f = path->empty() ? -1 : open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (f >= 0) dup2(f, fd), close(f);
        }
        for (int fd : options.keep_fds) fcntl(fd, F_SETFD, 0);   // FD_CLOEXEC is the only flag
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        (void)!write(errpipe[1], &errno, sizeof errno);
        _exit(127);
    }
    close(errpipe[1]);
    // A child whose exec failed writes its errno; a successful exec closes the pipe unwritten.
    int e = 0;
    const bool failed = pid < 0 || read(errpipe[0], &e, sizeof e) == sizeof e;
    close(errpipe[0]);
    if (failed) {
        if (pid > 0) waitpid(pid, nullptr, 0);
        return {};
    }
    return ChildProcess(pid, static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
}

bool ChildProcess::running() {
    if (pid_ <= 0 || status_) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_) return true;
    status_ = st;
    return false;
}

std::optional<int> ChildProcess::wait_for_exit(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || status_) return status_;
    if (pidfd_ >= 0 && wait_readable(pidfd_, std::chrono::steady_clock::now() + limit) <= 0) return std::nullopt;
    int st = 0;
    if (waitpid(pid_, &st, 0) == pid_) status_ = st;
    return status_;
}

std::optional<int> ChildProcess::stop(int sig, std::chrono::milliseconds limit) {
    if (pid_ <= 0 || status_) return status_;
    kill(pid_, sig);
    auto st = wait_for_exit(limit);
    if (!st) {
        kill_group(pid_, pidfd_);
        st = wait_for_exit(std::chrono::seconds(5));
    }
    return st;
}

int exit_code(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

int run_program(const std::vector<std::string> &argv, const ChildProcess::Options &options,
                std::chrono::milliseconds limit) {
    const auto status = ChildProcess::start(argv, options).wait_for_exit(limit);
    return status ? exit_code(*status) : -1;
}

ScratchDir::ScratchDir() {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/telvane-test-XXXXXX";
    if (mkdtemp(templ.data())) path_ = templ;
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    std::error_code ec;
    // Give back write permission first, so that tests of unwritable folders still clean up.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec)) chmod(it->path().c_str(), 0755);
    chmod(path_.c_str(), 0755);
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long resident_kb(pid_t pid) { return status_kb(pid, "VmRSS:"); }

bool limit_address_space(pid_t pid, long more_kb) {
    const long now = status_kb(pid, "VmSize:");
    const rlimit limit{more_kb < 0 ? RLIM_INFINITY : static_cast<rlim_t>(now + more_kb) * 1024, RLIM_INFINITY};
    return now > 0 && prlimit(pid, RLIMIT_AS, &limit, nullptr) == 0;
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string build_path(const std::string &relative) { return std::string(TELVANE_BUILD_DIR) + "/" + relative; }

int wait_readable(int fd, std::chrono::steady_clock::time_point end, int stop_fd) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const int n = poll(p, stop_fd >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        return p[1].revents & POLLIN ? -1 : 1;
    }
}

bool wait_for_text(const std::string &path, const std::string &text, std::chrono::milliseconds limit) {
    const int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0) return false;
    inotify_add_watch(fd, path.substr(0, path.find_last_of('/')).c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
    const auto end = std::chrono::steady_clock::now() + limit;
    bool found = false;
    while (!(found = read_file(path).find(text) != std::string::npos) && wait_readable(fd, end) > 0) {
        char buf[4096];
        (void)!read(fd, buf, sizeof buf);
    }
    close(fd);
    return found;
}

bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; !done(); poll(nullptr, 0, 20))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

bool screenshot_area(const std::string &display_name, const std::string &name, int x, int y, int w, int h) {
    // Without a folder to keep it in, the picture is still taken and looked at, then thrown away.
    const char *dir = getenv("TELVANE_SCREENSHOTS");
    const std::string file = dir ? std::string(dir) + "/" + name + ".png"
                                 : "/tmp/telvane-shot-" + std::to_string(getpid()) + "-" + name + ".png";
    std::string command = "import -display " + display_name + " -window root";
    if (w > 0) command += " -crop " + std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" + std::to_string(y);
    bool drawn = false;   // an area of one colour holds nothing that was drawn
    if (FILE *colours = popen((command + " " + file + " && identify -format %k " + file).c_str(), "r")) {
        int count = 0;
        drawn = fscanf(colours, "%d", &count) == 1 && count > 1;
        pclose(colours);
    }
    if (!dir) unlink(file.c_str());
    return drawn;
}

}  // namespace telvane::testing
