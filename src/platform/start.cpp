// The start routine that a terminal's loader would run before main; linked into telvane only.
//
// The link routes the C runtime's call of main here (-Wl,--wrap=main), so that the program's
// own main sees the argument vector the platform built, as it would on a terminal.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <pwd.h>
#include <unistd.h>

extern "C" int __real_main(int argc, char **argv, char **envp);

extern "C" int __wrap_main(int argc, char **argv, char **envp) {
    PlatformArgs args = platform_build_argv(argc, argv);
    platform_note_display(args.argc, args.argv);
    char **env = platform_copy_environ(envp);
    environ = env;
    static char host[256];
    if (gethostname(host, sizeof host - 1) == 0) _host = host;
    if (struct passwd *pw = getpwuid(getuid())) _username = pw->pw_name;
    if (peer_arg) peer_init(_host, peer_arg);
    setvbuf(stdout, nullptr, _IONBF, 0);
    errno = 0;
    return __real_main(args.argc, args.argv, env);
}
