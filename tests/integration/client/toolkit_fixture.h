#pragma once
// Telvane's toolkit state in the test process behind telvane-server, with a scratch HOME.
#include <gtest/gtest.h>

#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "dialog_driver.h"
#include "extension/share_extension.h"
#include "other_client.h"
#include "process.h"
#include "share_server.h"
#include "text_checks.h"
#include "receivers/busy.h"
#include "telepointer/tele_manager.h"
#include "ui/app_defaults.h"
#include "ui/help_hooks.h"
#include "ui/main_window.h"
#include "ui/message_dialog.h"
#include "ui/preferences_dialog.h"
#include "ui/window_status_dialog.h"

#include <X11/Shell.h>
#include <X11/StringDefs.h>
#include <Xm/List.h>
#include <Xm/Text.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <poll.h>
#include <string>
#include <utility>
#include <vector>

namespace telvane::testing {

// The text of a string the toolkit allocated, which it frees.
inline std::string taken_text(char *text) {
    std::string s = text ? text : "";
    XtFree(text);
    return s;
}

// The texts of `n` compound strings, each with all its lines run together.
inline std::vector<std::string> texts_of(XmStringTable items, int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i)
        out.push_back(taken_text(static_cast<char *>(
            XmStringUnparse(items[i], nullptr, XmCHARSET_TEXT, XmCHARSET_TEXT, nullptr, 0, XmOUTPUT_ALL))));
    return out;
}

class ToolkitTest : public ServedDisplayTest {
protected:
    void SetUp() override {
        start_served();
        if (HasFatalFailure()) return;
        old_home_ = getenv("HOME") ? getenv("HOME") : "";
        setenv("HOME", scratch.path().c_str(), 1);
        logfile_close();
        user_preference.dialog_level = 4;
        // The toolkit as the program opens it, with a realised top-level shell.
        XtToolkitInitialize();
        app_context = XtCreateApplicationContext();
        if (app_defaults) XtAppSetFallbackResources(app_context, telvane_fallback_resources());
        int argc = 1;
        char name[] = "telvane";
        char *argv[] = {name, nullptr};
        display = XtOpenDisplay(app_context, server->name().c_str(), "Telvane", "Telvane", nullptr, 0, &argc, argv);
        ASSERT_TRUE(display) << server->diagnosis(scratch.file("server.log"));
        TelvaneSH = TopLevel = XtVaAppCreateShell("Telvane", "Telvane", applicationShellWidgetClass, display, XtNwidth,
                                                  200, XtNheight, 100, XtNx, 400, XtNy, 300, nullptr);
        XtRealizeWidget(TopLevel);
        tlEventType = tlInitialize(display);
        ASSERT_NE(tlEventType, 0);
        // The atoms start-up interns for telepointers and external requests.
        telepoint_req_atom = XInternAtom(display, "TELEPOINT_REQ", False);
        telepoint_ack_atom = XInternAtom(display, "TELEPOINT_ACK", False);
        tl_external_req_atom = XInternAtom(display, "TL_EXTERNAL_REQUEST", False);
        static char prepend[] = "[alpha] ", append[] = " [SHARED]", host[] = "alpha";
        prepend_str = prepend;
        append_str = append;
        my_display_hostname = host;
        preventWindowTitleChange = 0;
        shows_ = 0;
        set_message_presenter(counted_show);
        // As in the program: a window that went away is no reason to stop.
        XSetErrorHandler(myhandler);
        XSync(display, False);
    }

    void TearDown() override {
        set_message_presenter(nullptr);
        if (app_context) XtDestroyApplicationContext(app_context);
        app_context = nullptr;
        display = nullptr;
        TopLevel = TelvaneSH = nullptr;
        // The main window and the busy notice went too.
        forget_main_window();
        forget_tele_manager();
        forget_WindowStatus();
        forget_Preferences();
        telepointer_message = 0;
        // The dialog went with its display; the next one is built afresh.
        MessageSH = Message = messTypeIcon = msg_text = nullptr;
        ok_button = yes_button = cancel_button = no_button = help_button = nullptr;
        msgDefaultButton = transient_for_widget = Msg_Help = Form_Help = Main_Help = nullptr;
        pixmapError = pixmapWarning = pixmapInformation = pixmapQuestion = pixmapWorking = 0;
        message_in_progress = 0;
        tlEventType = 0;
        telepoint_req_atom = telepoint_ack_atom = tl_external_req_atom = 0;
        logfile_close();
        setenv("HOME", old_home_.c_str(), 1);
    }

    // A list's rows, top first.
    static std::vector<std::string> rows(Widget list = ReceiverList) {
        int count = 0;
        XmStringTable items = nullptr;
        XtVaGetValues(list, XmNitemCount, &count, XmNitems, &items, nullptr);
        return texts_of(items, count);
    }

    std::string log_text() const { return read_file(scratch.file(".Telvane/.logfile")); }

