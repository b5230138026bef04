// The main window in process behind telvane-server: sharing by real picks, the list, its controls.
#include <gtest/gtest.h>

#include "main_window_fixture.h"
#include "receivers/receiver_list.h"
#include "ui/input_controls.h"
#include "window_manager.h"

#include <Xm/ToggleB.h>
#include <Xm/ToggleBG.h>

using namespace telvane::testing;

namespace {

using MainWindow = MainWindowTest;

// A receiver's input control beside its row, or null; `row` gets the row it belongs to.
Widget control_of(Atom host, int *row = nullptr) {
    Widget w = nullptr;
    int at = 0;
    find_hostatom_widget(host, &w, row ? row : &at);
    return w;
}

}  // namespace

// Without a window manager, with twm and openbox: the windows clicked, never their frames, are shared.
class SenderDesktop : public MainWindowTest, public ::testing::WithParamInterface<const char *> {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        if (HasFatalFailure() || !GetParam()) return;
        wm = start_window_manager(upstream->name(), GetParam(), scratch);
        ASSERT_TRUE(wm) << GetParam();
    }
    ChildProcess wm;
};

TEST_P(SenderDesktop, ClickedWindowsAreSharedMarkedShownAndUnsharedNeverTheirFrames) {
    Atom host = add_row(receiver_name(), "Receiver One");
    select_rows({1});
    OtherClient app(server->name());
    Window editor = app.window(300, 400, 160, 120, "Shared editor"), palette = app.window(600, 400, 100, 90, "Palette");
    for (Window w : {editor, palette})
        ASSERT_TRUE(!GetParam() || pump_until([&] { return is_property_set_str(w, "WM_STATE"); }));

    // Share: every client window of the application clicked, and one that comes later.
    click_when_picking(editor);
    click(ShareButton);
    ASSERT_TRUE(pump_until([&] { return find_host_window_tag(host, editor) && find_host_window_tag(host, palette); }));
    EXPECT_TRUE(pump_until([&] { return mirrors().size() == 2; })) << mirrors().size();
    EXPECT_EQ(title_of(palette), "[alpha] Palette [SHARED]");
    Window dialog = app.window(100, 300, 80, 60, "Find");
    EXPECT_TRUE(pump_until([&] { return find_host_window_tag(host, dialog) != 0; })) << log_text();

    // Unshare takes the window away and gives its title back.
    click_when_picking(editor);
    unshare_from_receivers(nullptr, nullptr, nullptr);
    EXPECT_TRUE(pump_until([&] { return title_of(editor) == "Shared editor"; })) << title_of(editor);
    EXPECT_EQ(find_host_window_tag(host, editor), 0u);
}

INSTANTIATE_TEST_SUITE_P(WindowManagers, SenderDesktop, ::testing::Values(nullptr, "twm", "openbox"),
                         [](const auto &row) { return std::string(row.param ? row.param : "none"); });

