// The POSIX stand-in for the X terminal's start record, host channel and process calls.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

char *peer_arg = nullptr;
int obVerbose = 0;
int _peerThreaded = 0;
char *_username = nullptr;
char *_host = nullptr;

namespace {
// The display named by "-display", or null when $DISPLAY holds.
char *noted_display = nullptr;
}  // namespace

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

int peer_inuse() { return -1; }

void peer_is_dead() {}

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
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execv(path, argv);
        _exit(127);
    }
    return static_cast<int>(pid);
}

int spawnse(const char *command, char *const envp[]) {
    if (!command) return -1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        char *const args[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                              const_cast<char *>(command), nullptr};
        execve("/bin/sh", args, envp ? envp : environ);
        _exit(127);
    }
    return static_cast<int>(pid);
}
