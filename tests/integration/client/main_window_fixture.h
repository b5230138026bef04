#pragma once
// The main window in process behind the real telvane-server, with a second Xvfb as a receiver.
#include <gtest/gtest.h>

#include "other_client.h"
#include "receivers/address_text.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/share_registry.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "toolkit_fixture.h"
#include "receivers/match_dialogs.h"
#include "receivers/receiver_entry.h"
#include "ui/list_utils.h"
#include "ui/main_window.h"
#include "xvfb.h"

#include <X11/Xatom.h>
#include <Xm/List.h>

#include <filesystem>
#include <sys/stat.h>
#include <vector>

namespace telvane::testing {

class MainWindowTest : public ToolkitTest {
protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        if (HasFatalFailure()) return;
        // This display's own name, as start-up works it out, so that rows naming it are recognised.
        own_name_ = server->tcp_name();
        my_display_name = own_name_.data();
        create_Telvane();
        // The whole window on the screen, for the pointer and for pictures.
        XtVaSetValues(TelvaneSH, XmNx, 20, XmNy, 20, nullptr);
        ASSERT_TRUE(pump_until([] { return viewable(XtWindow(TelvaneSH)); }));
        receiver_display = XvfbServer::start();
        ASSERT_TRUE(receiver_display) << "could not start the receiver's Xvfb";
    }

    void TearDown() override {
        while (first_tag) delete_tag(first_tag->tag);
        delete_all_hostatoms();
        my_display_name = nullptr;
        unsetenv("TELVANE_PUBLIC_DIR");
        unsetenv("TELVANE_SITE_DIR");
        ToolkitTest::TearDown();
    }

    // Gives the test its own private book folder and public folders (never the system's), and
    // builds the name matching dialog. Tear-down forgets the folders.
    void use_scratch_books() {
        std::filesystem::create_directories(scratch.file("public/address_books"));
        mkdir(scratch.file(".Telvane").c_str(), 0755);
        setenv("TELVANE_PUBLIC_DIR", scratch.file("public").c_str(), 1);
        setenv("TELVANE_SITE_DIR", scratch.file("no-site").c_str(), 1);
        create_MatchNames();
        user_preference.automatic_highlight = 1;  // only a lone new row is selected
    }

    // The receiver display's name as a row gives it.
    std::string receiver_name() const { return receiver_display->tcp_name() + ".0"; }

    // The receiver list's row for `alias` at `display_name`.
    static std::string alias_row(const std::string &alias, const std::string &display_name) {
        char *line = final_alias_line(alias.c_str(), display_name.c_str());
        std::string s = line;
        free(line);
        return s;
    }

    // Adds a row as the matching does (appended when `position` is 0) and returns its atom.
    static Atom add_row(const std::string &display_name, const std::string &alias, int position = 0) {
        XmString item = XmStringCreateLocalized(alias_row(alias, display_name).data());
        unsigned long result = add_to_ReceiverList(item, position, 0);
        XmStringFree(item);
        EXPECT_LT(result, 2u) << display_name;
        return create_hostatom(display_name.c_str(), display);
    }

    // Selects exactly the rows at the given one-based positions.
    static void select_rows(std::initializer_list<int> positions, Widget list = ReceiverList) {
        XmListDeselectAllItems(list);
        auto texts = rows(list);
        for (int p : positions) set_selected_str(list, texts.at(p - 1).c_str(), 1);
    }

    static std::vector<int> selected_positions(Widget list = ReceiverList) {
        int *positions = nullptr, count = 0;
        if (!XmListGetSelectedPos(list, &positions, &count)) return {};
        std::vector<int> out(positions, positions + count);
        XtFree(reinterpret_cast<char *>(positions));
        return out;
    }

    // The receiver name line's text.
    static std::string edit_text() { return taken_text(get_edit_text()); }

    // Clicks `target` with XTEST once a window pick waits for it, as a person answers a pick.
    void click_when_picking(Window target) {
        pick_target_ = target;
        XtAppAddTimeOut(app_context, 20, on_pick_timer, this);
    }

    // Shares `window` to `host` as a finished pick does and waits until it is recorded (or gone).
    void share(Window window, Atom host) {
        user_picked = window;
        tlShareWindow(display, window, host, 0);
        ASSERT_TRUE(pump_until([&] { return find_host_window_tag(host, window) != 0; })) << log_text();
        user_picked = 0;
    }
    void unshare(Window window, Atom host) {
        tlUnshareWindow(display, window, host, find_host_window_tag(host, window));
        ASSERT_TRUE(pump_until([&] { return find_host_window_tag(host, window) == 0; })) << log_text();
    }

    // Top-level windows of the receiver display that are mirrors.
    std::vector<Window> mirrors() const { return mirror_windows(receiver_display->name()); }

    std::optional<XvfbServer> receiver_display;

private:
    static void on_pick_timer(XtPointer self, XtIntervalId *) {
        auto *t = static_cast<MainWindowTest *>(self);
        // The pick is waiting once its time-out is armed; before that a click would be lost.
        if (!pick_timeout) {
            XtAppAddTimeOut(app_context, 20, on_pick_timer, self);
            return;
        }
        DialogDriver driver(t->server->name());
        if (driver) driver.click(t->pick_target_);
    }

    std::string own_name_;
    Window pick_target_ = 0;
};

}  // namespace telvane::testing
