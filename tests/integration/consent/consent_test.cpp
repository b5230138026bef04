// telvane-consent as a sender meets it: real processes, real sockets, and a private Xvfb on
// which the dialog is answered by clicking, as a person would.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include <gtest/gtest.h>

#include "dialog_driver.h"
#include "process.h"
#include "sockets.h"
#include "x_probe.h"
#include "xvfb.h"

#include <csignal>
#include <poll.h>
#include <regex>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

using namespace telvane::testing;
using namespace std::chrono_literals;

namespace {

// Generous limits: they bound a failing test, a passing one never waits for them.
constexpr auto kLimit = 15s;

std::string request_bytes(std::array<uint8_t, 4> sender, const std::string &identity, bool zero = true) {
    std::string bytes(sender.begin(), sender.end());
    bytes += identity;
    if (zero) bytes += '\0';
    return bytes;
}

// One telvane-consent process listening on 127.0.0.1 on a free port, its output in files.
class ConsentRun {
public:
    // Starts the service with `args` and waits for its "listening on" line.
    testing::AssertionResult start(std::vector<std::string> args, ChildProcess::Options options = {}) {
        // No link port: the machine's own 34591 is not a test's to take.
        args.insert(args.begin(),
                    {build_path("consent/telvane-consent"), "--listen", "127.0.0.1:0", "--link-listen", "off"});
        options.stdout_path = dir_.file("out");
        options.stderr_path = dir_.file("err");
        std::remove(options.stdout_path.c_str());   // a restart must not read the last run's port
        process = ChildProcess::start(args, options);
        if (!process) return testing::AssertionFailure() << "could not start telvane-consent";
        if (!wait_for_text(dir_.file("out"), "listening on 127.0.0.1:", kLimit))
            return testing::AssertionFailure() << "no listening line; stderr:\n" << err();
        std::smatch m;
        std::string out = log();
        if (!std::regex_search(out, m, std::regex("telvane-consent: listening on 127\\.0\\.0\\.1:([0-9]+)\n")))
            return testing::AssertionFailure() << "malformed listening line:\n" << out;
        port = std::stoi(m[1]);
        return port > 0 ? testing::AssertionSuccess() : testing::AssertionFailure() << "port 0 printed";
    }

    std::string log() const { return read_file(dir_.file("out")); }
    std::string err() const { return read_file(dir_.file("err")); }
    bool wait_log(const std::string &text) { return wait_for_text(dir_.file("out"), text, kLimit); }

