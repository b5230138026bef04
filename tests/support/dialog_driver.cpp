// Finding Telvane's shells on a display and clicking in them through XTEST.
#include "dialog_driver.h"

#include "process.h"
#include "x_probe.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <X11/Xlib-xcb.h>
#include <algorithm>
#include <tuple>
#include <xcb/xtest.h>

namespace telvane::testing {

namespace {

// The shells belong to another program, which may destroy them while we look: errors on our
// own connection mean "gone"; those of any other connection go to whoever handled them before.
Display *quiet_display = nullptr;
XErrorHandler outer_handler = nullptr;

int ignore_own_errors(Display *dpy, XErrorEvent *event) {
    return dpy != quiet_display && outer_handler ? outer_handler(dpy, event) : 0;
}

struct QuietErrors {
    explicit QuietErrors(Display *dpy) {
        quiet_display = dpy;
        outer_handler = XSetErrorHandler(ignore_own_errors);
    }
    ~QuietErrors() {
        XSync(quiet_display, False);
        XSetErrorHandler(outer_handler);
        quiet_display = nullptr;
    }
    QuietErrors(const QuietErrors &) = delete;
    QuietErrors &operator=(const QuietErrors &) = delete;
};

// The mapped top-level window whose WM_CLASS instance is `instance`, or 0: a child of the root,
// or one a window manager keeps inside its frame (`depth` levels down).
Window find_mapped_shell(Display *dpy, const std::string &instance, Window under = 0, int depth = 3) {
    for (Window w : children_of(dpy, under)) {
        XClassHint hint{};
        if (!XGetClassHint(dpy, w, &hint)) {
            if (Window inside = depth > 1 ? find_mapped_shell(dpy, instance, w, depth - 1) : 0) return inside;
            continue;
        }
        const bool match = hint.res_name && instance == hint.res_name;
        XFree(hint.res_name);   // XFree, like free, takes a null pointer
        XFree(hint.res_class);
        if (match && viewable(dpy, w)) return w;
    }
    return 0;
}

// The middle of `window` in root coordinates; false when the window is gone.
bool centre_on_root(Display *dpy, Window window, int *x, int *y) {
    XWindowAttributes a{};
    Window child = 0;
    return XGetWindowAttributes(dpy, window, &a) &&
           XTranslateCoordinates(dpy, window, DefaultRootWindow(dpy), a.width / 2, a.height / 2, x, y, &child);
}

// One XTEST event: key or button `detail` pressed or released, or the pointer moved to (x, y).
void fake(Display *dpy, uint8_t type, uint8_t detail, int x = 0, int y = 0) {
    xcb_test_fake_input(XGetXCBConnection(dpy), type, detail, XCB_CURRENT_TIME,
                        type == XCB_MOTION_NOTIFY ? DefaultRootWindow(dpy) : XCB_NONE, static_cast<int16_t>(x),
                        static_cast<int16_t>(y), 0);
}

// Sends what was faked and waits until the server has taken it.
bool flush(Display *dpy) {
    xcb_flush(XGetXCBConnection(dpy));
    XSync(dpy, False);
    return true;
}

}  // namespace

DialogDriver::DialogDriver(const std::string &display_name) : dpy_(XOpenDisplay(display_name.c_str())) {
    if (dpy_) XSelectInput(dpy_, DefaultRootWindow(dpy_), SubstructureNotifyMask);
}

DialogDriver::~DialogDriver() {
    if (dpy_) XCloseDisplay(dpy_);
}

Window DialogDriver::wait_for_shell(const std::string &instance, std::chrono::milliseconds limit, int stop_fd) {
    if (!dpy_) return 0;
    QuietErrors quiet(dpy_);
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        // Every top-level map wakes us: the events so far are dropped before looking, and any the
        // look itself read in send us round again, so no map between look and wait is lost.
        XSync(dpy_, True);
        if (Window w = find_mapped_shell(dpy_, instance)) return w;
        if (std::chrono::steady_clock::now() >= end) return 0;
        if (QLength(dpy_) == 0 && wait_readable(ConnectionNumber(dpy_), end, stop_fd) < 0) return 0;
    }
}

Window DialogDriver::message_button(Window shell, int index) {
    // The shell holds the form; its buttons are its mapped children in the bottom row.
    QuietErrors quiet(dpy_);
    auto forms = children_of(dpy_, shell);
    if (forms.empty()) return 0;
    std::vector<std::tuple<int, int, Window>> placed;   // (-y, x): the bottom row first, from the left
    for (Window w : children_of(dpy_, forms.front())) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(dpy_, w, &a) && a.map_state == IsViewable) placed.emplace_back(-a.y, a.x, w);
    }
    std::sort(placed.begin(), placed.end());
    const bool in_row = index >= 0 && index < static_cast<int>(placed.size()) &&
                        std::get<0>(placed[index]) == std::get<0>(placed.front());
    return in_row ? std::get<2>(placed[index]) : 0;
}

