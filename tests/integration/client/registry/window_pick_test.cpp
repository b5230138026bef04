// Picking real windows through the real server, their sharability, and shared windows' marks.
#include <gtest/gtest.h>

#include "extension/share_events.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/share_registry.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "toolkit_fixture.h"
#include "xvfb.h"

#include <X11/keysym.h>
#include <unistd.h>

using namespace telvane::testing;

namespace {

class WindowPick : public ToolkitTest {
protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        if (HasFatalFailure()) return;
        client.emplace(server->name());
        ASSERT_TRUE(*client);
        answer_dialogs(dialogs);
    }
    void TearDown() override {
        while (first_tag) delete_tag(first_tag->tag);
        delete_all_hostatoms();
        dontShare_class = shareAlone_name = nullptr;  // the lists a test sets
        dontShare_class_count = shareAlone_name_count = 0;
        free(sending_hostname);
        sending_hostname = nullptr;
        client.reset();
        ToolkitTest::TearDown();
    }

    // Runs `act` with a person's hands (XTEST) once the pick waits, from a toolkit time-out.
    void during_pick(std::function<void(DialogDriver &)> act) {
        act_ = std::move(act);
        XtAppAddTimeOut(app_context, 20, [](XtPointer self, XtIntervalId *) {
            auto *t = static_cast<WindowPick *>(self);
            DialogDriver hands(t->server->name());
            t->act_(hands);
        }, this);
    }

    void click_during_pick(int x, int y) {
        during_pick([x, y](DialogDriver &hands) { hands.click_at(x, y); });
    }

    std::optional<OtherClient> client;
    std::vector<std::string> dialogs;  // every notice's text, answered

private:
    std::function<void(DialogDriver &)> act_;
};

class SharedWindows : public WindowPick {};

}  // namespace

TEST_F(WindowPick, NothingByKeySplitClickOrTimeOutElseTheNamedClientWindowWhichDaisyChainingTakes) {
    // A key ends the pick at once. The keyboard goes where the focus is: our own window.
    XtAddEventHandler(TopLevel, KeyPressMask, False, [](Widget, XtPointer, XEvent *, Boolean *) {}, nullptr);
    ASSERT_TRUE(pump_until([] { return viewable(XtWindow(TopLevel)); }));
    XSetInputFocus(display, XtWindow(TopLevel), RevertToPointerRoot, CurrentTime);
    during_pick([](DialogDriver &hands) { hands.press_key(XK_Escape); });
    int x = -1, y = -1;
    EXPECT_EQ(pick(10, &x, &y), 0u);
    EXPECT_EQ(pick_timeout, 0u) << "the time-out of a cancelled pick is gone";

    // Pressed on one window, released on another.
    Window first = client->window(20, 20, 100, 100, "first");
    client->window(200, 20, 100, 100, "second");
    during_pick([](DialogDriver &hands) { hands.drag(DefaultRootWindow(hands.display()), 70, 70, 250, 70); });
    EXPECT_EQ(pick(10, &x, &y), 0u);
    EXPECT_EQ(count_of(log_text(), "Window Pick - No Window was Picked"), 2u) << log_text();
    EXPECT_EQ(grab_pointer_from_another_client(), GrabSuccess) << "the pick's grab is gone";

    // Nobody clicks: the time-out wakes the pick.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pick(1, &x, &y), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
    EXPECT_TRUE(contains(log_text(), "Window Pick - Timed Out after 1 seconds"));

    // A named frame around a client window (WM_STATE): the name search starts at the client.
    Window frame = client->window(100, 100, 200, 150, "frame");
    Window managed = client->window(0, 0, 200, 150, nullptr, frame);
    Window app = client->window(10, 20, 180, 120, "editor", managed);
    client->set_text(managed, "WM_STATE", "");
    click_during_pick(150, 160);
    EXPECT_EQ(pick(10, &x, &y), app);
    EXPECT_EQ(std::pair(x, y), std::pair(150 - 100 - 10, 160 - 100 - 20));
    EXPECT_TRUE(contains(log_text(),
                         "Window Pick - Picked (" + hex(frame) + ") Translated to (" + hex(app) + ") named 'editor'"));

    // A window with no name anywhere below it.
    client->window(400, 450, 100, 100);
    click_during_pick(450, 500);
    EXPECT_EQ(pick(10, &x, &y), 0u);
    EXPECT_EQ(dialogs, (std::vector<std::string>{"No Window was Picked", "No Window was Picked",
                                                 "No window was picked in 1 seconds.\nWindow Pick Timed Out",
                                                 "No Name on this window"}));

    // Only a shared window can be passed onward.
    click_during_pick(70, 70);
    allow_daisy_chaining();
    EXPECT_EQ(dialogs.back(), "Can't Daisy-Chain before Sharing");
    EXPECT_FALSE(is_property_set_str(first, "TL_DAISY_CHAIN_ALLOWED"));
    add_window(77, 9, static_cast<uint32_t>(first), 1, 0);
    click_during_pick(70, 70);
    allow_daisy_chaining();
    EXPECT_TRUE(is_property_set_str(first, "TL_DAISY_CHAIN_ALLOWED"));

    // A title in compound text names its window.
    const Window unnamed = client->window(0, 0, 5, 5);
    EXPECT_EQ(get_window_with_name(unnamed), 0u);
    client->set_text(unnamed, "WM_NAME", "Plan \x1b%G\xe2\x80\x94\x1b%@ Q3", "COMPOUND_TEXT");
    EXPECT_EQ(get_window_with_name(unnamed), unnamed);
    EXPECT_EQ(dialogs.size(), 5u);
}