    ChildProcess process;
    int port = 0;

private:
    ScratchDir dir_;
};

// A sender's side of one connection, from 127.0.0.<from>; SOCK_NONBLOCK in `flags` connects later.
class Peer {
public:
    explicit Peer(int port, uint8_t from = 1, int flags = 0)
        : fd_(tcp_connect("127.0.0." + std::to_string(from), "127.0.0.1", port, flags)) {}
    ~Peer() { drop(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;
    explicit operator bool() const { return fd_ >= 0; }

    bool send_bytes(const std::string &bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    void half_close() { shutdown(fd_, SHUT_WR); }
    void drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    // Everything the service sends until it closes the connection; nothing when it has not
    // closed within `limit`.
    std::optional<std::string> answer(std::chrono::milliseconds limit = kLimit) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char buf[64];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return got;
            got.append(buf, static_cast<std::size_t>(n));
        }
    }

    // Whether the service has sent or closed anything yet, without waiting.
    bool has_news() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

private:
    int fd_ = -1;
};

// ---------------------------------------------------------------------------------------------
// Without a display: fixed answers and bad requests. DISPLAY is unset, so a service that tried
// to open one would fail to start.

class Headless : public ::testing::Test {
protected:
    testing::AssertionResult start(std::vector<std::string> args) {
        ChildProcess::Options o;
        o.env_unset = {"DISPLAY"};
        return consent.start(std::move(args), o);
    }
    ConsentRun consent;
};

TEST_F(Headless, AnswersWithoutADisplayAndRefusesBadSilentAndFloodingPeersWithoutDelayingOthers) {
    ASSERT_TRUE(start({"--refuse-all"}));
    Peer refused(consent.port);
    ASSERT_TRUE(refused.send_bytes(request_bytes({10, 1, 2, 3}, "ann@desk")));
    EXPECT_EQ(refused.answer(), "0");
    EXPECT_TRUE(consent.wait_log("telvane-consent: question from 10.1.2.3 'ann@desk'\n"
                                 "telvane-consent: answer 0 to 10.1.2.3 (refused)\n"));

    // Silent peers are refused in time and block nobody.
    ASSERT_TRUE(start({"--accept-all", "--read-timeout", "1"}));
    Peer silent(consent.port);
    Peer partial(consent.port);
    ASSERT_TRUE(silent && partial);
    ASSERT_TRUE(partial.send_bytes(request_bytes({10, 0, 0, 9}, "half a na", false)));
    // Another sender is answered while both are still being waited for.
    Peer quick(consent.port);
    ASSERT_TRUE(quick.send_bytes(request_bytes({10, 0, 0, 1}, "quick")));
    EXPECT_EQ(quick.answer(), "1");
    EXPECT_FALSE(silent.has_news());

    EXPECT_EQ(silent.answer(), "0");
    EXPECT_EQ(partial.answer(), "0");
    EXPECT_TRUE(consent.wait_log("answer 0 to 127.0.0.1 (bad request: nothing received in time)\n"));
    EXPECT_TRUE(consent.wait_log("answer 0 to 10.0.0.9 (bad request: nothing received in time)\n"));

    Peer later(consent.port);
    ASSERT_TRUE(later.send_bytes(request_bytes({10, 0, 0, 2}, "later")));
    EXPECT_EQ(later.answer(), "1");
    EXPECT_TRUE(consent.process.running());

    // Without a display, --accept-all answers by itself. A read time-out far beyond the test's
    // limit: every refusal must come from the bytes alone.
    ASSERT_TRUE(start({"--accept-all", "--read-timeout", "600"}));
    struct Case {
        uint8_t last;   // the sender is 127.0.0.<last>
        std::string identity;
        bool zero, half_close;
        const char *answer, *logged;
    } cases[] = {
        {1, std::string(199, 'a'), true, false, "1", "answer 1 to 127.0.0.1 (accepted)\n"},
        // No zero follows and the connection stays open: the 200th character settles it.
        {2, std::string(200, 'b'), false, false, "0", "answer 0 to 127.0.0.2 (bad request: identity too long)\n"},
        {3, std::string(5000, 'c'), true, false, "0", "answer 0 to 127.0.0.3 (bad request: identity too long)\n"},
        {4, "Ann Smith", false, true, "0", "answer 0 to 127.0.0.4 (bad request: no terminating zero)\n"},
        // And the service goes on.
        {5, "Ann Smith", true, false, "1",
         "telvane-consent: question from 127.0.0.5 'Ann Smith'\ntelvane-consent: answer 1 to 127.0.0.5 (accepted)\n"},
    };
    for (const Case &k : cases) {
        Peer peer(consent.port);
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
            p = std::make_unique<Peer>(consent.port, 2, SOCK_NONBLOCK);
            p->send_bytes("\x7f");
        }
        auto asked = std::chrono::steady_clock::now();
        Peer genuine(consent.port, 3);
        ASSERT_TRUE(genuine.send_bytes(request_bytes({127, 0, 0, 3}, "genuine"))) << "its connection never taken";
        EXPECT_EQ(genuine.answer(1s), "1") << round;
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << round;
    }
    EXPECT_EQ(count_of(consent.log(), "connections from 127.0.0.2 refused: too many open\n"), 1u) << consent.log();
}

TEST(CommandLine, UsageAndFailures) {
    auto run = [](std::vector<std::string> args, std::string *out, std::string *err) {
        ScratchDir dir;
        args.insert(args.begin(), build_path("consent/telvane-consent"));
        ChildProcess::Options o;
        o.stdout_path = dir.file("out");
        o.stderr_path = dir.file("err");
        o.env_unset = {"DISPLAY"};
        const int code = run_program(args, o, kLimit);
        *out = read_file(dir.file("out"));
        *err = read_file(dir.file("err"));
        return code;
    };
    // --help and --version are the install tests' business.
    std::string out, err;
    // Option mistakes in general are the unit tests' business; these are main's own.
    for (std::vector<std::string> args : {std::vector<std::string>{"--bogus"}, {"--accept-all", "-display", ":5"}}) {
        EXPECT_EQ(run(args, &out, &err), 2) << args.front();
        EXPECT_NE(err.find("usage:"), std::string::npos) << args.front();
        EXPECT_TRUE(out.empty()) << out;
    }

    // Asking needs a display; without one the service says so instead of listening.
    EXPECT_EQ(run({"--listen", "127.0.0.1:0"}, &out, &err), 1);
    EXPECT_NE(err.find("cannot open display"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------------------------
// With a display: the dialog on a private Xvfb, answered with XTEST clicks.

class OnDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        auto server = XvfbServer::start();
        ASSERT_TRUE(server) << "could not start Xvfb";
        xvfb_.emplace(std::move(*server));
        driver_ = std::make_unique<DialogDriver>(xvfb_->name());
        ASSERT_TRUE(*driver_);
    }

    testing::AssertionResult start(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"-display", xvfb_->name()});
        return consent.start(std::move(args));
    }

