// External requests in process, from telvane-request and from a raw sender the tool never is.
#include <gtest/gtest.h>

#include "core/exit.h"
#include "extension/share_events.h"
#include "external/external_requests.h"
#include "external/remote_auth.h"
#include "main_window_fixture.h"
#include "registry/host_identity.h"
#include "registry/share_registry.h"
#include "program_fixture.h"
#include "telepointer/tele_manager.h"
#include "telepointer/telepointer.h"

#include <X11/Xatom.h>
#include <arpa/inet.h>

using namespace telvane::testing;

namespace {

using Replies = std::vector<std::vector<long>>;
using HostileRun = ProgramRun;

// A program of its own on the display that sends raw requests and collects the replies.
class RawRequester {
public:
    explicit RawRequester(const std::string &name) : dpy_(XOpenDisplay(name.c_str())) {
        window = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1, 1, 0, 0, 0);
        atom = XInternAtom(dpy_, "TL_EXTERNAL_REQUEST", False);
        XSync(dpy_, False);
    }
    ~RawRequester() { XCloseDisplay(dpy_); }
    void send(Window to, long code, long w2, long w3, long w4, bool with_requester = true) {
        send_words(to, atom, 32, {code, with_requester ? static_cast<long>(window) : 0, w2, w3, w4});
    }
    // Any five words of any type and format, `times` over.
    void send_words(Window to, Atom type, int format, std::array<long, 5> words, int times = 1) {
        XEvent e{};
        e.xclient = {ClientMessage, 0, False, dpy_, to, type, format, {}};
        for (int i = 0; i < 5; ++i) e.xclient.data.l[i] = words[i];
        for (int i = 0; i < times; ++i) XSendEvent(dpy_, to, False, NoEventMask, &e);
        XSync(dpy_, False);
    }
    // The replies that have come so far, each as its five words.
    Replies &replies() {
        XSync(dpy_, False);
        XEvent e;
        while (XCheckTypedEvent(dpy_, ClientMessage, &e))
            if (e.xclient.message_type == atom) got_.push_back(std::vector<long>(e.xclient.data.l, e.xclient.data.l + 5));
        return got_;
    }
    // Replaces the requester's `property` with `n` items.
    void set_property(Atom property, Atom type, int format, const void *items, int n) {
        XChangeProperty(dpy_, window, property, type, format, PropModeReplace, static_cast<const unsigned char *>(items), n);
        XSync(dpy_, False);
    }
    Display *display() const { return dpy_; }
    Window window = 0;
    Atom atom = 0;

private:
    Display *dpy_;
    Replies got_;
};

class ExternalRequests : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        if (HasFatalFailure()) return;
        enableCommandLine = 1;
        raw.emplace(server->name());
    }
    void TearDown() override {
        raw.reset();
        initializeStatusPend();
        CLfreeAuthList(&auth_data);
        enableCommandLine = 0;
        MainWindowTest::TearDown();
    }

    ChildProcess start_request(std::vector<std::string> args) {
        args.insert(args.begin(), {build_path("request/telvane-request"), "--display", server->name()});
        ChildProcess::Options options;
        options.stdout_path = scratch.file("request.out");
        options.stderr_path = scratch.file("request.err");
        ChildProcess p = ChildProcess::start(args, options);
        EXPECT_TRUE(p);
        return p;
    }
    // Waits for a telvane-request run to end with `status` and output holding `text`; returns it.
    std::string expect_ended(ChildProcess &p, int status, const std::string &text = "") {
        EXPECT_TRUE(pump_until([&] { return !p.running(); }, std::chrono::seconds(40)));
        auto ended = p.wait_for_exit(std::chrono::seconds(5));
        const std::string out = read_file(scratch.file("request.out")) + read_file(scratch.file("request.err"));
        EXPECT_EQ(ended ? exit_code(*ended) : -1, status) << out << log_text();
        EXPECT_TRUE(contains(out, text)) << out;
        return out;
    }
    std::string expect_request(std::vector<std::string> args, int status, const std::string &text = "") {
        ChildProcess p = start_request(args);
        return expect_ended(p, status, text);
    }
    // Sends a raw request and handles events until `count` replies have come.
    Replies raw_request(long code, long w2, long w3, long w4, size_t count = 1) {
        size_t before = raw->replies().size();
        raw->send(XtWindow(TopLevel), code, w2, w3, w4);
        EXPECT_TRUE(pump_until([&] { return raw->replies().size() >= before + count; }, std::chrono::seconds(10)))
            << log_text();
        auto &all = raw->replies();
        return Replies(all.begin() + static_cast<long>(before), all.end());
    }
    std::optional<RawRequester> raw;
};

}  // namespace

