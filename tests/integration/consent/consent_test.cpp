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

// A sender at 127.0.0.1 that has asked for `identity`, claiming to be `claim`.
Peer asking(int port, std::array<uint8_t, 4> claim, const std::string &identity, bool zero = true) {
    Peer p("127.0.0.1", port);
    EXPECT_TRUE(p.send_bytes(std::string(claim.begin(), claim.end()) + identity + std::string(zero, '\0')));
    return p;
}

// Without a display (DISPLAY unset): main's own mistakes, and silent, bad or flooding peers that
// delay nobody under --accept-all.
TEST(Headless, CommandLineMistakesFixedAnswersAndBadSilentOrFloodingPeersThatDelayNobody) {
    ScratchDir dir;
    const ChildProcess::Options headless{.env_unset = {"DISPLAY"}, .stdout_path = dir.file("out"),
                                         .stderr_path = dir.file("err")};
    const std::string program = build_path("consent/telvane-consent");
    EXPECT_EQ(run_program({program, "--accept-all", "-display", ":5"}, headless, kLimit), 2);
    EXPECT_TRUE(contains(read_file(dir.file("err")), "usage:"));
    EXPECT_EQ(run_program({program, "--listen", "127.0.0.1:0"}, headless, kLimit), 1);
    EXPECT_TRUE(contains(read_file(dir.file("err")), "cannot open display"));

    ConsentService consent;
    ASSERT_TRUE(consent.start({"--accept-all", "--read-timeout", "1"}, "127.0.0.1:0", headless));
    Peer silent("127.0.0.1", consent.port);
    auto partial = asking(consent.port, {10, 0, 0, 9}, "half a na", false);
    auto cut = asking(consent.port, {10, 0, 0, 4}, "Ann Smith", false);
    cut.half_close();
    EXPECT_EQ(asking(consent.port, {10, 0, 0, 1}, "quick").answer(), "1");
    EXPECT_FALSE(silent.has_news());
    EXPECT_EQ(cut.answer(), "0");
    EXPECT_EQ(silent.answer(), "0");
    EXPECT_EQ(partial.answer(), "0");
    EXPECT_TRUE(consent.wait_log("answer 0 to 10.0.0.4 (bad request: no terminating zero)\n"));
    EXPECT_TRUE(consent.wait_log("answer 0 to 127.0.0.1 (bad request: nothing received in time)\n"));
    EXPECT_TRUE(consent.wait_log("answer 0 to 10.0.0.9 (bad request: nothing received in time)\n"));

    // The flood's connections never time out here, so only the bound on their number makes room:
    // more rounds than the 8 connections an address may hold, each genuine one freeing its place.
    ASSERT_TRUE(consent.start({"--accept-all", "--read-timeout", "600"}, "127.0.0.1:0", headless));
    std::vector<std::unique_ptr<Peer>> flood(1000);
    for (int round = 1; round <= 10; ++round) {
        for (auto &p : flood) {   // 127.0.0.2 reopens what the service closed and begins a request
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
    Display *dpy = driver.display();
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
    XClassHint hint{};
    char *title = nullptr;
    ASSERT_TRUE(XGetClassHint(dpy, shell, &hint) && XFetchName(dpy, shell, &title));
    EXPECT_EQ(std::string(hint.res_class) + ": " + title, "TelvaneConsent: Telvane: Share Request");
    for (char *text : {hint.res_name, hint.res_class, title}) XFree(text);

    // The second question waits behind the first; each button answers its own.
    auto second = asking(consent.port, {10, 0, 0, 2}, "Bob");
    ASSERT_TRUE(consent.wait_log("question from 10.0.0.2 'Bob'\n"));
    ASSERT_TRUE(answer(shell, true));
    EXPECT_EQ(first.answer(), "1");
    EXPECT_FALSE(viewable(dpy, shell)) << "dialog up after its answer";
    EXPECT_FALSE(second.has_news()) << "the queued question was answered with the first";
    ASSERT_TRUE(answer(dialog(), false));
    EXPECT_EQ(second.answer(), "0");

    // Closing the dialog through the window manager refuses too.
    auto third = asking(consent.port, {10, 0, 0, 3}, "Cy");
    ASSERT_NE(shell = dialog(), 0u);
    close_by_window_manager(dpy, shell);
    EXPECT_EQ(third.answer(), "0");
    EXPECT_TRUE(consent.wait_log("telvane-consent: answer 0 to 10.0.0.3 (refused)\n"));

    // The shown question goes with its peer, and the dialog goes on to the next.
    auto leaving = asking(consent.port, {10, 0, 1, 1}, "Leaving");
    ASSERT_NE(dialog(), 0u) << consent.err();
    auto staying = asking(consent.port, {10, 0, 1, 3}, "Staying");
    ASSERT_TRUE(consent.wait_log("question from 10.0.1.3 'Staying'\n"));
    leaving.drop();
    ASSERT_TRUE(consent.wait_log("telvane-consent: peer 10.0.1.1 went away\n"));
    ASSERT_TRUE(answer(dialog(), true));
    EXPECT_EQ(staying.answer(), "1");

    // Termination refuses the question on the screen and the one behind it, and exits cleanly.
    auto shown = asking(consent.port, {10, 0, 1, 4}, "Shown");
    ASSERT_NE(dialog(), 0u) << consent.err();
    auto queued = asking(consent.port, {10, 0, 1, 5}, "Queued");
    ASSERT_TRUE(consent.wait_log("question from 10.0.1.5"));
    EXPECT_EQ(exit_code(consent.process.stop(SIGTERM, kLimit).value_or(-1)), 0) << consent.err();
    EXPECT_EQ(shown.answer(), "0");
    EXPECT_EQ(queued.answer(), "0");

    // Only a shown question can time out; the log, not the window, is the witness.
    ASSERT_TRUE(consent.start({"-display", xvfb->name(), "--timeout", "1"}));
    EXPECT_EQ(asking(consent.port, {127, 0, 0, 1}, "Ann Smith").answer(), "0");
    EXPECT_TRUE(consent.wait_log("answer 0 to 127.0.0.1 (timed out)\n"));
}

}  // namespace
