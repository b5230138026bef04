#pragma once
// The real telvane program behind the real server, a receiver display, and the helpers its tests share.
#include <gtest/gtest.h>

#include "dialog_driver.h"
#include "other_client.h"
#include "process.h"
#include "share_server.h"
#include "text_checks.h"
#include "x_probe.h"
#include "xvfb.h"

#include <X11/keysym.h>
#include <algorithm>
#include <map>
#include <poll.h>
#include <sys/stat.h>

namespace telvane::testing {

class ProgramRun : public ServedDisplayTest {
protected:
    void SetUp() override {
        start_served(served_options);
        if (HasFatalFailure()) return;
        receiver = XvfbServer::start(receiver_options);
        ASSERT_TRUE(receiver);
        mkdir(scratch.file(".Telvane").c_str(), 0755);
        write_file(scratch.file(".Telvane/.setup"), "1 1 0 4 3 5 ");
        driver.emplace(server->name());
        ASSERT_TRUE(*driver);
    }

    // Starts telvane with `env` added to its environment (an empty value removes the
    // variable) and waits until it runs its loop.
    void start(const std::map<std::string, std::string> &env = {}) {
        ChildProcess::Options options = telvane_options(server->name(), scratch.path());
        for (const auto &[name, value] : env) {
            if (value.empty()) options.env_unset.push_back(name);
            else options.env_set[name] = value;
        }
        // The server takes the main window of a run before down only once it has seen its
        // client go, and this run may get the same id.
        if (main_shell) eventually([&] {
            auto top = children_of(driver->display());
            return std::find(top.begin(), top.end(), main_shell) == top.end();
        });
        telvane = ChildProcess::start({build_path("src/telvane"), "-xrm", "Telvane.enableCommandLine: 1"}, options);
        ASSERT_TRUE(telvane);
        main_shell = driver->wait_for_shell("Telvane", std::chrono::seconds(30), telvane.exit_fd());
        ASSERT_NE(main_shell, 0u) << read_file(scratch.file("stderr"));
        // The program is in its loop once it has said that telepointers run.
        ASSERT_TRUE(wait_for_log("Telepointer started")) << log();
    }

    // How telvane runs under test: on `display_name` with HOME at `home`, the built catalog and
    // no resource files of the user's, writing to "stdout" and "stderr" in the scratch folder.
    ChildProcess::Options telvane_options(const std::string &display_name, const std::string &home) const {
        ChildProcess::Options options;
        options.env_set = {{"DISPLAY", display_name}, {"HOME", home}, {"NLSPATH", build_path("resources/%N.cat")}};
        options.env_unset = {"XENVIRONMENT", "XAPPLRESDIR", "XUSERFILESEARCHPATH"};
        options.stdout_path = scratch.file("stdout");
        options.stderr_path = scratch.file("stderr");
        return options;
    }

    bool wait_for_log(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return wait_for_text(scratch.file(".Telvane/.logfile"), text, limit);
    }
    std::string log() const { return read_file(scratch.file(".Telvane/.logfile")); }
    std::string rx() const { return "127.0.0.1:" + std::to_string(receiver->number()) + ".0"; }
    int mirrors() const { return static_cast<int>(mirror_windows(receiver->name()).size()); }
    // Whether the receiver shows `n` mirrors within 10 seconds; they come and go on the
    // server's own time, after the program has heard of the share.
    bool mirrors_become(int n) const {
        return eventually([&] { return mirrors() == n; });
    }

    // Shares the window titled `title` to the receiver with telvane-request.
    void share(const char *title) {
        ChildProcess::Options options;
        options.stdout_path = options.stderr_path = scratch.file("request.out");
        ASSERT_EQ(run_program({build_path("request/telvane-request"), "--display", server->name(), "share", "--name",
                               title, rx()},
                              options, std::chrono::seconds(40)),
                  0)
            << read_file(scratch.file("request.out")) << log();
    }

    // Waits for the question dialog and presses its button `index` (0 Yes, 1 No).
    void answer(int index) {
        Window question = driver->wait_for_shell("ZR_Telvane_Message", std::chrono::seconds(20), telvane.exit_fd());
        ASSERT_NE(question, 0u) << log();
        Window button = driver->message_button(question, index);
        ASSERT_NE(button, 0u);
        ASSERT_TRUE(driver->click_until_gone(question, button, telvane.exit_fd())) << log();
    }

    // Chooses a menu item as a person does with the keyboard: Alt and the menu's mnemonic,
    // then the item's, pressing again where the program did not see the press yet (its window
    // only just mapped). Returns false when the menu did not open.
    bool choose_menu_item(unsigned long menu_key, unsigned long item_key) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (!driver->point_at(main_shell) || !driver->press_key(menu_key, {XK_Alt_L})) return false;
            if (eventually([&] { return menu_posted(driver->display()); }, std::chrono::seconds(2)))
                return driver->press_key(item_key);
        }
        return false;
    }

    // True while a menu is posted: an override-redirect window on the screen.
    static bool menu_posted(Display *dpy) {
        auto top = children_of(dpy);
        return std::any_of(top.begin(), top.end(), [dpy](Window w) {
            XWindowAttributes a{};
            return XGetWindowAttributes(dpy, w, &a) && a.override_redirect && a.map_state == IsViewable &&
                   a.x + a.width > 0 && a.y + a.height > 0;
        });
    }

    // Waits for the program to end; its exit code, or -2 when it did not.
    int exit_status() {
        auto status = telvane.wait_for_exit(std::chrono::seconds(20));
        return status ? exit_code(*status) : -2;
    }

    ShareServer::Options served_options;   // for the server in front of the program's display
    XvfbServer::Options receiver_options;
    std::optional<XvfbServer> receiver;
    std::optional<DialogDriver> driver;
    ChildProcess telvane;
    Window main_shell = 0;
};

}  // namespace telvane::testing
