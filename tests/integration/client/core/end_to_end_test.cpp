// The real telvane program driven only through the X server, as a person would: type a
// receiver, choose Share from the menu with the keyboard, click a window, and see it appear
// on the receiver's display.
#include <gtest/gtest.h>

#include "program_fixture.h"
#include "text_order.h"

#include <csignal>

using namespace telvane::testing;

namespace {

class EndToEnd : public ProgramRun {
protected:
    // Three-digit display numbers that begin alike, as `make run` and ssh give people.
    EndToEnd() {
        served_options.number = find_free_display(100 + getpid() % 40);
        receiver_options.number = find_free_display(served_options.number + 1);
    }
    // True while some client holds the pointer and no menu is posted: the window pick.
    static bool picking(Display *dpy) {
        if (menu_posted(dpy)) return false;
        int status = XGrabPointer(dpy, DefaultRootWindow(dpy), False, 0, GrabModeAsync, GrabModeAsync, None, None,
                                  CurrentTime);
        if (status == GrabSuccess) XUngrabPointer(dpy, CurrentTime);
        XSync(dpy, False);
        return status == AlreadyGrabbed;
    }
};

}  // namespace

TEST_F(EndToEnd, TypeAReceiverShareFromTheMenuAndClickAWindow) {
    ForeignWindow target(server->name(), "Quarterly plan", 600, 400, 200, 150);
    start();
    if (HasFatalFailure()) return;
    DialogDriver &driver = *this->driver;
    // Start-up went through the server: both versions are known and the input delay was sent.
    for (const char *line : {"REQUEST change input delay to '0.5' '0.5'",
                             "Connector Version = '@(#)Telvane 2.4 Connector  - 1995'",
                             "Extensions Version = 'Telvane Server 2.4'"})
        EXPECT_TRUE(wait_for_log(line, std::chrono::seconds(5))) << line << "\n" << log();
    EXPECT_FALSE(contains(log(), "does not support sharing"));

    // The name line has the focus; the keyboard follows the pointer into the window.
    ASSERT_TRUE(driver.point_at(main_shell));
    std::string name = rx();
    ASSERT_TRUE(driver.type_text(name + " Receiver display\n"));
    // At the diagnostic level an entry found in no address book is confirmed first.
    answer(0);

    // Windows menu, Share a Single Window, by their mnemonics; then the pick waits for a click.
    // The menu lets go of the pointer just before the pick takes it, so the pick is trusted
    // only when seen twice; and like a person, start again when a click was lost after all.
    bool picked = false;
    for (int attempt = 0; attempt < 4 && !picked; ++attempt) {
        ASSERT_TRUE(choose_menu_item(XK_w, XK_s));
        // Looking for the pick's grab can itself be what the pick finds in its way; then the
        // program says that nothing was picked, and the person starts again.
        auto notice = [&] { return driver.wait_for_shell("ZR_Telvane_Message", std::chrono::milliseconds(1)); };
        ASSERT_TRUE(eventually([&] {
            return notice() || (picking(driver.display()) && (poll(nullptr, 0, 50), picking(driver.display())));
        }, std::chrono::seconds(15))) << log();
        if (!notice()) {
            ASSERT_TRUE(driver.click(target.id()));
            picked = wait_for_log("Window Pick - Picked", std::chrono::seconds(3));
        }
        if (!picked) answer(0);
    }
    ASSERT_TRUE(picked) << log();

    ASSERT_TRUE(eventually([&] { return mirrors() == 1; }, std::chrono::seconds(20))) << log();
    EXPECT_TRUE(wait_for_log("REQUEST share SINGLE window (" + hex(target.id()) + ") to '" + name + "'",
                             std::chrono::seconds(5))) << log();
    // Leaving asks first, and again as the typed receiver added a row; Yes to both unshares
    // everything before the clean exit.
    kill(telvane.pid(), SIGINT);
    answer(0);
    answer(0);
    EXPECT_EQ(exit_status(), 0) << log();
    EXPECT_TRUE(mirrors_become(0));
    EXPECT_TRUE(in_order(log(), {"REQUEST unshare ALL windows from '" + name + "'", "Exiting Telvane ..... Done"}));
    EXPECT_EQ(read_file(scratch.file("stderr")), "");
}