    // The dialog once it is up, or 0 (also when the service ended).
    Window dialog() { return driver_->wait_for_shell("consentDialog", kLimit, consent.process.exit_fd()); }
    Window accept_button(Window shell) { return driver_->message_button(shell, 0); }
    Window refuse_button(Window shell) { return driver_->message_button(shell, 1); }
    bool click(Window w) { return w && driver_->click(w); }
    bool mapped(Window w) {
        XWindowAttributes a{};
        return XGetWindowAttributes(driver_->display(), w, &a) && a.map_state == IsViewable;
    }

    std::optional<XvfbServer> xvfb_;
    std::unique_ptr<DialogDriver> driver_;
    ConsentRun consent;
};

TEST_F(OnDisplay, QuestionsAreAnsweredInTurnByClicksAndAWindowManagerCloseRefuses) {
    ASSERT_TRUE(start());
    Peer first(consent.port);
    ASSERT_TRUE(first.send_bytes(request_bytes({10, 0, 0, 1}, "Ann Smith")));
    Window shell = dialog();
    ASSERT_NE(shell, 0u) << consent.err();

    Display *dpy = driver_->display();
    XClassHint hint{};
    ASSERT_TRUE(XGetClassHint(dpy, shell, &hint));
    EXPECT_STREQ(hint.res_class, "TelvaneConsent");
    XFree(hint.res_name);
    XFree(hint.res_class);
    char *title = nullptr;
    ASSERT_TRUE(XFetchName(dpy, shell, &title));
    EXPECT_STREQ(title, "Telvane: Share Request");
    XFree(title);

    Peer second(consent.port);
    ASSERT_TRUE(second.send_bytes(request_bytes({10, 0, 0, 2}, "Bob")));
    ASSERT_TRUE(consent.wait_log("question from 10.0.0.2 'Bob'\n"));
    EXPECT_FALSE(first.has_news()) << "answered before anyone clicked";

    // The first question is on the screen; the second is read but waits behind it.
    ASSERT_TRUE(click(accept_button(shell)));
    EXPECT_EQ(first.answer(), "1");
    EXPECT_FALSE(mapped(shell)) << "dialog still up after its answer";
    EXPECT_FALSE(second.has_news()) << "the queued question was answered with the first";

    shell = dialog();
    ASSERT_NE(shell, 0u);
    ASSERT_TRUE(click(refuse_button(shell)));
    EXPECT_EQ(second.answer(), "0");

    // Closing the dialog through the window manager refuses too.
    Peer third(consent.port);
    ASSERT_TRUE(third.send_bytes(request_bytes({10, 0, 0, 3}, "Cy")));
    shell = dialog();
    ASSERT_NE(shell, 0u);
    close_by_window_manager(dpy, shell);
    EXPECT_EQ(third.answer(), "0");
    EXPECT_TRUE(consent.wait_log("telvane-consent: answer 1 to 10.0.0.1 (accepted)\n"
                                 "telvane-consent: answer 0 to 10.0.0.2 (refused)\n"));
    EXPECT_TRUE(consent.wait_log("telvane-consent: answer 0 to 10.0.0.3 (refused)\n"));
    EXPECT_TRUE(consent.process.running());
}