TEST_F(ExternalRequests, ShareFromTheCommandLineShowsOnARealReceiverUntilLeavingUnsharesAll) {
    ForeignWindow target(server->name(), "Report", 300, 300, 160, 120);
    const std::string rx = "127.0.0.1:" + std::to_string(receiver_display->number());
    expect_request({"share-alone", "--name", "Report", rx}, 0, "status: 0");
    ASSERT_TRUE(pump_until([&] { return mirrors().size() == 1; })) << "no mirror on the receiver";
    EXPECT_EQ(rows().size(), 1u) << "the receiver joined the list";
    EXPECT_TRUE(contains(log_text(), "ADDED HOST '")) << log_text();
    // To a receiver already connected: answered at once; a second time: already shared.
    OtherClient notes_app(server->name());
    const Window notes = notes_app.window(500, 300, 100, 100, "Notes");
    notes_app.window(620, 300, 60, 60, "Palette");
    expect_request({"--json", "share", "--name", "Notes", rx}, 0, "\"status\": \"0\"");
    ASSERT_TRUE(pump_until([&] { return mirrors().size() == 3; })) << "the application's two windows";
    expect_request({"share", "--name", "Notes", rx}, 22);
    expect_request({"allow-input", rx}, 0);
    ASSERT_TRUE(pump_until([&] { return getAllowInputStatus(create_hostatom(rx.c_str(), display)) == 1; })) << trace();
    expect_request({"daisy-chain", "--name", "Notes"}, 0);
    expect_request({"status", "--name", "Notes"}, 0, "\ndaisy chain: allowed\n");
    const std::string shared =
        expect_request({"status", rx}, 0, "\ndaisy chain allowed: " + hex(notes) + "\ninput: allowed\n");
    EXPECT_TRUE(contains(shared, hex(target.id()))) << shared;
    expect_request({"status"}, 0, "\ninput " + rx + ".0: allowed\nunencrypted: " + rx + ".0\n");
    expect_request({"unshare", "--name", "Notes", rx}, 0);
    expect_request({"unshare", "--name", "Notes", rx}, 0);  // not shared: logged, still status 0
    EXPECT_TRUE(contains(log_text(), "Cannot Unshare window(" + hex(notes) + ") is not shared to"));
    expect_request({"telepointer", "delete", "--name", "Report"}, 31, "no such telepointer");

    // Share-same with a second receiver: a reply for each receiver and no final one.
    std::optional<XvfbServer> second = XvfbServer::start();
    ASSERT_TRUE(second);
    const long sharing = create_hostatom(rx.c_str(), display), joining = add_row(second->tcp_name() + ".0", "Second");
    EXPECT_EQ(raw_request(15, sharing, joining, 0, 2), (Replies{{sharing, 0, 0, 0, 0}, {joining, 0, 0, 0, 0}}));
    EXPECT_TRUE(pump_until([&] { return mirror_windows(second->name()).size() == 1; }));

    // Leaving unshares everything. A share the server knows nothing of has a receiver that never
    // answers: it is asked once more, then forgotten.
    const std::string silent_name = "10.99.99.99:5.0", asked = "REQUEST unshare ALL windows from '";
    Atom silent = XInternAtom(display, silent_name.c_str(), False);
    add_hostatom(silent, silent_name.c_str(), "Silent", 0);
    add_window(static_cast<uint32_t>(silent), 4242, static_cast<uint32_t>(target.id()), 1, 0);
    exit_cleanup_windows();
    EXPECT_EQ(first_tag, nullptr) << "every record is gone, answered or not";
    EXPECT_EQ(count_of(log_text(), asked + receiver_name() + "'\n"), 1u) << log_text();
    EXPECT_TRUE(in_order(log_text(), {asked + silent_name + "'\n", asked + silent_name + "' AGAIN"}));
    EXPECT_EQ(count_of(log_text(), "AGAIN"), 1u) << log_text();
    EXPECT_TRUE(pump_until([&] { return mirrors().empty() && mirror_windows(second->name()).empty(); }));
}