// Share refuses what nobody can receive; Identify shows a receiver's windows; Unshare, Disconnect
// and Delete All take only what the selected rows have.
TEST_F(MainWindow, ShareRefusesUnshareDisconnectAndDeleteKeepRowsThatStillShare) {
    std::vector<std::string> texts;
    answer_dialogs(texts);
    share_to_receivers(nullptr, reinterpret_cast<XtPointer>(2L), nullptr);
    Atom first = add_row(receiver_name(), "Receiver One");
    auto second_display = XvfbServer::start();
    ASSERT_TRUE(second_display);
    Atom second = add_row(second_display->tcp_name() + ".0", "Receiver Two");
    add_row(server->tcp_name() + ".0", "Myself");
    share_to_receivers(nullptr, reinterpret_cast<XtPointer>(2L), nullptr);
    EXPECT_FALSE(XmToggleButtonGetState(ShareButton));
    // With nobody selected, every other action says so too.
    for (XtCallbackProc action : {unshare_from_receivers, disconnect_receivers, clear_receivers, move_to_top,
                                  edit_receiver, save_receivers})
        action(nullptr, nullptr, nullptr);
    EXPECT_EQ(show_windows_shared_to(nullptr, nullptr, nullptr), 1);
    ForeignWindow a(server->name(), "Window A", 600, 600), b(server->name(), "Window B", 800, 600);
    share(a.id(), first);
    share(b.id(), first);
    {
        // Identify raises the receiver's windows in order over a cover, a curtain right below them.
        ForeignWindow cover(server->name(), "Covering", 550, 550, 500, 250);
        select_rows({1});
        std::vector<Window> stack;
        Window curtain = 0;
        when_dialog_up([&] {
            texts.push_back(dialog_text());
            stack = children_of(display);
            for (Window w : stack) {
                XWindowAttributes attributes{};
                XGetWindowAttributes(display, w, &attributes);
                if (attributes.override_redirect && attributes.map_state == IsViewable &&
                    attributes.width == DisplayWidth(display, 0) && is_property_set_str(w, "TL_DONT_SHARE"))
                    curtain = w;
            }
            answer_dialogs(texts);
            click(ok_button);
        });
        EXPECT_EQ(show_windows_shared_to(nullptr, nullptr, nullptr), 1);
        auto at = [&](Window w) { return std::find(stack.begin(), stack.end(), w) - stack.begin(); };
        EXPECT_LT(at(cover.id()), at(curtain));
        EXPECT_EQ(at(curtain) + 1, at(a.id()));
        EXPECT_EQ(at(a.id()) + 1, at(b.id()));
    }
    // The first receiver has the window and the third row is this display: one notice names both.
    user_preference.dialog_level = 1;
    select_rows({1, 3});
    click_when_picking(a.id());
    share_to_receivers(nullptr, reinterpret_cast<XtPointer>(1L), nullptr);
    user_preference.dialog_level = 4;
    select_rows({1});
    EXPECT_EQ(share_same_window(1, &first), 40) << "one receiver alone has nobody to join";
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Nobody In Receiver List", "Nobody Selected to Share to", "Nobody Selected to Unshare From",
                         "Nobody Selected to Disconnect From", "Nobody Selected to Delete", "Nobody Selected to Move",
                         "No one selected to edit.", "Nobody Selected to Save", "Nobody Selected to Show",
                         "Select OK when you are through viewing receiver's windows.",
                         "The following users:\n" + rows()[0] + "\n" + rows()[2] + "\n\nalready have the window you're sharing",
                         "Nobody Selected to Join Together"}));

    // Share Same gives the second receiver the first one's windows, and the first nothing twice.
    select_rows({2, 1});
    share_same_window_callback(nullptr, nullptr, nullptr);
    EXPECT_TRUE(pump_until([&] { return mirror_windows(second_display->name()).size() == 2; }));
    EXPECT_EQ(mirrors().size(), 2u);

    // Unshare picks the window and takes it from the selected receivers only.
    select_rows({1});
    click_when_picking(a.id());
    unshare_from_receivers(nullptr, nullptr, nullptr);
    EXPECT_TRUE(pump_until([&] { return find_host_window_tag(first, a.id()) == 0; }));
    EXPECT_NE(find_host_window_tag(first, b.id()), 0u);
    EXPECT_NE(find_host_window_tag(second, a.id()), 0u);
    EXPECT_EQ(title_of(a.id()), "[alpha] Window A [SHARED]") << "still shared to the second";

    // Disconnect unshares all of the receiver and deselects its row; an unreceived window loses its marks.
    select_rows({2});
    disconnect_receivers(nullptr, reinterpret_cast<XtPointer>(2L), nullptr);
    EXPECT_TRUE(pump_until([&] { return !find_is_host_sharing(second); }));
    EXPECT_TRUE(pump_until([&] { return title_of(a.id()) == "Window A"; })) << title_of(a.id());
    EXPECT_TRUE(selected_positions().empty());
    EXPECT_EQ(rows().size(), 3u) << "disconnecting keeps the rows";

    // Delete All keeps the row that still shares and says so once.
    clear_receivers(nullptr, reinterpret_cast<XtPointer>(1L), nullptr);
    EXPECT_EQ(rows(), std::vector<std::string>{alias_row("Receiver One", receiver_name())});
    ASSERT_EQ(texts.size(), 13u);
    EXPECT_EQ(texts[12], "Cannot Delete an entry if it's shared to\n\nWindows are Still Shared as Indicated");
}