    // Handles events, time-outs and inputs as the main loop does until `done` holds, at most `limit`; whether it held.
    bool pump_until(const std::function<bool()> &done,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            XSync(display, False);
            while (XtInputMask other = XtAppPending(app_context) & ~XtIMXEvent) XtAppProcessEvent(app_context, other);
            while (XtAppPending(app_context) & XtIMXEvent) {
                XEvent event;
                XtAppNextEvent(app_context, &event);
                main_loop_route(&event);
            }
            if (done()) return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fd{ConnectionNumber(display), POLLIN, 0};
            poll(&fd, 1, static_cast<int>(std::min<long>(left.count(), 200)));
        }
        return true;
    }

    // Runs `act` from a time-out once the message dialog is up, as a person answers it.
    void when_dialog_up(std::function<void()> act) {
        pending_ = std::move(act);
        // When a dialog is up right now, it is the one being answered; wait for the next.
        after_show_ = shows_;
        XtAppAddTimeOut(app_context, 10, on_timer, this);
    }

    // Answers every dialog with the button `choose` gives (else OK), keeping their texts.
    void answer_dialogs(std::vector<std::string> &texts, std::function<Widget()> choose = nullptr) {
        when_dialog_up([this, &texts, choose] {
            texts.push_back(dialog_text());
            Widget button = choose ? choose() : nullptr;
            if (!button) button = XtIsManaged(ok_button) ? ok_button : yes_button;
            answer_dialogs(texts, choose);
            click(button);
        });
    }

    // Clicks a dialog button with XTEST, as a person would.
    void click(Widget button) {
        // Our own requests pass the server in front of the display on our connection; the
        // round trip makes sure the dialog is really placed and mapped before the click.
        XSync(display, False);
        DialogDriver driver(server->name());
        ASSERT_TRUE(driver);
        if (XtIsWidget(button)) {
            ASSERT_TRUE(driver.click(XtWindow(button)));
            return;
        }
        // A gadget draws in its parent's window: click the middle of its own area.
        Position x = 0, y = 0;
        Dimension w = 0, h = 0;
        XtVaGetValues(button, XtNwidth, &w, XtNheight, &h, nullptr);
        XtTranslateCoords(button, static_cast<Position>(w / 2), static_cast<Position>(h / 2), &x, &y);
        ASSERT_TRUE(driver.click_at(x, y));
    }

    static bool viewable(Window w) {
        XWindowAttributes a{};
        return w && XGetWindowAttributes(display, w, &a) && a.map_state == IsViewable;
    }

    // Whether we follow the renames of `w`.
    static bool watching_titles(Window w) {
        XWindowAttributes a{};
        XGetWindowAttributes(display, w, &a);
        return (a.your_event_mask & PropertyChangeMask) != 0;
    }

    // What another client's pointer grab gets: GrabSuccess unless somebody holds it.
    int grab_pointer_from_another_client() const {
        DialogDriver other(server->name());
        return other ? try_pointer_grab(other.display()) : -1;
    }

    // A window's WM_NAME, or "<none>".
    static std::string title_of(Window w, bool net = false) { return window_title(display, w, net); }

    // The text of the dialog that is up.
    static std::string dialog_text() { return taken_text(XmTextGetString(msg_text)); }

    // Keeps a picture of `only` (else the dialog up, else the main window) in TELVANE_SCREENSHOTS.
    void screenshot(const std::string &name, Widget only = nullptr) {
        if (!getenv("TELVANE_SCREENSHOTS")) return;
        // Drawn first: the dialog has just been mapped and its exposures wait.
        pump_until([] { return false; }, std::chrono::milliseconds(300));
        Widget shown = only ? only : MessageSH && message_in_progress ? MessageSH : TelvaneSH;
        Position x = 0, y = 0;
        Dimension w = 0, h = 0;
        if (shown && XtIsRealized(shown)) {
            XtTranslateCoords(shown, 0, 0, &x, &y);
            XtVaGetValues(shown, XtNwidth, &w, XtNheight, &h, nullptr);
        }
        EXPECT_TRUE(screenshot_area(upstream->name(), name, std::max(0, x - 10), std::max(0, y - 10), w ? w + 20 : 0,
                                    h + 20));
    }

    bool app_defaults = true;   // the compiled-in resources, as the program has them

private:
    // Every dialog shown is counted, so that an answer goes to the dialog it was meant for.
    static inline int shows_ = 0;
    static int counted_show(Widget parent, int type, int set, int number, const char *text) {
        ++shows_;
        return message_show(parent, type, set, number, text);
    }

    static void on_timer(XtPointer self, XtIntervalId *) {
        auto *t = static_cast<ToolkitTest *>(self);
        // Not up yet (it is being built), or still the one answered before: look again shortly.
        if (shows_ <= t->after_show_ || !message_in_progress || !MessageSH) {
            XtAppAddTimeOut(app_context, 10, on_timer, self);
            return;
        }
        if (auto act = std::exchange(t->pending_, nullptr)) act();
    }

    std::function<void()> pending_;
    int after_show_ = 0;  // act on a dialog shown after this many
    std::string old_home_;
};

}  // namespace telvane::testing
