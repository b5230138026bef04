#pragma once
// Drives Telvane's dialogs from outside, as a person would: waits for them, clicks and types with XTEST.

#include <X11/Xlib.h>

#include <chrono>
#include <initializer_list>
#include <string>

namespace telvane::testing {

class DialogDriver {
public:
    // Opens its own connection to `display_name`; check with operator bool.
    explicit DialogDriver(const std::string &display_name);
    ~DialogDriver();
    DialogDriver(const DialogDriver &) = delete;
    DialogDriver &operator=(const DialogDriver &) = delete;
    explicit operator bool() const { return dpy_ != nullptr; }
    Display *display() const { return dpy_; }

    // The mapped shell of WM_CLASS instance `instance`, waited for at most `limit` or until
    // `stop_fd` (e.g. a child's exit fd) becomes readable; 0 when none came.
    Window wait_for_shell(const std::string &instance, std::chrono::milliseconds limit, int stop_fd = -1);

    // The message dialog's mapped button `index`, counted from the left from 0; 0 when none.
    Window message_button(Window shell, int index);

    // Moves the pointer to the middle of `window` and clicks button 1.
    bool click(Window window);
    // Clicks `button` of `shell` until the shell unmaps or is destroyed, at most five times (a
    // click during the dialog's set-up is lost); whether it went, or `stop_fd` became readable.
    bool click_until_gone(Window shell, Window button, int stop_fd = -1);
    // Moves the pointer to (x, y) of the root window and clicks button 1.
    bool click_at(int x, int y);
    // Drags with button 1 from (x0, y0) to (x1, y1) of `window` in ten steps.
    bool drag(Window window, int x0, int y0, int x1, int y1);
    // The pointer to the middle of `window`: keyboard focus follows it without a window manager.
    bool point_at(Window window);

    // Types `text` with XTEST, with Shift where needed; false when a character has no key here.
    bool type_text(const std::string &text);
    // Presses and releases the key of `keysym` while holding the modifiers (keysyms, e.g. XK_Alt_L).
    bool press_key(unsigned long keysym, std::initializer_list<unsigned long> modifiers = {});

private:
    Display *dpy_ = nullptr;
};

}  // namespace telvane::testing
