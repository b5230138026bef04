#pragma once
// The platform layer: what an X terminal's loader, host channel and process calls give the program.
//
// On an X terminal, the terminal's own operating system starts Telvane from a start record,
// gives it a "peer" channel back to the host that launched it, and offers its own calls for
// creating processes and for naming the terminal. On an ordinary Linux desktop none of that
// exists, so this layer supplies the same operations from POSIX:
//   - the start routine (start.cpp) rewrites the argument vector as the loader would;
//   - the host channel is the desktop session: once platform_watch_signals has run,
//     peer_inuse() names a pipe that becomes readable when SIGTERM or SIGHUP says that the
//     session is going away (logout, kill), so the program's own channel watch unshares
//     everything and exits, as it would when a terminal's host went away;
//   - SIGINT asks the program to exit as its Exit menu entry does (exit_now_callback); other
//     signals that would end the program for no reason of its own go to signal_catcher;
//   - _gethostname names the display Telvane runs on, prefixed with this machine's name;
//   - ForkNExecv and spawnse are fork/exec; a program that cannot be executed is reported
//     to the program through cannot_exec.
// Signal handlers only write a byte into a pipe; the work is done from the toolkit's loop.
// A terminal port replaces this file's implementation and keeps the interface.

#include <X11/Intrinsic.h>

#include <cstddef>

// The value that followed "-peer" on the command line, or null.
extern char *peer_arg;
// 1 when "-obVerbose" was on the command line.
extern int obVerbose;
// Non-zero when the channel should run in threaded mode; always 0 here.
extern int _peerThreaded;
// User and host names from the start record (here: the login name and this machine's name).
extern char *_username;
extern char *_host;

// Result of the start routine's argument rewriting.
struct PlatformArgs {
    int argc;
    char **argv;
};

// Builds the argument vector the program sees: removes every "-peer WORD" (WORD becomes
// peer_arg; a trailing "-peer" is dropped) and every "-obVerbose" (sets obVerbose). The new
// vector is allocated with room for argc + 1 entries and ends with a null entry; on allocation
// failure the incoming vector is returned unchanged. Called by the start routine and by tests.
PlatformArgs platform_build_argv(int argc, char **argv);

// Copies an environment vector into newly allocated storage, null entry included; returns
// null when it cannot be copied. Called by the start routine.
char **platform_copy_environ(char **envp);

// Remembers the display named by a "-display" argument, so that _gethostname reports the
// display the toolkit will open rather than $DISPLAY. Called by the start routine.
void platform_note_display(int argc, char **argv);

// Installs the signal handlers described above and registers their pipe with the toolkit of
// `app`. Returns 1, or 0 when the pipes cannot be made (signals then keep their defaults).
// Called once by start-up as soon as the toolkit is open.
int platform_watch_signals(XtAppContext app);

// Opens the channel to the host that launched the program. There is no channel here, so it
// only records that one was asked for. Called by start-up when peer_arg is set.
void peer_init(const char *host, const char *arg);
// Switches the channel to threaded mode; a no-op here.
void peer_goThreaded();
// The channel's file descriptor: the session pipe while signals are watched and the channel
// is not dead, else -1.
int peer_inuse();
// Tells the platform that the channel has closed. Called by the exit path.
void peer_is_dead();

// Fills `buffer` (at most `length` bytes, always terminated when length > 0) with the name of
// the display the program runs on: the display name with this machine's name put in front
// when it names no host (":3" becomes "myhost:3"). Returns 0, or -1 when length is 0.
int _gethostname(char *buffer, size_t length);

// Starts the program at `path` with the null-ended `argv` as a new process. Returns the new
// process id, or -1 when it cannot be started or executed (then cannot_exec has been called).
// Called by tool launching.
int ForkNExecv(const char *path, char *const argv[]);
// Starts the command line `command` (split into words as a shell would, without command
// substitution; the first word is looked up in PATH) with the environment `envp`. Returns the
// new process id, or -1 when it cannot be split, started or executed (then cannot_exec has
// been called). Called by tool launching.
int spawnse(const char *command, char *const envp[]);

// Forgets the signal watch: restores the default handlers and closes the pipes. For tests.
void platform_forget_signals();