TEST_F(MainWindow, InputControlsFollowTheRowsAsTheListScrollsAndMoveToTop) {
    std::vector<Atom> hosts;
    for (int i = 1; i <= 10; ++i) hosts.push_back(add_row("127.0.0.2:" + std::to_string(40 + i) + ".0", "R" + std::to_string(i)));
    for (Atom h : hosts) input_status_changed(h, 0);
    input_status_changed(hosts[5], 2);  // consent asked: a "?" instead of the toggle
    XmListSetPos(ReceiverList, 4);
    update_input_status_positions();
    for (int i = 0; i < 10; ++i) {
        Widget w = control_of(hosts[i]);
        ASSERT_TRUE(w);
        Position y = 0;
        XtVaGetValues(w, XmNy, &y, nullptr);
        EXPECT_EQ(XtIsManaged(w), i >= 3) << "row " << i + 1;
        EXPECT_TRUE(i < 3 || y == RL_spacing * (i - 3) + 2) << "row " << i + 1 << " at " << y;
    }
    EXPECT_FALSE(XmIsToggleButtonGadget(control_of(hosts[5])));

    // Move to Top keeps the order and the selection, and the records follow the rows.
    select_rows({3, 5});
    move_to_top(nullptr, nullptr, nullptr);
    auto now = rows();
    now.resize(3);
    EXPECT_EQ(now, (std::vector<std::string>{alias_row("R3", "127.0.0.2:43.0"), alias_row("R5", "127.0.0.2:45.0"),
                                             alias_row("R1", "127.0.0.2:41.0")}));
    EXPECT_EQ(selected_positions(), (std::vector<int>{1, 2}));
    int row = -1;
    control_of(hosts[4], &row);
    EXPECT_EQ(row, 1);
}

TEST_F(MainWindow, InputTogglesFollowTheServerAndSendTheUsersChoice) {
    Atom host = add_row(receiver_name(), "Design review screen");
    add_row("127.0.0.2:51.0", "Jane Doe (lab)");
    add_row("127.0.0.2:52.0", "Conference room");
    user_preference.allow_input = 1;
    ForeignWindow target(server->name(), "Allowed", 700, 500);
    share(target.id(), host);
    // The preference allows input on connection; the server's answer sets the toggle.
    ASSERT_TRUE(pump_until([&] { return input_toggle_state(control_of(host)) == 1; })) << trace();
    screenshot("main-window");

    // A click flips the toggle at once; what counts is the request that reaches the server.
    click(control_of(host));
    ASSERT_TRUE(pump_until([&] { return contains(trace(), "name=DisallowInput"); })) << trace();
    EXPECT_TRUE(contains(log_text(), "REQUEST disallow input from '" + receiver_name() + "'"));
    click(control_of(host));
    EXPECT_TRUE(pump_until([&] { return in_order(trace(), {"name=DisallowInput", "name=AllowInput"}); })) << trace();

    disconnect_callback(host, nullptr, nullptr);
    EXPECT_TRUE(pump_until([&] { return control_of(host) == nullptr; }));
}

// The busy notice shows once and outlives its batch; a click on the Share toggle itself cancels its pick.
TEST_F(MainWindow, BusyNoticeAndAClickOnTheToggleItself) {
    popup_BusySharing();
    popup_BusySharing();
    ASSERT_TRUE(BusySharingSH);
    EXPECT_TRUE(viewable(XtWindow(BusySharingSH)));
    EXPECT_TRUE(is_property_set_str(XtWindow(BusySharingSH), "TL_DONT_SHARE"));
    screenshot("busy-sharing");
    stop_busy_sharing();
    EXPECT_EQ(isBusy, 0);
    EXPECT_TRUE(viewable(XtWindow(BusySharingSH))) << "taken down at once, or only after holding the program up";
    EXPECT_TRUE(pump_until([] { return !viewable(XtWindow(BusySharingSH)); }));

    Window shell = XtWindow(TelvaneSH);
    Position x = 0, y = 0, sx = 0, sy = 0;
    Dimension w = 0, h = 0;
    XtVaGetValues(ShareButton, XmNwidth, &w, XmNheight, &h, nullptr);
    XtTranslateCoords(ShareButton, 0, 0, &x, &y);
    XtTranslateCoords(TelvaneSH, 0, 0, &sx, &sy);
    set_button(ShareButton);
    EXPECT_TRUE(XmToggleButtonGetState(ShareButton));
    // Corners count as the toggle; a point just outside does not.
    EXPECT_EQ(unset_button(ShareButton, shell, x - sx + w, y - sy + h), 0u);
    EXPECT_FALSE(XmToggleButtonGetState(ShareButton));
    EXPECT_EQ(unset_button(ShareButton, shell, x - sx + w + 1, y - sy), shell);
    EXPECT_EQ(unset_button(ShareButton, 1, 0, 0), 0u) << "a timed-out pick";
}
