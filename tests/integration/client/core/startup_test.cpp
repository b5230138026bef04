// Telvane's start-up against a real Xvfb: refusals, start-up log lines, bad resources and files.
#include <gtest/gtest.h>

#include "program_fixture.h"
#include "text_order.h"

#include <unistd.h>

using namespace telvane::testing;

namespace {

std::string machine_name() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    std::string s = name;
    for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// Runs of the telvane binary on the bare display behind the server, which cannot share.
class TelvaneRun : public ProgramRun {
protected:
    // Runs telvane with `args` (HOME at `home`, else the scratch folder), answers the dialog
    // that tells of a refusal at start-up, waits for it to end, and returns its exit code.
    int run(std::vector<std::string> args, const std::string &home = "") {
        args.insert(args.begin(), build_path("src/telvane"));
        telvane = ChildProcess::start(args, telvane_options(upstream->name(), home.empty() ? scratch.path() : home));
        Window shell = driver->wait_for_shell("ZR_Telvane_Message", std::chrono::seconds(30), telvane.exit_fd());
        dialog_seen_ = shell != 0;
        if (shell) EXPECT_TRUE(driver->click(driver->message_button(shell, 0)));
        return exit_status();
    }

    std::string err() const { return read_file(scratch.file("stderr")); }
    bool dialog_seen_ = false;
};

}  // namespace

TEST_F(TelvaneRun, StartUpLinesBadOptionsFilesAndHomesOnABareServer) {
    // At the diagnostic level (the fixture's preferences): the start-up lines and the resources
    // in order, a bad host word skipped.
    EXPECT_EQ(run({"-xrm", "Telvane.titleSenderName: ABCDEFGHIJKLMNOPQRSTUVWXY", "-xrm",
                   "Telvane.dontShare.name: xterm  xclock", "-xrm", "Telvane.shareAlone.class: XCalc", "-xrm",
                   "Telvane.dontReportProblems.color: \\ hostb.invalid:0\tmyhost:x ", "-xrm",
                   "Telvane.preventWindowTitleChange: yes"}),
              1);
    EXPECT_TRUE(contains(err(), "Telvane: Problem parsing 'dontREport' strings\n"));
    std::string host = machine_name();
    std::string n = upstream->name().substr(1);  // every digit: test displays are :20 and up
    EXPECT_TRUE(in_order(log(), {
        ".Xdefaults dontShare.name: xterm  xclock",
        ".Xdefaults shareAlone.class: XCalc",
        ".Xdefaults preventWindowTitleChange: TRUE",
        "dontReportProblems: 'hostb.invalid:0.0' does not resolve to an address; left out",
        ".Xdefaults dontReportProblems.Color:  hostb.invalid:0\tmyhost:x",
        "My display name is",  // start-up went on past the bad word
    }));
    EXPECT_TRUE(in_order(log(), {
        "Startup of Telvane to display '" + host + upstream->name() + "'",
        "My executing-code machine is '" + host + upstream->name() + "'",
        "My local display name is 'local:" + n + "'",
        "My unix display name is 'unix:" + n + "'",
        "My shmlink display name is 'shmlink:" + n + "'",
        "My null display name is ':" + n + "'",
        "My display hostname is '" + host + "'",
        "My display name is '" + host + ":" + n + "'",
        "My IP Address is '",
        ".Xdefaults title change prepend str (titleSenderName): ABCDEFGHIJKLMNOPQRST\n",
        ".Xdefaults title change append str (appendToTitle): SHARED\n",
        "My prepend to title of shared window str is '[ABCDEFGHIJKLMNOPQRST] '",
        "My append to title of shared window str is ' [SHARED]'",
        "X-Server '" + host + upstream->name() + "' does not support sharing\n",
    }));

    EXPECT_EQ(run({"-frobnicate"}), 1);
    EXPECT_EQ(err(), "Local client Telvane does not support the -frobnicate option.\n");
    // The terminal's own arguments are not options of the program.
    EXPECT_EQ(run({"-obVerbose", "-peer", "channel"}), 1);
    EXPECT_FALSE(contains(err(), "does not support the"));

    // A preference file of garbage: defaults stay, the program reaches its sharing check and
    // says, on standard error and in a dialog, that the bare server cannot share.
    write_file(scratch.file(".Telvane/.setup"), std::string("\xff\xfe garbage\n\0\0\x01", 14));
    EXPECT_EQ(run({}), 1);
    EXPECT_TRUE(contains(err(), "X-Server '" + host + upstream->name() + "' does not support sharing\n"));
    EXPECT_TRUE(dialog_seen_) << "the refusal was not shown in a dialog";
    // A home where nothing can be written, and one that does not exist at all.
    for (const std::string &home : {std::string("/dev/null"), scratch.file("missing/home")}) {
        EXPECT_EQ(run({}, home), 1);
        EXPECT_TRUE(contains(err(), "does not support sharing")) << home;
    }
}
