// Leaving Telvane by every road: the Exit questions, the window manager's close, the signals a
// desktop sends, and a receiver whose answers never come. Nothing may stay shared behind it.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include <gtest/gtest.h>

#include "core/exit.h"
#include "dialog_driver.h"
#include "main_window_fixture.h"
#include "process.h"
#include "share_server.h"
#include "xvfb.h"

#include <csignal>
#include <sys/stat.h>

using namespace telvane::testing;

namespace {

// The real program on a display behind the real server, taking external requests, with a
// real receiver display.
class ExitRun : public ServedDisplayTest {
protected:
    void SetUp() override {
        start_served();
        if (HasFatalFailure()) return;
        receiver = XvfbServer::start();
        ASSERT_TRUE(receiver);
        mkdir(scratch.file(".Telvane").c_str(), 0755);
        write_file(scratch.file(".Telvane/.setup"), "1 1 0 4 3 5 ");
        driver.emplace(server->name());
        ASSERT_TRUE(*driver);
    }

    // Starts telvane and waits for its main window.
    void start() {
        ChildProcess::Options options;
        options.env_set = {{"DISPLAY", server->name()},
                           {"HOME", scratch.path()},
                           {"NLSPATH", build_path("resources/%N.cat")}};
        options.env_unset = {"XENVIRONMENT", "XAPPLRESDIR", "XUSERFILESEARCHPATH"};
        options.stdout_path = scratch.file("stdout");
        options.stderr_path = scratch.file("stderr");
        telvane = ChildProcess::start({build_path("src/telvane"), "-xrm", "Telvane.enableCommandLine: 1"}, options);
        ASSERT_TRUE(telvane);
        main_shell = driver->wait_for_shell("Telvane", std::chrono::seconds(30), telvane.exit_fd());
        ASSERT_NE(main_shell, 0u) << read_file(scratch.file("stderr"));
        // The program is in its loop once it has said that telepointers run.
        ASSERT_TRUE(wait_for_log("Telepointer started")) << log();
    }

    bool wait_for_log(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return wait_for_text(scratch.file(".Telvane/.logfile"), text, limit);
    }
    std::string log() const { return read_file(scratch.file(".Telvane/.logfile")); }
    std::string rx() const { return "127.0.0.1:" + std::to_string(receiver->number()) + ".0"; }
    int mirrors() const { return static_cast<int>(mirror_windows(receiver->name()).size()); }

    // Shares the window titled `title` to the receiver with telvane-request.
    void share(const char *title) {
        ChildProcess::Options options;
        options.stdout_path = scratch.file("request.out");
        options.stderr_path = scratch.file("request.out");
        ChildProcess request = ChildProcess::start(
            {build_path("request/telvane-request"), "--display", server->name(), "share", "--name", title, rx()},
            options);
        auto status = request.wait_for_exit(std::chrono::seconds(40));
        ASSERT_TRUE(status);
        ASSERT_EQ(exit_code(*status), 0) << read_file(scratch.file("request.out")) << log();
    }

    // Waits for the question dialog and presses its button `index` (0 Yes, 1 No).
    void answer(int index) {
        Window question = driver->wait_for_shell("ZR_Telvane_Message", std::chrono::seconds(20), telvane.exit_fd());
        ASSERT_NE(question, 0u) << log();
        Window button = driver->message_button(question, index);
        ASSERT_NE(button, 0u);
        ASSERT_TRUE(driver->click(button));
    }

    // The window manager's close of the main window.
    void close_main_window() {
        Display *dpy = driver->display();
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = main_shell;
        e.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
        e.xclient.data.l[1] = CurrentTime;
        XSendEvent(dpy, main_shell, False, NoEventMask, &e);
        XSync(dpy, False);
    }

    // Waits for the program to end; its exit code, or -2 when it did not.
    int exit_status() {
        auto status = telvane.wait_for_exit(std::chrono::seconds(20));
        return status ? exit_code(*status) : -2;
    }

    std::optional<XvfbServer> receiver;
    std::optional<DialogDriver> driver;
    ChildProcess telvane;
    Window main_shell = 0;
};

// Where line `a` is found before line `b` in `text`.
bool before(const std::string &text, const std::string &a, const std::string &b) {
    size_t at = text.find(a);
    return at != std::string::npos && text.find(b, at) != std::string::npos;
}

}  // namespace

