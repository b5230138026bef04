// The POSIX stand-in for the X terminal's start record, host channel and process calls.
#include "platform.h"

#include "core/exit.h"
#include "ui/tools.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

char *peer_arg = nullptr;
int obVerbose = 0;
int _peerThreaded = 0;
char *_username = nullptr;
char *_host = nullptr;

namespace {
// The display named by "-display", or null when $DISPLAY holds.
char *noted_display = nullptr;

// The session pipe: its read end is the host channel, readable once the session ends.
int session_pipe[2] = {-1, -1};
// The wake pipe: each byte is a signal number for the toolkit's loop to act on.
int wake_pipe[2] = {-1, -1};
XtInputId wake_input = 0;
bool channel_dead = false;

// Processes this layer started and has not reaped yet.
constexpr int kMaxChildren = 64;
pid_t children[kMaxChildren];
int child_count = 0;

const int kSessionSignals[] = {SIGTERM, SIGHUP};
const int kWokenSignals[] = {SIGINT, SIGUSR1, SIGUSR2, SIGPIPE, SIGCHLD};

void on_session_signal(int) {
    int saved = errno;
    (void)!write(session_pipe[1], "x", 1);
    errno = saved;
}

void on_woken_signal(int number) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(number);
    (void)!write(wake_pipe[1], &byte, 1);
    errno = saved;
}

void remember_child(pid_t pid) {
    if (child_count < kMaxChildren) children[child_count++] = pid;
}

void reap_children() {
    for (int i = 0; i < child_count;) {
        if (waitpid(children[i], nullptr, WNOHANG) != 0) {
            children[i] = children[--child_count];
        } else {
            ++i;
        }
    }
}

// The toolkit's side of the wake pipe: acts on every signal noted since the last call.
void on_wake(XtPointer, int *, XtInputId *) {
    // One byte at a time: a question that exit asks runs a nested loop, which must find the
    // signals that came meanwhile still in the pipe and see them through this same handler.
    unsigned char byte;
    while (read(wake_pipe[0], &byte, 1) == 1) {
        switch (byte) {
        case SIGINT: exit_now_callback(); break;
        case SIGCHLD: reap_children(); break;
        default: signal_catcher(); break;
        }
    }
}

bool make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) return true;
    fds[0] = fds[1] = -1;
    return false;
}

void close_pipe(int fds[2]) {
    for (int i = 0; i < 2; ++i) {
        if (fds[i] >= 0) close(fds[i]);
        fds[i] = -1;
    }
}

void set_handler(int number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(number, &action, nullptr);
}

// Forks and runs `run` in the child; reports through a close-on-exec pipe whether the exec
// happened. Returns the child's id, or -1 (having called cannot_exec) when it did not.
template <typename Exec>
int start_child(Exec run) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (pid == 0) {
        close(report[0]);
        // The tool is a program of its own: it gets the signals' defaults back, and a signal
        // before its exec must not write into Telvane's pipes.
        for (int number : kSessionSignals) signal(number, SIG_DFL);
        for (int number : kWokenSignals) signal(number, SIG_DFL);
        run();
        int error = errno;
        (void)!write(report[1], &error, sizeof error);
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t n;
    do {
        n = read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n > 0) {
        // The exec failed: the child is ending now, and nothing more is to be heard of it.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        cannot_exec();
        return -1;
    }
    remember_child(pid);
    return static_cast<int>(pid);
}
}  // namespace

int platform_watch_signals(XtAppContext app) {
    if (!app || wake_input) return 0;
    if (!make_pipe(session_pipe)) return 0;
    if (!make_pipe(wake_pipe)) {
        close_pipe(session_pipe);
        return 0;
    }
    wake_input = XtAppAddInput(app, wake_pipe[0], reinterpret_cast<XtPointer>(XtInputReadMask), on_wake, nullptr);
    for (int number : kSessionSignals) set_handler(number, on_session_signal);
    for (int number : kWokenSignals) set_handler(number, on_woken_signal);
    channel_dead = false;
    return 1;
}

void platform_forget_signals() {
    for (int number : kSessionSignals) signal(number, SIG_DFL);
    for (int number : kWokenSignals) signal(number, SIG_DFL);
    if (wake_input) XtRemoveInput(wake_input);
    wake_input = 0;
    close_pipe(session_pipe);
    close_pipe(wake_pipe);
    channel_dead = false;
}

PlatformArgs platform_build_argv(int argc, char **argv) {
    char **out = static_cast<char **>(calloc(static_cast<size_t>(argc) + 1, sizeof(char *)));
    if (!out) return {argc, argv};
    int n = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-peer") == 0) {
            if (i + 1 < argc) peer_arg = argv[++i];
            continue;
        }
        if (strcmp(argv[i], "-obVerbose") == 0) {
            obVerbose = 1;
            continue;
        }
        out[n++] = argv[i];
    }
    out[n] = nullptr;
    return {n, out};
}

char **platform_copy_environ(char **envp) {
    if (!envp) return nullptr;
    size_t count = 0;
    while (envp[count]) ++count;
    char **copy = static_cast<char **>(calloc(count + 1, sizeof(char *)));
    if (!copy) return nullptr;
    for (size_t i = 0; i < count; ++i) copy[i] = envp[i];
    copy[count] = nullptr;
    return copy;
}

void platform_note_display(int argc, char **argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        // Xt accepts any unique abbreviation of -display down to "-d".
        size_t len = strlen(argv[i]);
        if (len >= 2 && strncmp(argv[i], "-display", len) == 0) {
            noted_display = argv[i + 1];
            return;
        }
    }
}

void peer_init(const char *host, const char *arg) {
    (void)host;
    (void)arg;
    if (_peerThreaded) peer_goThreaded();
}

void peer_goThreaded() {}

int peer_inuse() { return channel_dead ? -1 : session_pipe[0]; }

void peer_is_dead() {
    channel_dead = true;
    // Emptied, so that the toolkit stops calling the channel's handler while exit runs.
    if (session_pipe[0] >= 0) {
        char bytes[32];
        while (read(session_pipe[0], bytes, sizeof bytes) > 0) {
        }
    }
}

int _gethostname(char *buffer, size_t length) {
    if (!buffer || length == 0) return -1;
    const char *name = noted_display ? noted_display : getenv("DISPLAY");
    if (!name) name = ":0";
    char machine[256];
    if (gethostname(machine, sizeof machine) != 0) strcpy(machine, "localhost");
    machine[sizeof machine - 1] = '\0';
    const char *colon = strchr(name, ':');
    // A name such as ":3" or "unix:3" names no other host: this machine's display it is.
    bool local = colon == name || strncmp(name, "unix:", 5) == 0;
    const char *rest = colon ? colon : "";
    if (local) {
        snprintf(buffer, length, "%s%s", machine, rest);
    } else {
        snprintf(buffer, length, "%s", name);
    }
    return 0;
}

int ForkNExecv(const char *path, char *const argv[]) {
    if (!path || !argv) return -1;
    return start_child([&] { execv(path, argv); });
}

int spawnse(const char *command, char *const envp[]) {
    if (!command) return -1;
    wordexp_t words{};
    // No command substitution: the line is a command and its words, not a script.
    if (wordexp(command, &words, WRDE_NOCMD) != 0) {
        cannot_exec();
        return -1;
    }
    if (words.we_wordc == 0) {
        wordfree(&words);
        cannot_exec();
        return -1;
    }
    int pid = start_child([&] { execvpe(words.we_wordv[0], words.we_wordv, envp ? envp : environ); });
    wordfree(&words);
    return pid;
}
