#pragma once
// Drives Telvane's message dialog from outside the program, as a person would: waits for it
// to map and clicks its buttons with XTEST.

#include <X11/Xlib.h>

#include <chrono>
#include <initializer_list>
#include <memory>
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

    // Waits until a shell whose WM_CLASS instance is `instance` is mapped, at most `limit`, or
    // until `stop_fd` (e.g. a child's exit fd; -1 for none) becomes readable. Returns the
    // shell's window, or 0.
    Window wait_for_shell(const std::string &instance, std::chrono::milliseconds limit, int stop_fd = -1);

    // The message dialog's mapped buttons, left to right, as windows; `index` 0 is the first.
    // Returns 0 when there is no such button.
    Window message_button(Window shell, int index);

    // Moves the pointer to the middle of `window` and clicks button 1.
    bool click(Window window);
    // Clicks `button` of the dialog `shell` until the shell unmaps or is destroyed, clicking
    // again (at most five times) where a click did not take, as a person does: a click that
    // comes while the dialog is still being set up is lost. The same shell may come back for a
    // next question, so its going is seen as an event, not looked for. Stops when `stop_fd`
    // becomes readable. Returns whether the shell went (or the program ended).
    bool click_until_gone(Window shell, Window button, int stop_fd = -1);
    // Moves the pointer to (x, y) of the root window and clicks button 1.
    bool click_at(int x, int y);
    // Drags with button 1 from (x0, y0) to (x1, y1) of `window` in ten steps. `window` may
    // belong to another display than this driver's when `on` is that display's connection.
    bool drag(Window window, int x0, int y0, int x1, int y1, Display *on = nullptr);
    // Moves the pointer to the middle of `window` without clicking (keyboard focus follows
    // the pointer on a display without a window manager).
    bool point_at(Window window);

    // Types `text` with XTEST key presses, with Shift where a character needs it. Returns
    // false when a character has no key on this display.
    bool type_text(const std::string &text);
    // Presses and releases the key of `keysym` while holding the modifier keys given as
    // keysyms (e.g. XK_Alt_L).
    bool press_key(unsigned long keysym, std::initializer_list<unsigned long> modifiers = {});

private:
    Display *dpy_ = nullptr;
};

}  // namespace telvane::testing