TEST_F(ExternalRequests, RefusalsCodesAndWhatIsNotAnswered) {
    // Unknown codes, requester 0, disabled requests.
    for (long code : {16L, 19L, 9L, 28L}) EXPECT_EQ(raw_request(code, 0, 0, 0)[0][2], 69) << code;
    const size_t answered = count_of(log_text(), "sendStatusMessage(");
    raw->send(XtWindow(TopLevel), 26, 0, 0, 0, false);
    ASSERT_TRUE(pump_until([&] { return count_of(log_text(), "Process Ext Cmd:([26]") == 1; }));
    EXPECT_EQ(count_of(log_text(), "sendStatusMessage("), answered) << "requester 0 was answered";
    enableCommandLine = 0;
    raw->send(XtWindow(TopLevel), 26, 0, 0, 0);
    EXPECT_FALSE(pump_until([&] { return raw->replies().size() > 4; }, std::chrono::milliseconds(300)))
        << "a disabled interface gave a reply";
    EXPECT_EQ(count_of(log_text(), "Process Ext Cmd:([26]"), 1u) << "the disabled one was dropped";
    // The main window says so (not a dialog's shell of its class), and the tool tells a script at once.
    create_MatchFiles();
    publish_request_state();
    expect_request({"pick"}, 5, "does not take requests; start it with `Telvane.enableCommandLine: 1`");
    enableCommandLine = 1;
    publish_request_state();

    // Daisy chain and input changes need something shared; 21 sets logging on and 5.0 s.
    ForeignWindow lone(server->name(), "Lone");
    EXPECT_EQ(raw_request(22, static_cast<long>(lone.id()), 0, 0)[0][2], 49);
    EXPECT_EQ(raw_request(20, 1, static_cast<long>(XInternAtom(display, "127.0.0.1:77.0", False)), 0)[0][2], 42);
    EXPECT_EQ(raw_request(23, static_cast<long>(lone.id()), -1, 0)[0][2], 30);
    EXPECT_EQ(raw_request(27, static_cast<long>(lone.id()), 0, 0)[0][2], 24);
    EXPECT_EQ(raw_request(21, 0, 0, 0x1 | 0x4 | (50L << 16))[0][2], 0);
    EXPECT_TRUE(contains(log_text(), "REMOTE set delay time to '5.0' '5.0'"));
    // The delay reaches the server, in milliseconds; off and on together turn logging on.
    EXPECT_TRUE(contains(trace(), "name=SetInputDelay length=4 bytes=16 arg1=0x00001388"));
    user_preference.dialog_level = 2;
    EXPECT_EQ(raw_request(21, 0, 0, 0x2 | 0x4)[0][2], 0);
    EXPECT_EQ(user_preference.dialog_level, 4);
    // Off alone gives back the level logging on replaced.
    EXPECT_EQ(raw_request(21, 0, 0, 0x2)[0][2], 0);
    EXPECT_EQ(user_preference.dialog_level, 2);
    user_preference.dialog_level = 4;

    // Share-same to a known receiver and one with no name; with w3 = -1 the property lists them.
    const long known = add_row(receiver_name(), "Receiver One");
    const long unknown = XInternAtom(display, "10.99.99.99:5.0", False);
    Replies each{{unknown, 0, 40, 0, 0}, {known, 0, 61, 0, 0}};
    EXPECT_EQ(raw_request(15, known, unknown, 0, 3), (Replies{each[0], each[1], {unknown, known, 40, 0, 0}}));
    const long listed[] = {unknown, known};
    raw->set_property(raw->atom, XA_ATOM, 32, listed, 2);
    each.push_back({-1, 5, 40, 0, 0});
    EXPECT_EQ(raw_request(15, 5, -1, 0, 3), each);

    // A failed share answers its waiting requester with the event's status and detail.
    const Atom far = XInternAtom(display, "10.99.99.98:0.0", False);
    for (auto [status, detail, code] : {std::tuple{1, 2u, 13L}, {10, 0u, 16L}, {12, 0u, 17L}}) {
        saveStatusMessage(static_cast<uint32_t>(raw->window), static_cast<uint32_t>(far), 0);
        TelvaneEvent e{0, 0, False, nullptr, 0, static_cast<unsigned>(far), status, 0, detail, {}};
        const size_t before = raw->replies().size();
        processTelvaneEvent(reinterpret_cast<XEvent *>(&e));
        ASSERT_TRUE(pump_until([&] { return raw->replies().size() > before; }));
        EXPECT_EQ(raw->replies()[before][2], code) << "status " << status << " detail " << detail;
    }

    // An illegal receiver name is refused before its message waits for the user's OK.
    raw->set_property(unknown, XA_STRING, 8, "127.0.0.2:2O2", 13);
    bool refused_first = false;
    when_dialog_up([&] {
        refused_first = raw->replies().back() == std::vector<long>{unknown, static_cast<long>(lone.id()), 40, 0, 0} &&
                        dialog_text() == "Illegal Display Name '127.0.0.2:2O2'";
        click(ok_button);
    });
    EXPECT_EQ(raw_request(13, static_cast<long>(lone.id()), unknown, 0)[0][2], 40);
    EXPECT_TRUE(refused_first);

    // Access checks: refused before any file is loaded; a deleted file keeps the list loaded.
    const long loopback = static_cast<long>(inet_addr("127.0.0.1"));
    EXPECT_EQ(raw_request(10, 1204, loopback, 0)[0], (std::vector<long>{0, 1, 0, 0, 0})) << "refused; the window shows";
    EXPECT_TRUE(contains(log_text(), "REMOTE Access 'DENIED', UID(1204)"));
    EXPECT_TRUE(contains(log_text(), "sendStatusMessage([0][1][0][0][0])"));
    write_file(scratch.file(".Telvane/.cmd_access"), "1204 127.0.0.1\n");
    expect_request({"reload-access"}, 0);
    expect_request({"access", "1204", "127.0.0.1"}, 0);
    expect_request({"access", "1205", "127.0.0.1"}, 1);
    unlink(scratch.file(".Telvane/.cmd_access").c_str());
    expect_request({"reload-access"}, 7);
    EXPECT_EQ(raw_request(10, 1204, loopback, 0)[0][0], 1);
}