TEST_F(OnDisplay, QuestionsGoWithTheirPeerAreRefusedWhenTheServiceStopsAndTimeOut) {
    ASSERT_TRUE(start());
    Peer leaving(consent.port), waiting_leaver(consent.port), staying(consent.port);
    ASSERT_TRUE(leaving.send_bytes(request_bytes({10, 0, 0, 1}, "Leaving")));
    ASSERT_NE(dialog(), 0u) << consent.err();
    ASSERT_TRUE(waiting_leaver.send_bytes(request_bytes({10, 0, 0, 2}, "Gives up")));
    ASSERT_TRUE(staying.send_bytes(request_bytes({10, 0, 0, 3}, "Staying")));
    ASSERT_TRUE(consent.wait_log("question from 10.0.0.3 'Staying'\n"));

    // One that waits in line and the one on the screen go away; the dialog goes on to the third.
    waiting_leaver.drop();
    ASSERT_TRUE(consent.wait_log("telvane-consent: peer 10.0.0.2 went away\n"));
    leaving.drop();
    ASSERT_TRUE(consent.wait_log("telvane-consent: peer 10.0.0.1 went away\n"));
    Window shell = dialog();
    ASSERT_NE(shell, 0u);
    ASSERT_TRUE(click(accept_button(shell)));
    EXPECT_EQ(staying.answer(), "1");
    EXPECT_TRUE(consent.wait_log("answer 1 to 10.0.0.3 (accepted)\n"));
    std::string log = consent.log();
    EXPECT_EQ(log.find("answer 1 to 10.0.0.1"), std::string::npos);
    EXPECT_EQ(log.find("to 10.0.0.2"), std::string::npos);

    // Termination refuses the question on the screen and the one behind it, and exits cleanly.
    Peer shown(consent.port), queued(consent.port);
    ASSERT_TRUE(shown.send_bytes(request_bytes({10, 0, 0, 4}, "Shown")));
    ASSERT_NE(dialog(), 0u) << consent.err();
    ASSERT_TRUE(queued.send_bytes(request_bytes({10, 0, 0, 5}, "Queued")));
    ASSERT_TRUE(consent.wait_log("question from 10.0.0.5"));
    auto status = consent.process.stop(SIGTERM, kLimit);
    ASSERT_TRUE(status);
    EXPECT_EQ(exit_code(*status), 0) << consent.err();
    EXPECT_EQ(shown.answer(), "0");
    EXPECT_EQ(queued.answer(), "0");
    EXPECT_NE(consent.log().find("answer 0 to 10.0.0.5 (service stopping)\n"), std::string::npos);

    // Only a shown question can time out; a loaded machine may show and take it down before
    // this test looks, so the log is the witness rather than the window.
    ASSERT_TRUE(start({"--timeout", "1"}));
    Peer peer(consent.port);
    ASSERT_TRUE(peer.send_bytes(request_bytes({127, 0, 0, 1}, "Ann Smith")));
    EXPECT_EQ(peer.answer(), "0");
    EXPECT_TRUE(consent.wait_log("answer 0 to 127.0.0.1 (timed out)\n"));
    EXPECT_EQ(driver_->wait_for_shell("consentDialog", 0ms), 0u) << "dialog left up after its time-out";
}

}  // namespace
