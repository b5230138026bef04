// Leaving Telvane by every road: the Exit questions, the window manager's close, the signals a
// desktop sends, and a receiver whose answers never come. Nothing may stay shared behind it.
#include <gtest/gtest.h>

#include "core/exit.h"
#include "main_window_fixture.h"
#include "program_fixture.h"
#include "text_order.h"

#include <csignal>

using namespace telvane::testing;

using ExitRun = ProgramRun;

TEST_F(ExitRun, NothingSharedEndsWithoutAQuestionWhicheverWayExitIsAsked) {
    // Signal 0 stands for the window manager's close.
    for (auto [how, signal] : {std::pair{"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}, {"WM", 0}}) {
        SCOPED_TRACE(how);
        start();
        if (HasFatalFailure()) return;
        // Signals that are no reason to end are caught and passed by.
        kill(telvane.pid(), SIGUSR1);
        kill(telvane.pid(), SIGPIPE);
        if (signal) kill(telvane.pid(), signal);
        else close_main_window();
        EXPECT_EQ(exit_status(), 0) << log();
        EXPECT_TRUE(contains(log(), "Exiting Telvane ..... Done"));
        EXPECT_FALSE(contains(log(), "REQUEST unshare"));
        EXPECT_EQ(read_file(scratch.file("stderr")), "");
        remove(scratch.file(".Telvane/.logfile").c_str());
    }
}

TEST_F(ExitRun, QuestionsKeepSharesOnNoTheSessionsEndUnsharesEvenDuringOneAndAKillRestoresTitles) {
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
    close_main_window();
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

using ExitInProcess = MainWindowTest;

TEST_F(ExitInProcess, AReceiverThatNeverAnswersIsAskedAgainThenForgotten) {
    ForeignWindow report(server->name(), "Report", 300, 300, 160, 120);
    Atom real = add_row(receiver_name(), "Receiver One");
    share(report.id(), real);
    // A share the server knows nothing of: its receiver will never answer the unshare.
    const std::string silent_name = "10.99.99.99:5.0", asked = "REQUEST unshare ALL windows from '";
    Atom silent = XInternAtom(display, silent_name.c_str(), False);
    add_hostatom(silent, silent_name.c_str(), "Silent", 0);
    add_window(static_cast<uint32_t>(silent), 4242, static_cast<uint32_t>(report.id()), 1, 0);

    exit_cleanup_windows();
    EXPECT_EQ(first_tag, nullptr) << "every record is gone, answered or not";
    EXPECT_EQ(count_of(log_text(), asked + receiver_name() + "'\n"), 1u) << log_text();
    EXPECT_TRUE(in_order(log_text(), {asked + silent_name + "'\n", asked + silent_name + "' AGAIN"}));
    EXPECT_EQ(count_of(log_text(), "AGAIN"), 1u) << log_text();
    EXPECT_TRUE(pump_until([&] { return mirrors().empty(); }));
}