// Selected receivers come in the reply's words up to five, else in the requester's property.
TEST_F(ExternalRequests, SelectedReceiversAndAReplyThatWaitsForTheUsersOkIsLateNotLost) {
    EXPECT_EQ(raw_request(12, 0, 0, 0)[0][2], 41);
    std::vector<long> hosts;
    for (int i = 1; i <= 6; ++i) hosts.push_back(add_row("127.0.0.2:" + std::to_string(80 + i) + ".0", "R" + std::to_string(i)));
    select_rows({1, 2, 3, 4, 5});
    EXPECT_EQ(raw_request(12, 0, 0, 0)[0], (std::vector<long>(hosts.begin(), hosts.begin() + 5)));
    select_rows({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(raw_request(12, 0, 0, 0)[0], (std::vector<long>(5, -1)));
    expect_request({"receivers"}, 0, "127.0.0.2:86.0");

    // A received copy without daisy chaining: the refusal (23) is shown before it is answered.
    ForeignWindow copy(server->name(), "Copy");
    XChangeProperty(display, copy.id(), XInternAtom(display, "TL_SERVER_NAME", False), XA_STRING, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char *>("hosta"), 5);
    ChildProcess late = start_request({"--timeout", "1", "share-alone", hex(copy.id()), receiver_name()});
    std::vector<std::string> texts;
    // OK is pressed only once the tool has given up.
    answer_dialogs(texts, [&] { return late.wait_for_exit(std::chrono::seconds(10)), nullptr; });
    ASSERT_TRUE(pump_until([&] { return !texts.empty(); }, std::chrono::seconds(20)));
    expect_ended(late, 4, "no reply yet: Telvane may be showing a message to its user");
    expect_request({"--wait-for-user", "--json", "share-alone", hex(copy.id()), receiver_name()}, 23, "\"status\": \"23\"");
    EXPECT_EQ(texts.size(), 2u);
}

// Telepointers by command line (random words for every command are the fuzz target's).
TEST_F(ExternalRequests, TelepointersByCommandLine) {
    InitTelepointer(display, XtWindow(TopLevel), 0, 0);
    std::vector<std::string> texts;
    answer_dialogs(texts);
    ForeignWindow target(server->name(), "Board", 300, 300, 200, 150);
    Atom host = add_row(receiver_name(), "Receiver One");
    share(target.id(), host);
    const std::string added = expect_request({"telepointer", "add", "--name", "Board"}, 0);
    ASSERT_TRUE(first_tele);
    const Window earliest = first_tele->window;
    EXPECT_TRUE(contains(added, "telepointer: " + hex(earliest)));
    EXPECT_EQ((std::pair{first_tele->x, first_tele->y}), (std::pair{100, 75})) << "the window's centre";
    // Two ids come in the reply's words; a delete without a place takes the earliest alone.
    expect_request({"telepointer", "add", "--name", "Board", "20", "20"}, 0);
    const std::string listed = expect_request({"telepointer", "list", "--name", "Board"}, 0, hex(earliest));
    EXPECT_TRUE(contains(listed, hex(first_tele->window))) << listed;
    expect_request({"telepointer", "delete", "--name", "Board"}, 0);
    EXPECT_TRUE(pump_until([&] { return first_tele && !first_tele->next && first_tele->window != earliest; }));
    // Four ids or more go into the requester's property, after what it held.
    for (int i = 0; i < 3; ++i) expect_request({"telepointer", "add", "--name", "Board"}, 0);
    const long held = 0x1234;
    raw->set_property(raw->atom, XA_WINDOW, 32, &held, 1);
    EXPECT_EQ(raw_request(25, static_cast<long>(target.id()), 0, 0)[0][0], -1);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *ids = nullptr;
    XGetWindowProperty(raw->display(), raw->window, raw->atom, 0, 100, False, XA_WINDOW, &type, &format, &items, &after, &ids);
    EXPECT_EQ(items, 5u);
    EXPECT_EQ(ids ? reinterpret_cast<long *>(ids)[0] : 0, held);
    XFree(ids);
    // Nothing that near: the manager's refusal is told to nobody, the requester had status 0.
    expect_request({"telepointer", "delete", "--name", "Board", "1150", "1140"}, 0);
    expect_request({"telepointer", "delete", "--name", "Board", "--all"}, 0);
    EXPECT_TRUE(pump_until([] { return first_tele == nullptr; })) << "all four deleted";
    EXPECT_EQ(telepointer_message, 0);
}

// Hostile messages: telvane survives, frees the pointer, stays small, and never ends unsaid.
TEST_F(HostileRun, MessagesOfAnyClientNeitherCrashNorHoldNorEndItUnsaid) {
    ForeignWindow report(server->name(), "Report", 300, 300, 160, 120);
    RawRequester raw(server->name());
    Display *dpy = raw.display();
    const Atom request = raw.atom, tele = XInternAtom(dpy, "TELEPOINT_REQ", False);
    auto replies = [&](size_t n) { return eventually([&] { return raw.replies().size() >= n; }) ? n : raw.replies().size(); };
    // An unknown command's reply after everything sent shows it all handled.
    auto settled = [&] {
        const size_t n = raw.replies().size() + 1;
        raw.send(main_shell, 69, 0, 0, 0);
        return replies(n) == n && raw.replies().back()[2] == 69;
    };
    const std::pair<const char *, std::function<void()>> rows[] = {
        {"1,000 picks in a burst", [&] {
             raw.send_words(main_shell, request, 32, {11, static_cast<long>(raw.window), 0, 0, 0}, 1000);
             ASSERT_EQ(replies(999), 999u) << log();
             ASSERT_TRUE(driver->click(report.id()));
             ASSERT_EQ(replies(1000), 1000u);
             EXPECT_EQ(std::count_if(raw.replies().begin(), raw.replies().end(), [](auto &r) { return r[2] == 20; }), 999);
             EXPECT_EQ(raw.replies().back(), (std::vector<long>{0, static_cast<long>(report.id()), 0, 80, 60}))
                 << "the first pick picked, at the point clicked";
             EXPECT_EQ(try_pointer_grab(dpy), GrabSuccess) << "the pick's grab is gone";
         }},
        {"formats 8 and 16, a forged DestroyNotify of the main window", [&] {
             for (int format : {8, 16, 8}) raw.send_words(main_shell, request, format, {26, static_cast<long>(raw.window)});
             raw.send_words(main_shell, tele, 16, {8, 0, 0, 0, 1});
             XEvent e{};
             e.xdestroywindow = {DestroyNotify, 0, True, dpy, 0x1234, main_shell};
             XSendEvent(dpy, main_shell, False, NoEventMask, &e);
             ASSERT_TRUE(settled()) << log();
             EXPECT_EQ(raw.replies().size(), 1u);
             EXPECT_EQ(count_of(log(), "Client message of format"), 1u) << log();
         }},
        {"20,000 telepointers for a window nobody shares", [&] {
             // In bursts of 500: Xlib's event queue keeps its peak, which the first half sets.
             long before = 0;
             for (int i = 0; i < 80; ++i) {
                 if (i == 40) before = resident_kb(telvane.pid());
                 raw.send_words(main_shell, tele, 32, {3, static_cast<long>(report.id()), 1, 1, 1}, 500);
                 ASSERT_TRUE(settled());
             }
             EXPECT_LT(resident_kb(telvane.pid()) - before, 300) << "kB grown";
             EXPECT_FALSE(contains(log(), "Telepointer ACK - Created"));
         }},
        {"the telepointer manager told to stop", [&] {
             share("Report");
             ASSERT_TRUE(mirrors_become(1));
             raw.send_words(main_shell, tele, 32, {8, 0, 0, 0, 1});
             EXPECT_EQ(exit_status(), 0);
             EXPECT_TRUE(mirrors_become(0));
             EXPECT_TRUE(in_order(log(), {"REQUEST unshare ALL windows from '" + rx() + "'", "Exiting Telvane ..... Done"}));
         }},
        {"the display gone", [&] {
             XKillClient(dpy, main_shell);
             XSync(dpy, False);
             EXPECT_NE(exit_status(), 0);
             EXPECT_TRUE(contains(log(), "connection lost"));
         }},
    };
    for (const auto &[what, act] : rows) {
        SCOPED_TRACE(what);
        // One run serves every row until one ends it.
        if (!telvane.running()) {
            remove(scratch.file(".Telvane/.logfile").c_str());
            // A sanitizer build keeps freed memory aside; the flood row wants it used again at once.
            start({{"ASAN_OPTIONS", "detect_leaks=0:quarantine_size_mb=0"}});
            if (HasFatalFailure()) return;
        }
        raw.replies().clear();
        act();
        if (HasFatalFailure()) return;
    }
}
