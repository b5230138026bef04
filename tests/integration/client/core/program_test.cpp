// The real telvane program as people run it: start-up on a bare display, sharing from the menu,
// and leaving by every road with nothing left shared behind it.
#include <gtest/gtest.h>

#include "core/startup.h"
#include "program_fixture.h"

#include <csignal>
#include <unistd.h>

using namespace telvane::testing;

namespace {

// Runs of the telvane binary on the bare display behind the server, which cannot share.
class TelvaneRun : public ProgramRun {
protected:
    // Runs telvane with `args` (HOME at `home`, else the scratch folder), answers the dialog
    // that tells of a refusal at start-up, waits for it to end, and returns its exit code.
    int run(std::vector<std::string> args, const std::string &home = "", const std::string &on = "") {
        args.insert(args.begin(), build_path("src/telvane"));
        telvane = ChildProcess::start(args, telvane_options(on.empty() ? upstream->name() : on,
                                                            home.empty() ? scratch.path() : home));
        Window shell = driver->wait_for_shell("ZR_Telvane_Message", std::chrono::seconds(30), telvane.exit_fd());
        dialog_seen_ = shell != 0;
        EXPECT_TRUE(!shell || driver->click(driver->message_button(shell, 0)));
        return exit_status();
    }

    std::string err() const { return read_file(scratch.file("stderr")); }
    bool dialog_seen_ = false;
};

class EndToEnd : public ProgramRun {
protected:
    // Three-digit display numbers that begin alike, as `make run` and ssh give people.
    EndToEnd() {
        served_options.number = find_free_display(100 + getpid() % 40);
        receiver_options.number = find_free_display(served_options.number + 1);
    }
    // True while some client holds the pointer and no menu is posted: the window pick.
    static bool picking(Display *dpy) { return !menu_posted(dpy) && try_pointer_grab(dpy) == AlreadyGrabbed; }
};

using ExitRun = ProgramRun;

}  // namespace