bool DialogDriver::click(Window window) {
    QuietErrors quiet(dpy_);
    int x = 0, y = 0;
    return centre_on_root(dpy_, window, &x, &y) && click_at(x, y);
}

bool DialogDriver::click_until_gone(Window shell, Window button, int stop_fd) {
    QuietErrors quiet(dpy_);
    XSelectInput(dpy_, shell, StructureNotifyMask);   // in place once viewable() has had its reply
    auto went = [&] {
        XEvent e;
        XPending(dpy_);
        return XCheckTypedWindowEvent(dpy_, shell, UnmapNotify, &e) ||
               XCheckTypedWindowEvent(dpy_, shell, DestroyNotify, &e);
    };
    bool gone = !viewable(dpy_, shell);
    for (int attempt = 0; attempt < 5 && !gone; ++attempt) {
        int x = 0, y = 0;
        if (!centre_on_root(dpy_, button, &x, &y) || !click_at(x, y)) {
            gone = !viewable(dpy_, shell);
            break;
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        for (int woken = 1; !(gone = went()) && woken > 0;)
            if ((woken = wait_readable(ConnectionNumber(dpy_), end, stop_fd)) < 0) return true;
    }
    XSelectInput(dpy_, shell, NoEventMask);
    return gone;
}

bool DialogDriver::point_at(Window window) {
    QuietErrors quiet(dpy_);
    int x = 0, y = 0;
    if (!centre_on_root(dpy_, window, &x, &y)) return false;
    // Through the corner first: a window that came up under a still pointer sees no EnterNotify,
    // and Motif then takes no keys.
    fake(dpy_, XCB_MOTION_NOTIFY, 0, 0, 0);
    fake(dpy_, XCB_MOTION_NOTIFY, 0, x, y);
    return flush(dpy_);
}

bool DialogDriver::press_key(unsigned long keysym, std::initializer_list<unsigned long> modifiers) {
    std::vector<KeyCode> keys;   // the modifiers, then the key; released the other way round
    for (unsigned long m : modifiers) keys.push_back(XKeysymToKeycode(dpy_, m));
    keys.push_back(XKeysymToKeycode(dpy_, keysym));
    if (std::count(keys.begin(), keys.end(), 0)) return false;
    for (KeyCode k : keys) fake(dpy_, XCB_KEY_PRESS, k);
    for (auto k = keys.rbegin(); k != keys.rend(); ++k) fake(dpy_, XCB_KEY_RELEASE, *k);
    return flush(dpy_);
}

bool DialogDriver::type_text(const std::string &text) {
    for (char ch : text) {
        // Printable Latin-1 characters are their own keysyms.
        const KeySym keysym = ch == '\n' ? XK_Return : static_cast<unsigned char>(ch);
        // A character on the second level of its key needs Shift; one without a key fails below.
        const bool shifted = XkbKeycodeToKeysym(dpy_, XKeysymToKeycode(dpy_, keysym), 0, 0) != keysym;
        if (!(shifted ? press_key(keysym, {XK_Shift_L}) : press_key(keysym))) return false;
    }
    return true;
}

bool DialogDriver::click_at(int x, int y) {
    fake(dpy_, XCB_MOTION_NOTIFY, 0, x, y);
    fake(dpy_, XCB_BUTTON_PRESS, 1);
    fake(dpy_, XCB_BUTTON_RELEASE, 1);
    return flush(dpy_);
}

bool DialogDriver::drag(Window window, int x0, int y0, int x1, int y1) {
    QuietErrors quiet(dpy_);
    Window child = 0;
    int rx = 0, ry = 0;
    if (!XTranslateCoordinates(dpy_, window, DefaultRootWindow(dpy_), x0, y0, &rx, &ry, &child)) return false;
    fake(dpy_, XCB_MOTION_NOTIFY, 0, rx, ry);
    fake(dpy_, XCB_BUTTON_PRESS, 1);
    for (int i = 1; i <= 10; ++i) fake(dpy_, XCB_MOTION_NOTIFY, 0, rx + (x1 - x0) * i / 10, ry + (y1 - y0) * i / 10);
    fake(dpy_, XCB_BUTTON_RELEASE, 1);
    return flush(dpy_);
}

}  // namespace telvane::testing
