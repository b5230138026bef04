// The platform layer: argument rewriting and the display's name.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/platform.h"

#include "core/main_loop.h"
#include "process.h"

#include <cstdlib>
#include <deque>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> rewrite(std::vector<std::string> given) {
    // The start routine keeps pointers into the vector (peer_arg), as the program's own vector
    // lives for ever; so do the test's.
    static std::deque<std::vector<std::string>> alive;
    std::vector<std::string> &words = alive.emplace_back(std::move(given));
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    peer_arg = nullptr;
    obVerbose = 0;
    PlatformArgs out = platform_build_argv(static_cast<int>(words.size()), argv.data());
    std::vector<std::string> result;
    for (int i = 0; i < out.argc; ++i) result.emplace_back(out.argv[i]);
    EXPECT_EQ(out.argv[out.argc], nullptr);
    free(out.argv);
    return result;
}

// The display name _gethostname gives for DISPLAY `value`, cut to `length` bytes.
std::string display_of(const char *value, size_t length = 100) {
    setenv("DISPLAY", value, 1);
    std::vector<char> buffer(length);
    _gethostname(buffer.data(), length);
    return buffer.data();
}

}  // namespace

TEST(StartRoutine, TakesPeerAndVerboseOutOfTheVector) {
    EXPECT_EQ(rewrite({"telvane", "-peer", "chan", "-xrm", "a:b"}),
              (std::vector<std::string>{"telvane", "-xrm", "a:b"}));
    EXPECT_STREQ(peer_arg, "chan");
    EXPECT_EQ(rewrite({"telvane", "-obVerbose", "-x", "-obVerbose"}),
              (std::vector<std::string>{"telvane", "-x"}));
    EXPECT_EQ(obVerbose, 1);
    // A trailing -peer has no value and is dropped.
    EXPECT_EQ(rewrite({"telvane", "-peer"}), (std::vector<std::string>{"telvane"}));
    EXPECT_EQ(peer_arg, nullptr);
    EXPECT_EQ(peer_inuse(), -1);
}

TEST(StartRoutine, DisplayNameGetsThisMachineWhenItNamesNoHost) {
    const std::string saved = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    char machine[256] = {};
    gethostname(machine, sizeof machine - 1);
    EXPECT_EQ(display_of(":3"), machine + std::string(":3"));
    EXPECT_EQ(display_of(":3.1"), machine + std::string(":3.1"));
    EXPECT_EQ(display_of("unix:4"), machine + std::string(":4"));
    EXPECT_EQ(display_of("Term12:3.0"), "Term12:3.0");
    EXPECT_EQ(display_of("verylonghost:0", 4), "ver");
    setenv("DISPLAY", saved.c_str(), 1);
}

TEST(StartRoutine, ProcessCallsStartPrograms) {
    const auto exit_code = [](int pid) {
        int status = -1;
        if (pid > 0) waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
    EXPECT_EQ(exit_code(ForkNExecv("/bin/true", argv)), 0);
    // A command line is split as a shell would, and its program found in PATH.
    EXPECT_EQ(exit_code(spawnse("sh -c 'exit 3'", nullptr)), 3);
    EXPECT_LT(ForkNExecv(nullptr, argv), 0);

    // What cannot be executed is refused at once and reported for the main loop to show.
    for (const char *command : {"no-such-tool-anywhere -grab", "", "tool $(touch /tmp/x)", "'open", "/nonexistent/tool"}) {
        whiteboard_message = 0;
        EXPECT_EQ(command[0] == '/' ? ForkNExecv(command, argv) : spawnse(command, nullptr), -1) << command;
        EXPECT_EQ(whiteboard_message, 1) << command;
    }
    whiteboard_message = 0;
}

TEST(OwnFiles, OnlyRegularFilesAreOpenedAndNothingWaitsOnAFifo) {
    telvane::testing::ScratchDir scratch;
    const std::string file = scratch.file("plain"), fifo = scratch.file("fifo"), fresh = scratch.file("fresh");
    telvane::testing::write_file(file, "kept");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char *mode;
        bool opens;
        int error;
    } cases[] = {
        {file, "r", true, 0},        {file, "r+", true, 0},       {file, "a+", true, 0},
        {fifo, "r", false, EINVAL},  {fifo, "a+", false, EINVAL}, {fifo, "w", false, ENXIO},  // no reader: refused at once
        {scratch.file(""), "r", false, EISDIR}, {"/dev/null", "r", false, EINVAL},
        {scratch.file("missing"), "r", false, ENOENT}, {file, "x", false, EINVAL},
        {fresh, "w", true, 0},       {file, "w", true, 0},
    };
    for (const auto &c : cases) {
        if (c.path == file && c.mode[0] == 'w') EXPECT_EQ(telvane::testing::read_file(file), "kept");
        errno = 0;
        FILE *f = platform_fopen_regular(c.path.c_str(), c.mode);
        EXPECT_EQ(f != nullptr, c.opens) << c.path << " " << c.mode;
        if (f) fclose(f);
        else EXPECT_EQ(errno, c.error) << c.path << " " << c.mode;
    }
    // "w" makes a new file and empties a regular one.
    EXPECT_EQ(access(fresh.c_str(), F_OK), 0);
    EXPECT_EQ(telvane::testing::read_file(file), "");
}
