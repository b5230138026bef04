// The Tools menu of the real program: the command each road starts, and a tool that cannot run.
#include <gtest/gtest.h>

#include "program_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace telvane::testing;

namespace {

class Tools : public ProgramRun {
protected:
    // Writes a program at `path` that appends its arguments, one line per run, to `record`.
    void recorder(const std::string &path, const std::string &record) {
        write_file(path, "#!/bin/sh\necho \"$*\" >> " + record + "\n");
        chmod(path.c_str(), 0755);
    }
    // Runs telvane with `env` to choose Create Whiteboard, then Create Snapshot: `record` gets both lines.
    void launch_both(const std::map<std::string, std::string> &env, const std::string &record,
                     const std::string &whiteboard_line, const std::string &snapshot_line) {
        SCOPED_TRACE(record);
        start(env);
        if (HasFatalFailure()) return;
        for (auto [item, line] : {std::pair{XK_w, whiteboard_line + "\n"}, {XK_s, whiteboard_line + "\n" + snapshot_line + "\n"}}) {
            ASSERT_TRUE(choose_menu_item(XK_t, item));
            ASSERT_TRUE(eventually([&] { return read_file(record) == line; }, std::chrono::seconds(20)))
                << read_file(record) << log();
        }
        telvane.stop();
    }
};

}  // namespace

TEST_F(Tools, EachRoadRunsItsCommandAndAToolThatCannotBeRunIsTold) {
    // VIEWER unset: "whiteboard" from PATH; VIEWER a path: that path, whole.
    for (const char *folder : {"bin", "tools", "xthome"}) mkdir(scratch.file(folder).c_str(), 0755);
    recorder(scratch.file("bin/whiteboard"), scratch.file("plain"));
    launch_both({{"VIEWER", ""}, {"XTHOME", scratch.file("none")}, {"PATH", scratch.file("bin") + ":/usr/bin:/bin"}},
                scratch.file("plain"), "", "-grab");
    recorder(scratch.file("tools/board"), scratch.file("viewer"));
    launch_both({{"VIEWER", scratch.file("tools/board")}, {"XTHOME", scratch.file("none")}}, scratch.file("viewer"), "",
                "-grab");
    EXPECT_TRUE(contains(log(), "Starting tool '" + scratch.file("tools/board") + " -grab'"));

    // The tool at $XTHOME/../bin/zrxt.whiteboard runs through the user's shell: bash under a
    // name of its own that writes down its argv[0] and the line it runs.
    recorder(scratch.file("bin/zrxt.whiteboard"), scratch.file("tool"));
    ASSERT_EQ(symlink("/bin/bash", scratch.file("myshell").c_str()), 0);
    write_file(scratch.file("shell-start"), "echo \"$0 -c $BASH_EXECUTION_STRING\" >> " + scratch.file("shell") + "\n");
    launch_both({{"VIEWER", scratch.file("unused")}, {"XTHOME", scratch.file("xthome")},
                 {"SHELL", scratch.file("myshell")}, {"BASH_ENV", scratch.file("shell-start")}},
                scratch.file("tool"), "--", "-- -grab");
    std::string path = scratch.file("xthome") + "/../bin/zrxt.whiteboard";
    EXPECT_EQ(read_file(scratch.file("shell")), "myshell -c " + path + " --\nmyshell -c " + path + " -- -grab\n");

    start({{"VIEWER", scratch.file("no/such/board")}, {"XTHOME", scratch.file("none")}});
    if (HasFatalFailure()) return;
    ASSERT_TRUE(choose_menu_item(XK_t, XK_s));
    answer(0);
    EXPECT_TRUE(wait_for_log("The whiteboard process '" + scratch.file("no/such/board") + "' cannot be run")) << log();
    EXPECT_FALSE(telvane.wait_for_exit(std::chrono::milliseconds(1))) << "telvane must still run";
}