TEST_F(ExitRun, NothingSharedEndsWithoutAQuestionWhicheverWayExitIsAsked) {
    const struct {
        const char *how;
        int signal;  // 0: the window manager's close
    } roads[] = {{"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}, {"window manager", 0}};
    for (const auto &road : roads) {
        SCOPED_TRACE(road.how);
        start();
        if (HasFatalFailure()) return;
        // Signals that are no reason to end are caught and passed by.
        kill(telvane.pid(), SIGUSR1);
        kill(telvane.pid(), SIGPIPE);
        if (road.signal) {
            kill(telvane.pid(), road.signal);
        } else {
            close_main_window();
        }
        EXPECT_EQ(exit_status(), 0) << log();
        std::string text = log();
        EXPECT_NE(text.find("Exiting Telvane ..... Done"), std::string::npos) << text;
        EXPECT_EQ(text.find("REQUEST unshare"), std::string::npos) << text;
        EXPECT_EQ(read_file(scratch.file("stderr")), "");
        remove(scratch.file(".Telvane/.logfile").c_str());
    }
}

TEST_F(ExitRun, QuestionsKeepSharesOnNoAndTheSessionsEndUnsharesEvenDuringOne) {
    ForeignWindow report(server->name(), "Report", 300, 300, 160, 120);
    start();
    if (HasFatalFailure()) return;
    share("Report");
    ASSERT_EQ(mirrors(), 1);

    // Interrupted while sharing: the program asks first; a second request meanwhile is not
    // asked again, and No keeps everything as it was.
    kill(telvane.pid(), SIGINT);
    ASSERT_NE(driver->wait_for_shell("ZR_Telvane_Message", std::chrono::seconds(20), telvane.exit_fd()), 0u);
    kill(telvane.pid(), SIGINT);
    ASSERT_TRUE(wait_for_log("Exit already in progress, request ignored")) << log();
    answer(1);
    ASSERT_FALSE(telvane.wait_for_exit(std::chrono::milliseconds(300))) << "No must keep the program running";
    EXPECT_EQ(mirrors(), 1);
    EXPECT_EQ(log().find("REQUEST unshare"), std::string::npos);

    // The window manager's close asks the same question; while it is up, the session ends:
    // everything is unshared without waiting for an answer, and the exit is clean.
    close_main_window();
    ASSERT_NE(driver->wait_for_shell("ZR_Telvane_Message", std::chrono::seconds(20), telvane.exit_fd()), 0u);
    kill(telvane.pid(), SIGTERM);
    EXPECT_EQ(exit_status(), 0) << log();
    EXPECT_EQ(mirrors(), 0);
    EXPECT_TRUE(before(log(), "REQUEST unshare ALL windows from '" + rx() + "'", "Exiting Telvane ..... Done"))
        << log();
    EXPECT_EQ(log().find("AGAIN"), std::string::npos) << "the server answered the first request";
}

TEST_F(ExitRun, YesToBothQuestionsUnsharesAndExits) {
    ForeignWindow notes(server->name(), "Notes", 300, 300, 160, 120);
    start();
    if (HasFatalFailure()) return;
    share("Notes");
    ASSERT_EQ(mirrors(), 1);
    kill(telvane.pid(), SIGINT);
    answer(0);
    // The request added a row, so leaving is asked about too.
    answer(0);
    EXPECT_EQ(exit_status(), 0) << log();
    EXPECT_EQ(mirrors(), 0);
    EXPECT_TRUE(before(log(), "REQUEST unshare ALL windows from '" + rx() + "'", "Exiting Telvane ..... Done"));
}

namespace {

class ExitInProcess : public MainWindowTest {};

}  // namespace

TEST_F(ExitInProcess, AReceiverThatNeverAnswersIsAskedAgainThenForgotten) {
    ForeignWindow report(server->name(), "Report", 300, 300, 160, 120);
    Atom real = add_row(receiver_name(), "Receiver One");
    user_picked = report.id();
    tlShareWindow(display, report.id(), real, 0);
    ASSERT_TRUE(pump_until([&] { return find_host_window_tag(real, report.id()) != 0; })) << log_text();
    user_picked = 0;
    // A share the server knows nothing of: its receiver will never answer the unshare.
    Atom silent = XInternAtom(display, "10.99.99.99:5.0", False);
    add_hostatom(silent, "10.99.99.99:5.0", "Silent", 0);
    add_window(static_cast<uint32_t>(silent), 4242, static_cast<uint32_t>(report.id()), 1, 0);

    exit_cleanup_windows();
    EXPECT_EQ(first_tag, nullptr) << "every record is gone, answered or not";
    std::string text = log_text();
    const std::string real_name = receiver_name(), silent_name = "10.99.99.99:5.0";
    EXPECT_EQ(count_of(text, "REQUEST unshare ALL windows from '" + real_name + "'\n"), 1u) << text;
    EXPECT_TRUE(before(text, "REQUEST unshare ALL windows from '" + silent_name + "'\n",
                       "REQUEST unshare ALL windows from '" + silent_name + "' AGAIN"))
        << text;
    EXPECT_EQ(count_of(text, "AGAIN"), 1u) << text;
    EXPECT_TRUE(pump_until([&] { return mirror_windows(receiver_display->name()).empty(); }));
}
