// telvane-consent as a sender meets it: real processes, real sockets, and a private Xvfb on
// which the dialog is answered by clicking, as a person would.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include <gtest/gtest.h>

#include "consent_service.h"
#include "dialog_driver.h"
#include "text_checks.h"
#include "x_probe.h"
#include "xvfb.h"

#include <csignal>

using namespace telvane::testing;
using namespace std::chrono_literals;

namespace {

// Generous limits: they bound a failing test, a passing one never waits for them.
constexpr auto kLimit = 15s;

std::string request_bytes(std::array<uint8_t, 4> sender, const std::string &identity, bool zero = true) {
    return std::string(sender.begin(), sender.end()) + identity + (zero ? std::string(1, '\0') : "");
}

// A sender at 127.0.0.1 that has asked for `identity`, claiming to be `claim`.
Peer asking(int port, std::array<uint8_t, 4> claim, const std::string &identity) {
    Peer p("127.0.0.1", port);
    EXPECT_TRUE(p.send_bytes(request_bytes(claim, identity))) << identity;
    return p;
}

// Without a display: command-line mistakes, fixed answers and bad requests. DISPLAY is unset, so
// a service that tried to open one would fail to start.
TEST(Headless, CommandLineMistakesFixedAnswersAndBadSilentOrFloodingPeersThatDelayNobody) {
    ScratchDir dir;
    const ChildProcess::Options headless{.env_unset = {"DISPLAY"}, .stdout_path = dir.file("out"),
                                         .stderr_path = dir.file("err")};
    const std::string program = build_path("consent/telvane-consent");
    // Option mistakes in general are the unit and install tests' business; these are main's own.
    EXPECT_EQ(run_program({program, "--accept-all", "-display", ":5"}, headless, kLimit), 2);
    EXPECT_TRUE(contains(read_file(dir.file("err")), "usage:"));
    EXPECT_EQ(read_file(dir.file("out")), "");
    // Asking needs a display; without one the service says so instead of listening.
    EXPECT_EQ(run_program({program, "--listen", "127.0.0.1:0"}, headless, kLimit), 1);
    EXPECT_TRUE(contains(read_file(dir.file("err")), "cannot open display"));

    ConsentService consent;
    // Silent peers are refused in time and block nobody.
    ASSERT_TRUE(consent.start({"--accept-all", "--read-timeout", "1"}, "127.0.0.1:0", headless));
    Peer silent("127.0.0.1", consent.port), partial("127.0.0.1", consent.port);
    ASSERT_TRUE(partial.send_bytes(request_bytes({10, 0, 0, 9}, "half a na", false)));
    // Another sender is answered while both are still being waited for.
    EXPECT_EQ(asking(consent.port, {10, 0, 0, 1}, "quick").answer(), "1");
    EXPECT_FALSE(silent.has_news());

    EXPECT_EQ(silent.answer(), "0");
    EXPECT_EQ(partial.answer(), "0");
    EXPECT_TRUE(consent.wait_log("answer 0 to 127.0.0.1 (bad request: nothing received in time)\n"));
    EXPECT_TRUE(consent.wait_log("answer 0 to 10.0.0.9 (bad request: nothing received in time)\n"));
    EXPECT_TRUE(consent.process.running());

    // Without a display, --accept-all answers by itself. A read time-out far beyond the test's
    // limit: every refusal must come from the bytes alone.
    ASSERT_TRUE(consent.start({"--accept-all", "--read-timeout", "600"}, "127.0.0.1:0", headless));
    struct Case {
        uint8_t last;   // the sender is 127.0.0.<last>
        std::string identity;
        bool zero, half_close;
        const char *answer, *logged;
    } cases[] = {
        // No zero follows and the connection stays open: the 200th character settles it.
        {2, std::string(200, 'b'), false, false, "0", "answer 0 to 127.0.0.2 (bad request: identity too long)\n"},
        {3, std::string(5000, 'c'), true, false, "0", "answer 0 to 127.0.0.3 (bad request: identity too long)\n"},
        {4, "Ann Smith", false, true, "0", "answer 0 to 127.0.0.4 (bad request: no terminating zero)\n"},
        // And the service goes on.
        {5, "Ann Smith", true, false, "1",
         "telvane-consent: question from 127.0.0.5 'Ann Smith'\ntelvane-consent: answer 1 to 127.0.0.5 (accepted)\n"},
    };
    for (const Case &k : cases) {
        Peer peer("127.0.0.1", consent.port);
        ASSERT_TRUE(peer.send_bytes(request_bytes({127, 0, 0, k.last}, k.identity, k.zero))) << int(k.last);
        if (k.half_close) peer.half_close();
        EXPECT_EQ(peer.answer(), k.answer) << int(k.last);
        EXPECT_TRUE(consent.wait_log(k.logged)) << consent.log();
    }

    // --accept-all answers a whole request at once, so any wait is the flood's doing; and the
    // flood's connections never time out here, so only the bound on their number makes room.
    std::vector<std::unique_ptr<Peer>> flood(1000);
    // More rounds than the 8 connections an address may hold: each genuine one must free its place.
    for (int round = 1; round <= 10; ++round) {
        // 127.0.0.2 reopens each connection the service closed and begins a request on it.
        for (auto &p : flood) {
            if (p && !p->has_news()) continue;
            p = std::make_unique<Peer>("127.0.0.1", consent.port, "127.0.0.2", SOCK_NONBLOCK);
            p->send_bytes("\x7f");
        }
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(asking(consent.port, {127, 0, 0, 3}, "genuine").answer(1s), "1") << round;
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << round;
    }
    EXPECT_EQ(count_of(consent.log(), "connections from 127.0.0.2 refused: too many open\n"), 1u) << consent.log();
}

// With a display: the dialog on a private Xvfb, answered with XTEST clicks.
TEST(OnDisplay, QuestionsAreAnsweredInTurnGoWithTheirPeerAndAreRefusedByCloseStopAndTimeOut) {
    auto xvfb = XvfbServer::start();
    ASSERT_TRUE(xvfb) << "could not start Xvfb";
    DialogDriver driver(xvfb->name());
    ConsentService consent;
    ASSERT_TRUE(consent.start({"-display", xvfb->name()}));
    // The dialog once it is up, or 0 (also when the service ended); its buttons accept and refuse.
    auto dialog = [&] { return driver.wait_for_shell("consentDialog", kLimit, consent.process.exit_fd()); };
    auto answer = [&](Window shell, bool accept) {
        const Window button = shell ? driver.message_button(shell, accept ? 0 : 1) : 0;
        return button && driver.click(button);
    };

    auto first = asking(consent.port, {10, 0, 0, 1}, "Ann Smith");
    Window shell = dialog();
    ASSERT_NE(shell, 0u) << consent.err();

    Display *dpy = driver.display();
    XClassHint hint{};
    char *title = nullptr;
    ASSERT_TRUE(XGetClassHint(dpy, shell, &hint) && XFetchName(dpy, shell, &title));
    EXPECT_EQ(std::string(hint.res_class) + ": " + title, "TelvaneConsent: Telvane: Share Request");
    for (char *text : {hint.res_name, hint.res_class, title}) XFree(text);

    auto second = asking(consent.port, {10, 0, 0, 2}, "Bob");
    ASSERT_TRUE(consent.wait_log("question from 10.0.0.2 'Bob'\n"));
    EXPECT_FALSE(first.has_news()) << "answered before anyone clicked";

    // The first question is on the screen; the second is read but waits behind it.
    ASSERT_TRUE(answer(shell, true));
    EXPECT_EQ(first.answer(), "1");
    EXPECT_FALSE(viewable(dpy, shell)) << "dialog up after its answer";
    EXPECT_FALSE(second.has_news()) << "the queued question was answered with the first";

    ASSERT_TRUE(answer(dialog(), false));
    EXPECT_EQ(second.answer(), "0");

    // Closing the dialog through the window manager refuses too.
    auto third = asking(consent.port, {10, 0, 0, 3}, "Cy");
    shell = dialog();
    ASSERT_NE(shell, 0u);
    close_by_window_manager(dpy, shell);
    EXPECT_EQ(third.answer(), "0");
    EXPECT_TRUE(consent.wait_log("telvane-consent: answer 1 to 10.0.0.1 (accepted)\n"
                                 "telvane-consent: answer 0 to 10.0.0.2 (refused)\n"));
    EXPECT_TRUE(consent.wait_log("telvane-consent: answer 0 to 10.0.0.3 (refused)\n"));

    // Questions go with their peer.
    auto leaving = asking(consent.port, {10, 0, 1, 1}, "Leaving");
    ASSERT_NE(dialog(), 0u) << consent.err();
    auto waiting_leaver = asking(consent.port, {10, 0, 1, 2}, "Gives up");
    auto staying = asking(consent.port, {10, 0, 1, 3}, "Staying");
    ASSERT_TRUE(consent.wait_log("question from 10.0.1.3 'Staying'\n"));

    // One that waits in line and the one on the screen go away; the dialog goes on to the third.
    waiting_leaver.drop();
    ASSERT_TRUE(consent.wait_log("telvane-consent: peer 10.0.1.2 went away\n"));
    leaving.drop();
    ASSERT_TRUE(consent.wait_log("telvane-consent: peer 10.0.1.1 went away\n"));
    ASSERT_TRUE(answer(dialog(), true));
    EXPECT_EQ(staying.answer(), "1");
    EXPECT_TRUE(consent.wait_log("answer 1 to 10.0.1.3 (accepted)\n"));
    EXPECT_FALSE(contains(consent.log(), "answer 1 to 10.0.1.1"));
    EXPECT_FALSE(contains(consent.log(), "to 10.0.1.2"));

    // Termination refuses the question on the screen and the one behind it, and exits cleanly.
    auto shown = asking(consent.port, {10, 0, 1, 4}, "Shown");
    ASSERT_NE(dialog(), 0u) << consent.err();
    auto queued = asking(consent.port, {10, 0, 1, 5}, "Queued");
    ASSERT_TRUE(consent.wait_log("question from 10.0.1.5"));
    EXPECT_EQ(exit_code(consent.process.stop(SIGTERM, kLimit).value_or(-1)), 0) << consent.err();
    EXPECT_EQ(shown.answer(), "0");
    EXPECT_EQ(queued.answer(), "0");
    EXPECT_TRUE(contains(consent.log(), "answer 0 to 10.0.1.5 (service stopping)\n"));

    // Only a shown question can time out; a loaded machine may show and take it down before
    // this test looks, so the log is the witness rather than the window.
    ASSERT_TRUE(consent.start({"-display", xvfb->name(), "--timeout", "1"}));
    EXPECT_EQ(asking(consent.port, {127, 0, 0, 1}, "Ann Smith").answer(), "0");
    EXPECT_TRUE(consent.wait_log("answer 0 to 127.0.0.1 (timed out)\n"));
    EXPECT_EQ(driver.wait_for_shell("consentDialog", 0ms), 0u) << "dialog left up after its time-out";
}

}  // namespace