// Each mark and text read from a real window, and the rules' notices reaching log and dialogs.
TEST_F(WindowPick, SharabilityReadsEveryMarkAndTextOfARealWindow) {
    static char xterm[] = "xterm", shell[] = "shell";
    static char *classes[] = {xterm}, *names[] = {shell};
    dontShare_class = classes;
    dontShare_class_count = 1;
    shareAlone_name = names;
    shareAlone_name_count = 1;
    auto check = [&](Window w) {
        int kind = SHARE_APPLICATION;
        Window got = check_for_sharable_window(w, &kind);
        return std::pair(got, kind);
    };
    // The class is WM_CLASS's second string, the name list is matched against WM_NAME.
    Window by_class = client->window(0, 0, 50, 50, "shell");
    client->set_class(by_class, "uxterm", "xterm");
    EXPECT_EQ(check(by_class).first, 0u);
    Window panel = client->window(0, 0, 50, 50, "shell");
    client->set_text(panel, "TL_SHARE_ALONE", "");
    EXPECT_EQ(check(panel), std::pair(panel, int{SHARE_SINGLE}));
    ASSERT_EQ(dialogs.size(), 3u) << "a notice for each mark and list entry";
    EXPECT_EQ(dialogs[2], "This window is designated as SHARE-ALONE in '.Xdefault's");
    EXPECT_TRUE(contains(log_text(), "Window (" + hex(by_class) + ") designated as dontShare.class in '.Xdefault's"));

    // A received copy: refused without the daisy-chain mark, its sender kept until a local window.
    dialogs.clear();
    Window copy = client->window(0, 0, 50, 50, "[hostx] xterm [SHARED]");
    client->set_text(copy, "TL_SERVER_NAME", "hostx:0");
    EXPECT_EQ(check(copy).first, 0u);
    EXPECT_EQ(dialogs, std::vector<std::string>{"Daisy-chain NOT permitted from 'hostx:0'"});
    EXPECT_TRUE(contains(log_text(), "Window (" + hex(copy) + ") is shared from 'hostx:0'"));
    client->set_text(copy, "TL_DAISY_CHAIN_ALLOWED", "");
    EXPECT_EQ(check(copy), std::pair(copy, int{SHARE_APPLICATION}));
    EXPECT_TRUE(is_this_sender("hostx:0.0"));
    Window local = client->window(0, 0, 50, 50, "local");
    EXPECT_EQ(check(local).first, local);
    EXPECT_EQ(sending_hostname, nullptr);
    EXPECT_EQ(dialogs.size(), 1u);
}