TEST_F(TelvaneRun, StartUpLinesBadOptionsAndFilesOnABareServer) {
    // At the diagnostic level (the fixture's preferences): the start-up lines and the resources
    // in order, a bad host word skipped.
    EXPECT_EQ(run({"-xrm", "Telvane.titleSenderName: ABCDEFGHIJKLMNOPQRSTUVWXY", "-xrm",
                   "Telvane.dontShare.name: xterm  xclock", "-xrm", "Telvane.shareAlone.class: XCalc", "-xrm",
                   "Telvane.dontReportProblems.color: \\ hostb.invalid:0\tmyhost:x ", "-xrm",
                   "Telvane.preventWindowTitleChange: yes", "-xrm", "Telvane.omitCurtainWindow: Yes"}),
              1);
    EXPECT_TRUE(contains(err(), "Telvane: Problem parsing 'dontREport' strings\n"));
    char machine[256] = {};
    gethostname(machine, sizeof machine - 1);
    const std::string host = str2lower(machine);  // the machine's name as the log gives it
    EXPECT_TRUE(in_order(log(), {
        "Startup of Telvane to display '" + host + upstream->name() + "'",
        ".Xdefaults dontShare.name: xterm  xclock",
        ".Xdefaults shareAlone.class: XCalc",
        ".Xdefaults preventWindowTitleChange: TRUE",
        ".Xdefaults omitCurtainWindow: TRUE",
        "dontReportProblems: 'hostb.invalid:0.0' does not resolve to an address; left out",
        ".Xdefaults dontReportProblems.Color:  hostb.invalid:0\tmyhost:x",  // and start-up goes on
        ".Xdefaults title change prepend str (titleSenderName): ABCDEFGHIJKLMNOPQRST\n",
        ".Xdefaults title change append str (appendToTitle): SHARED\n",
        "My prepend to title of shared window str is '[ABCDEFGHIJKLMNOPQRST] '",
        "My append to title of shared window str is ' [SHARED]'",
        "X-Server '" + host + upstream->name() + "' does not support sharing\n",
        "Sharing needs telvane-server in front of this display: start telvane-server :N --upstream " + upstream->name(),
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
    EXPECT_TRUE(contains(err(), "\nSharing needs telvane-server in front of this display: start telvane-server :N"));
    EXPECT_TRUE(dialog_seen_) << "the refusal was not shown in a dialog";

    // A second Telvane where one runs says so and ends.
    write_file(scratch.file(".Telvane/.setup"), "1 1 0 4 3 5 ");
    start();
    ChildProcess first = std::move(telvane);
    EXPECT_EQ(run({}, "", server->name()), 1);
    EXPECT_TRUE(contains(err(), "Telvane already runs on display '"));
}

TEST_F(EndToEnd, TypeAReceiverShareFromTheMenuAndClickAWindow) {
    ForeignWindow target(server->name(), "Quarterly plan", 600, 400, 200, 150);
    start();
    if (HasFatalFailure()) return;
    DialogDriver &driver = *this->driver;
    // Start-up went through the server: both versions are known and the input delay was sent.
    for (const char *line : {"REQUEST change input delay to '0.5' '0.5'",
                             "Connector Version = '@(#)Telvane 2.4 Connector  - 1995'",
                             "Extensions Version = 'Telvane Server 2.4'"})
        EXPECT_TRUE(wait_for_log(line, std::chrono::seconds(5))) << line << "\n" << log();

    // The name line has the focus; the keyboard follows the pointer into the window.
    ASSERT_TRUE(driver.point_at(main_shell));
    ASSERT_TRUE(driver.type_text(rx() + " Receiver display\n"));
    // At the diagnostic level an entry found in no address book is confirmed first.
    answer(0);

    // Windows menu, Share a Single Window, by their mnemonics; then the pick waits for a click.
    // The menu lets go of the pointer just before the pick takes it, so the pick is trusted
    // only when seen twice; and like a person, start again when a click was lost after all.
    bool picked = false;
    for (int attempt = 0; attempt < 4 && !picked; ++attempt) {
        ASSERT_TRUE(choose_menu_item(XK_w, XK_s));
        // Looking for the pick's grab can itself be what the pick finds in its way; then the
        // program says that nothing was picked, and the person starts again.
        auto notice = [&] { return driver.wait_for_shell("ZR_Telvane_Message", std::chrono::milliseconds(1)); };
        ASSERT_TRUE(eventually([&] {
            return notice() || (picking(driver.display()) && (poll(nullptr, 0, 50), picking(driver.display())));
        }, std::chrono::seconds(15))) << log();
        if (!notice()) {
            ASSERT_TRUE(driver.click(target.id()));
            picked = wait_for_log("Window Pick - Picked", std::chrono::seconds(3));
        }
        if (!picked) answer(0);
    }
    ASSERT_TRUE(picked) << log();

    ASSERT_TRUE(eventually([&] { return mirrors() == 1; }, std::chrono::seconds(20))) << log();
    EXPECT_TRUE(wait_for_log("REQUEST share SINGLE window (" + hex(target.id()) + ") to '" + rx() + "'",
                             std::chrono::seconds(5))) << log();
    // Leaving asks first, and again as the typed receiver added a row; Yes to both unshares
    // everything before the clean exit.
    kill(telvane.pid(), SIGINT);
    answer(0);
    answer(0);
    EXPECT_EQ(exit_status(), 0) << log();
    EXPECT_TRUE(mirrors_become(0));
    EXPECT_TRUE(in_order(log(), {"REQUEST unshare ALL windows from '" + rx() + "'", "Exiting Telvane ..... Done"}));
    EXPECT_EQ(read_file(scratch.file("stderr")), "");
}

TEST_F(ExitRun, NothingSharedEndsUnaskedSharesAreAskedForKeptOnNoUnsharedAtTheSessionsEndAndAKillRestoresTitles) {
    // With nothing shared, the session's end comes unasked (the other roads to exit are asked below);
    // signals that are no reason to end are caught and passed by.
    start();
    if (HasFatalFailure()) return;
    kill(telvane.pid(), SIGUSR1);
    kill(telvane.pid(), SIGPIPE);
    kill(telvane.pid(), SIGHUP);
    EXPECT_EQ(exit_status(), 0) << log();
    EXPECT_TRUE(contains(log(), "Exiting Telvane ..... Done"));
    EXPECT_FALSE(contains(log(), "REQUEST unshare"));
    EXPECT_EQ(read_file(scratch.file("stderr")), "");
    remove(scratch.file(".Telvane/.logfile").c_str());

    ForeignWindow report(server->name(), "Report", 300, 300, 160, 120);
    start();
    if (HasFatalFailure()) return;
    share("Report");
    ASSERT_TRUE(mirrors_become(1));

    // Interrupted while sharing: the program asks first; a second request meanwhile is not
    // asked again, and No keeps everything as it was.
    kill(telvane.pid(), SIGINT);
    ASSERT_NE(driver->wait_for_shell("ZR_Telvane_Message", std::chrono::seconds(20), telvane.exit_fd()), 0u);
    kill(telvane.pid(), SIGINT);
    ASSERT_TRUE(wait_for_log("Exit already in progress, request ignored")) << log();
    answer(1);
    ASSERT_FALSE(telvane.wait_for_exit(std::chrono::milliseconds(300))) << "No must keep the program running";
    EXPECT_EQ(mirrors(), 1);
    EXPECT_FALSE(contains(log(), "REQUEST unshare"));

    // The window manager's close asks the same question; while it is up, the session ends:
    // everything is unshared without waiting for an answer, and the exit is clean.
    close_by_window_manager(driver->display(), main_shell);
    ASSERT_NE(driver->wait_for_shell("ZR_Telvane_Message", std::chrono::seconds(20), telvane.exit_fd()), 0u);
    kill(telvane.pid(), SIGTERM);
    EXPECT_EQ(exit_status(), 0) << log();
    EXPECT_TRUE(mirrors_become(0));
    EXPECT_TRUE(in_order(log(), {"REQUEST unshare ALL windows from '" + rx() + "'", "Exiting Telvane ..... Done"}));
    EXPECT_FALSE(contains(log(), "AGAIN")) << "the server answered the first request";

    // Killed outright, its shares go within a second as for any client that goes (the server's
    // own tests look at the receiver's screen); here the titles must come back as they were.
    report.rename_net("Report — Q4");
    start();
    if (HasFatalFailure()) return;
    share("Report");
    ASSERT_TRUE(mirrors_become(1));
    Display *dpy = driver->display();
    ASSERT_TRUE(eventually([&] { return window_title(dpy, report.id(), true) != "Report — Q4"; }))
        << "the title was never marked";
    kill(telvane.pid(), SIGKILL);
    ASSERT_NE(exit_status(), 0);
    EXPECT_TRUE(eventually([&] { return mirrors() == 0; }, std::chrono::seconds(1))) << "a mirror outlived its sharer";
    EXPECT_TRUE(eventually([&] { return window_title(dpy, report.id()) == "Report"; }))
        << window_title(dpy, report.id());
    EXPECT_TRUE(eventually([&] { return window_title(dpy, report.id(), true) == "Report — Q4"; }));
}
