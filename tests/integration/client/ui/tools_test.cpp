// The Tools menu of the real program: which command each road starts, and the message when a
// tool cannot be run.
#include <gtest/gtest.h>

#include "program_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace telvane::testing;

namespace {

class Tools : public ProgramRun {
protected:
    // A program that writes its arguments, one line per run, into `record`, then runs `then`.
    std::string recorder(const std::string &path, const std::string &record, const std::string &then = "") {
        write_file(path, "#!/bin/sh\necho \"$*\" >> " + record + "\n" + then);
        chmod(path.c_str(), 0755);
        return path;
    }
    // Chooses Create Whiteboard and then Create Snapshot, waiting after each for `record` to
    // hold its line.
    void launch_both(const std::string &record, const std::string &whiteboard_line, const std::string &snapshot_line) {
        ASSERT_TRUE(choose_menu_item(XK_t, XK_w));
        ASSERT_TRUE(wait_for_text(record, whiteboard_line + "\n", std::chrono::seconds(20))) << read_file(record) << log();
        ASSERT_TRUE(choose_menu_item(XK_t, XK_s));
        ASSERT_TRUE(wait_for_text(record, snapshot_line + "\n", std::chrono::seconds(20))) << read_file(record) << log();
        EXPECT_EQ(read_file(record), whiteboard_line + "\n" + snapshot_line + "\n");
    }
};

}  // namespace

TEST_F(Tools, TheViewerRoadRunsTheCommandWithGrabForTheSnapshot) {
    // VIEWER unset: "whiteboard" from PATH; VIEWER a path: that path, whole.
    mkdir(scratch.file("bin").c_str(), 0755);
    mkdir(scratch.file("tools").c_str(), 0755);
    recorder(scratch.file("bin/whiteboard"), scratch.file("plain"));
    start({{"VIEWER", ""}, {"XTHOME", scratch.file("none")}, {"PATH", scratch.file("bin") + ":/usr/bin:/bin"}});
    if (HasFatalFailure()) return;
    { SCOPED_TRACE("plain"); launch_both(scratch.file("plain"), "", "-grab"); }
    telvane.stop();

    recorder(scratch.file("tools/board"), scratch.file("viewer"));
    start({{"VIEWER", scratch.file("tools/board")}, {"XTHOME", scratch.file("none")}});
    if (HasFatalFailure()) return;
    { SCOPED_TRACE("viewer"); launch_both(scratch.file("viewer"), "", "-grab"); }
    EXPECT_TRUE(contains(log(), "Starting tool '" + scratch.file("tools/board") + " -grab'"));
}

TEST_F(Tools, TheToolsHomeRoadRunsThroughTheUsersShell) {
    // The tool sits at $XTHOME/../bin/zrxt.whiteboard; the user's shell runs it.
    mkdir(scratch.file("xthome").c_str(), 0755);
    mkdir(scratch.file("bin").c_str(), 0755);
    std::string tool = recorder(scratch.file("bin/zrxt.whiteboard"), scratch.file("tool"));
    // The shell is bash under a name of its own: it writes down the name it was given as argv[0]
    // (its $0) and the line it runs.
    ASSERT_EQ(symlink("/bin/bash", scratch.file("myshell").c_str()), 0);
    write_file(scratch.file("shell-start"), "echo \"$0 -c $BASH_EXECUTION_STRING\" >> " + scratch.file("shell") + "\n");
    start({{"VIEWER", scratch.file("unused")}, {"XTHOME", scratch.file("xthome")}, {"SHELL", scratch.file("myshell")},
           {"BASH_ENV", scratch.file("shell-start")}});
    if (HasFatalFailure()) return;
    launch_both(scratch.file("tool"), "--", "-- -grab");
    std::string path = scratch.file("xthome") + "/../bin/zrxt.whiteboard";
    EXPECT_EQ(read_file(scratch.file("shell")), "myshell -c " + path + " --\nmyshell -c " + path + " -- -grab\n");
}

TEST_F(Tools, AToolThatCannotBeRunIsToldAndLogged) {
    start({{"VIEWER", scratch.file("no/such/board")}, {"XTHOME", scratch.file("none")}});
    if (HasFatalFailure()) return;
    ASSERT_TRUE(choose_menu_item(XK_t, XK_s));
    answer(0);
    EXPECT_TRUE(wait_for_log("The whiteboard process '" + scratch.file("no/such/board") + "' cannot be run"))
        << log();
    EXPECT_FALSE(telvane.wait_for_exit(std::chrono::milliseconds(1))) << "telvane must still run";
}
