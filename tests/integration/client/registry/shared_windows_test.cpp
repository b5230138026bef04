// Shared windows in process behind the real telvane-server: title and daisy-chain marks and
// dialog owners on real windows, and failures the server reports gathered into one report.
#include <gtest/gtest.h>

#include "extension/share_events.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/share_registry.h"
#include "registry/window_properties.h"
#include "other_client.h"
#include "toolkit_fixture.h"
#include "xvfb.h"

#include <X11/Xatom.h>
#include <unistd.h>

using namespace telvane::testing;

namespace {

class SharedWindows : public ToolkitTest {
protected:
    void TearDown() override {
        while (first_tag) delete_tag(first_tag->tag);
        delete_all_hostatoms();
        ToolkitTest::TearDown();
    }
};

}  // namespace

TEST_F(SharedWindows, TitlesAreMarkedAndWatchedAndUnmarkedAgain) {
    ForeignWindow plain(server->name(), "xterm");
    plain.rename_net("xterm — é");
    set_shared_from(plain.id());
    EXPECT_EQ(title_of(plain.id()), "[alpha] xterm [SHARED]");
    EXPECT_EQ(title_of(plain.id(), true), "[alpha] xterm — é [SHARED]");
    EXPECT_TRUE(watching_titles(plain.id()));
    unset_shared_from(plain.id());
    EXPECT_EQ(title_of(plain.id()), "xterm");
    EXPECT_EQ(title_of(plain.id(), true), "xterm — é");
    EXPECT_FALSE(watching_titles(plain.id()));

    // Our own main window is never put under watch.
    XStoreName(display, XtWindow(TopLevel), "Telvane");
    XWindowAttributes before{};
    XGetWindowAttributes(display, XtWindow(TopLevel), &before);
    set_shared_from(XtWindow(TopLevel));
    EXPECT_EQ(title_of(XtWindow(TopLevel)), "[alpha] Telvane [SHARED]");
    XWindowAttributes after{};
    XGetWindowAttributes(display, XtWindow(TopLevel), &after);
    EXPECT_EQ(after.your_event_mask, before.your_event_mask) << "the toolkit's own selection stays";
    EXPECT_TRUE(is_own_window(XtWindow(TopLevel)));
    EXPECT_FALSE(is_own_window(plain.id()));

    EXPECT_TRUE(contains(log_text(), "SET select-input (PropertyChangeMask) on window (0x"));
    EXPECT_TRUE(contains(log_text(), "UNSET select-input  on window (0x"));

    // The program's error handler passes over a window that has gone and logs other errors.
    XMapWindow(display, 0x7ffffff0);
    XFree(XGetAtomName(display, 0x7ffffff));
    XSync(display, False);
    EXPECT_FALSE(contains(log_text(), "Error Code 3 "));
    EXPECT_TRUE(contains(log_text(), "X Error Detected.  Error Code 5  Request Code 17  'BadAtom"));

    // A client renames a shared window: its title is marked again, our own change comes back as
    // an event too and must not start another round.
    size_t logged = log_text().size();
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
    editor.rename("[alpha] by hand");
    pump_until([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(title_of(editor.id()), "[alpha] by hand");
    EXPECT_EQ(count_of(log_text().substr(logged), "SET shared-from (WM_NAME change)"), 3u) << log_text();
    EXPECT_TRUE(contains(log_text(), "Detected WM_NAME change on window (0x"));

    // preventWindowTitleChange leaves titles and events alone.
    preventWindowTitleChange = 1;
    logged = log_text().size();
    ForeignWindow clock(server->name(), "xclock");
    add_window(77, 9, static_cast<uint32_t>(clock.id()), 1, 0);
    set_shared_from(clock.id());
    EXPECT_EQ(title_of(clock.id()), "xclock");
    EXPECT_FALSE(watching_titles(clock.id()));
    clock.rename("[alpha] xclock [SHARED]");
    unset_shared_from(clock.id());
    EXPECT_EQ(title_of(clock.id()), "[alpha] xclock [SHARED]");
    EXPECT_FALSE(contains(log_text().substr(logged), "shared-from"));
}

TEST_F(SharedWindows, DaisyChainMarksOfOthersAreLeftInPlaceAndDialogsNameTheirOwner) {
    ForeignWindow ours(server->name(), "ours");
    ForeignWindow theirs(server->name(), "theirs");
    set_property_str(theirs.id(), "TL_DAISY_CHAIN_ALLOWED");
    EXPECT_EQ(set_daisy_chain(theirs.id()), 1);
    EXPECT_EQ(set_daisy_chain(ours.id()), 1);
    EXPECT_EQ(unset_daisy_chain(theirs.id()), 0);
    EXPECT_TRUE(is_property_set_str(theirs.id(), "TL_DAISY_CHAIN_ALLOWED"));
    EXPECT_EQ(unset_daisy_chain(ours.id()), 1);
    EXPECT_FALSE(is_property_set_str(ours.id(), "TL_DAISY_CHAIN_ALLOWED"));

    // A dialog's owner: a shell, the screen (1), or none.
    Widget dialog = XtVaCreatePopupShell("probe", transientShellWidgetClass, TopLevel, XtNwidth, 10,
                                         XtNheight, 10, nullptr);
    XtRealizeWidget(dialog);
    const std::pair<Widget, Window> owners[] = {{TopLevel, XtWindow(TopLevel)}, {reinterpret_cast<Widget>(1), 1}, {}};
    for (auto [owner, want] : owners) {
        set_transient_for(dialog, owner);
        EXPECT_EQ(is_transient_for(XtWindow(dialog)), want);
    }
}

TEST_F(SharedWindows, ThreeReceiversWithoutServersGiveOneDialog) {
    ForeignWindow probe(server->name(), "probe");
    std::vector<std::string> aliases;
    // Far above the numbers the other tests' servers take, so nobody answers there.
    int next = 40000 + static_cast<int>(getpid() % 10000);
    for (int i = 0; i < 3; ++i) {
        int n = find_free_display(next);
        next = n + 1;
        std::string name = "127.0.0.1:" + std::to_string(n) + ".0";
        aliases.push_back("Nobody " + std::to_string(i) + " ...... " + name);
        Atom host = create_hostatom(name.c_str(), display);
        add_hostatom(host, name.c_str(), aliases.back().c_str(), 0);
        tlShareWindow(display, probe.id(), host, 0);
    }
    ASSERT_TRUE(pump_until([&] {
        return no_Xserver && std::count(no_Xserver, no_Xserver + strlen(no_Xserver), '\n') == 2;
    }, std::chrono::seconds(10))) << log_text();
    std::vector<std::string> texts;
    answer_dialogs(texts);
    process_event_messages();
    EXPECT_EQ(texts, std::vector<std::string>{"No X Server running on receiver(s)\n" + aliases[0] + "\n" + aliases[1] +
                                              "\n" + aliases[2] + "."})
        << log_text();
    EXPECT_EQ(no_Xserver, nullptr);
    EXPECT_EQ(find_window(0, static_cast<uint32_t>(probe.id())), 0);
}
