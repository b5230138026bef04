// Start-up: the platform layer's argument rewriting, display name, process calls, words and names.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/platform.h"

#include "core/cstring.h"
#include "core/main_loop.h"
#include "core/startup.h"
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
    // peer_arg points into the vector, which lives for ever like the program's own.
    static std::deque<std::vector<std::string>> alive;
    std::vector<std::string> &words = alive.emplace_back(std::move(given));
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    peer_arg = nullptr;
    obVerbose = 0;
    PlatformArgs out = platform_build_argv(static_cast<int>(words.size()), argv.data());
    std::vector<std::string> result(out.argv, out.argv + out.argc);
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
    for (auto [value, display] : {std::pair{":3", ":3"}, {":3.1", ":3.1"}, {"unix:4", ":4"}})
        EXPECT_EQ(display_of(value), machine + std::string(display));
    EXPECT_EQ(display_of("Term12:3.0"), "Term12:3.0");
    EXPECT_EQ(display_of("verylonghost:0", 4), "ver");
    setenv("DISPLAY", saved.c_str(), 1);
}

TEST(StartRoutine, ProcessCallsStartPrograms) {
    const auto exit_of = [](int pid) {
        int status = -1;
        if (pid > 0) waitpid(pid, &status, 0);
        return telvane::testing::exit_code(status);
    };
    char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
    EXPECT_EQ(exit_of(ForkNExecv("/bin/true", argv)), 0);
    // A command line is split as a shell would, and its program found in PATH.
    EXPECT_EQ(exit_of(spawnse("sh -c 'exit 3'", nullptr)), 3);

    // What cannot be executed is refused at once and reported for the main loop to show.
    for (const char *command : {"no-such-tool-anywhere -grab", "'open", "/nonexistent/tool"}) {
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
    const std::tuple<std::string, const char *, bool, int> cases[] = {  // path, mode, opened, else errno
        {file, "a+", true, 0}, {fifo, "r", false, EINVAL}, {fifo, "w", false, ENXIO},  // no reader: refused at once
        {"/dev/null", "r", false, EINVAL}, {scratch.file("missing"), "r", false, ENOENT}, {file, "x", false, EINVAL},
        {fresh, "w", true, 0}, {file, "w", true, 0},
    };
    for (const auto &[path, mode, opens, error] : cases) {
        if (path == file && mode[0] == 'w') {
            EXPECT_EQ(telvane::testing::read_file(file), "kept");
        }
        errno = 0;
        FILE *f = platform_fopen_regular(path.c_str(), mode);
        EXPECT_EQ(f != nullptr, opens) << path << " " << mode;
        if (f) fclose(f);
        else EXPECT_EQ(errno, error) << path << " " << mode;
    }
    EXPECT_EQ(telvane::testing::read_file(file), "") << "\"w\" empties a regular file";
}

TEST(NameLists, SplitAtBlanksAndTabsAndGrowByEight) {
    char **words = nullptr;
    int count = -1;
    for (const char *none : {(const char *)nullptr, ""}) EXPECT_EQ(add_xxnames(none, &words, &count), 0);
    EXPECT_EQ(count, -1) << "a refused value changes nothing";

    std::string many;
    std::vector<std::string> many_words;
    for (int i = 0; i < 20; ++i) many += "\t" + many_words.emplace_back("w" + std::to_string(i)) + "  ";
    const std::pair<const char *, std::vector<std::string>> cases[] = {
        {"  xterm \t  xclock  ", {"xterm", "xclock"}}, {" \t ", {}}, {many.c_str(), many_words}};
    for (const auto &[value, want] : cases) {
        ASSERT_EQ(add_xxnames(value, &words, &count), 1) << value;
        EXPECT_EQ(std::vector<std::string>(words, words + count), want) << value;
        // The words live in one copy that starts at the first of them, as add_xxhosts frees it.
        if (count > 0) free(words[0]);
        free(words);
    }
}

TEST(TrueValue, OnlyTheSixWordsAreTrue) {
    for (const char *yes : {"TRUE", "True", "true", "YES", "Yes", "yes"}) EXPECT_EQ(true_value(yes), 1);
    for (const char *no : {"on", "tRUE", "yes ", "", (const char *)nullptr}) EXPECT_EQ(true_value(no), 0);
}

TEST(DisplayNames, NumberAndHostFollowTheLocalForms) {
    for (auto [name, number] : {std::pair{"term12:3.0", 3}, {":101", 101}, {"host", 0}, {"host:x", 0}})
        EXPECT_EQ(display_number_of(name), number) << name;
    // A local form gives this machine's name in lower case (ASCII only), cut to 95 characters.
    const std::string long_machine(98, 'M'), cut(95, 'm');
    const std::tuple<const char *, const char *, const char *> hosts[] = {  // display, machine, host
        {"term12:3.0", "machine", "term12"}, {"unix:3", "MyMachine", "mymachine"}, {":3", "Term12:3.0 ÄB", "term12:3.0 Äb"},
        {"shmlink:1", "MyMachine", "mymachine"}, {":0", long_machine.c_str(), cut.c_str()}, {"nohostcolon", "m", "nohostcolon"}};
    for (auto [name, machine, host] : hosts) EXPECT_STREQ(CString(display_host_of(name, machine)).get(), host) << name;
}