TEST_F(SharedWindows, TitlesAreMarkedAndWatchedAndUnmarkedAgain) {
    // Our own main window is marked, but its events stay the toolkit's: unmarking it leaves
    // the property changes the toolkit selected.
    XStoreName(display, XtWindow(TopLevel), "Telvane");
    set_shared_from(XtWindow(TopLevel));
    EXPECT_EQ(title_of(XtWindow(TopLevel)), "[alpha] Telvane [SHARED]");
    unset_shared_from(XtWindow(TopLevel));
    EXPECT_TRUE(watching_titles(XtWindow(TopLevel)));

    // The program's error handler passes over a window that has gone and logs other errors.
    XMapWindow(display, 0x7ffffff0);
    XFree(XGetAtomName(display, 0x7ffffff));
    XSync(display, False);
    EXPECT_FALSE(contains(log_text(), "Error Code 3 "));
    EXPECT_TRUE(contains(log_text(), "X Error Detected.  Error Code 5  Request Code 17  'BadAtom"));

    // A renamed shared window is marked again; our own change coming back starts no other round.
    ForeignWindow editor(server->name(), "notes.txt");
    add_window(77, 9, static_cast<uint32_t>(editor.id()), 1, 0);
    set_shared_from(editor.id());
    XSync(display, False);
    editor.rename("notes.txt (modified)");
    ASSERT_TRUE(pump_until([&] { return title_of(editor.id()) == "[alpha] notes.txt (modified) [SHARED]"; }))
        << title_of(editor.id()) << log_text();
    EXPECT_EQ(title_of(editor.id(), true), "<none>") << "no _NET_WM_NAME where there was none";
    editor.rename_net("notes.txt — 2");
    ASSERT_TRUE(pump_until([&] { return title_of(editor.id(), true) == "[alpha] notes.txt — 2 [SHARED]"; }))
        << title_of(editor.id(), true) << log_text();
    EXPECT_EQ(title_of(editor.id()), "[alpha] notes.txt (modified) [SHARED]");
    // Unmarked, its titles lose our marks and its renames are no longer followed.
    unset_shared_from(editor.id());
    EXPECT_EQ(title_of(editor.id(), true), "notes.txt — 2");
    EXPECT_FALSE(watching_titles(editor.id()));

    // A browser's WM_NAME in compound text and _NET_WM_NAME in UTF-8: each marked in its own type, then given back whole.
    const std::string plan = "Plan \x1b%G\xe2\x80\x94\x1b%@ Q3", net = "Plan \xe2\x80\x94 Mozilla Firefox";
    ForeignWindow browser(server->name(), nullptr);
    browser.rename(plan.c_str(), "COMPOUND_TEXT");
    browser.rename_net(net.c_str());
    for (bool marked : {true, false}) {
        (marked ? set_shared_from : unset_shared_from)(browser.id());
        EXPECT_EQ(window_title(display, browser.id(), false, "COMPOUND_TEXT"), marked ? "[alpha] " + plan + "\x1b(B [SHARED]" : plan);
        EXPECT_EQ(title_of(browser.id(), true), marked ? "[alpha] " + net + " [SHARED]" : net);
    }

    // preventWindowTitleChange leaves titles and events alone.
    preventWindowTitleChange = 1;
    editor.rename("notes.txt");
    set_shared_from(editor.id());
    EXPECT_EQ(title_of(editor.id()), "notes.txt");
    EXPECT_FALSE(watching_titles(editor.id()));
}

// Others' daisy-chain marks stay; serverless receivers give one report.
TEST_F(SharedWindows, DaisyChainMarksAndReceiversWithoutServers) {
    ForeignWindow ours(server->name(), "ours"), theirs(server->name(), "theirs");
    set_property_str(theirs.id(), "TL_DAISY_CHAIN_ALLOWED");
    EXPECT_EQ(set_daisy_chain(theirs.id()), 1);
    EXPECT_EQ(set_daisy_chain(ours.id()), 1);
    EXPECT_EQ(unset_daisy_chain(theirs.id()), 0);
    EXPECT_TRUE(is_property_set_str(theirs.id(), "TL_DAISY_CHAIN_ALLOWED"));
    EXPECT_EQ(unset_daisy_chain(ours.id()), 1);
    EXPECT_FALSE(is_property_set_str(ours.id(), "TL_DAISY_CHAIN_ALLOWED"));

    std::string report = "No X Server running on receiver(s)";
    int n = 40000 + static_cast<int>(getpid() % 10000);  // far above other tests' servers: nobody answers
    for (int i = 0; i < 3; ++i, ++n) {
        n = find_free_display(n);
        const std::string name = "127.0.0.1:" + std::to_string(n) + ".0";
        const std::string alias = "Nobody " + std::to_string(i) + " ...... " + name;
        report += "\n" + alias;
        Atom host = create_hostatom(name.c_str(), display);
        add_hostatom(host, name.c_str(), alias.c_str(), 0);
        tlShareWindow(display, ours.id(), host, 0);
    }
    ASSERT_TRUE(pump_until([&] { return no_Xserver && count_of(no_Xserver, "\n") == 2; }, std::chrono::seconds(10)))
        << log_text();
    // Its Help button says what to do.
    std::string help;
    answer_dialogs(dialogs, [&] {
        click(help_button);
        char *text = nullptr;
        if (pump_until([] { return Msg_Help && XtIsManaged(Msg_Help); }))
            XtVaGetValues(Msg_Help, "stringData", &text, nullptr);
        help = text ? text : "";
        if (Msg_Help) XtUnmanageChild(Msg_Help);  // out of OK's way, as its Close does
        return nullptr;
    });
    process_event_messages();
    EXPECT_TRUE(contains(help, "start telvane-consent on the\nreceiver"));
    EXPECT_EQ(dialogs, std::vector<std::string>{report + "."}) << log_text();
    EXPECT_EQ(no_Xserver, nullptr);
    EXPECT_EQ(find_window(0, static_cast<uint32_t>(ours.id())), 0);
}
