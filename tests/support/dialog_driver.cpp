// Finding Telvane's shells on a display and clicking in them through XTEST.
#include "dialog_driver.h"

#include "x_probe.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <cstring>
#include <poll.h>
#include <vector>
#include <xcb/xtest.h>

namespace telvane::testing {

namespace {

// The shells belong to another program, which may destroy them between our looking and our
// asking (it ends while we search). Errors on our own connection are therefore expected and
// mean "gone"; those of any other connection go to whoever handled them before.
Display *quiet_display = nullptr;
XErrorHandler outer_handler = nullptr;

int ignore_own_errors(Display *dpy, XErrorEvent *event) {
    if (dpy == quiet_display) return 0;
    return outer_handler ? outer_handler(dpy, event) : 0;
}

class QuietErrors {
public:
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

bool has_instance(Display *dpy, Window window, const std::string &instance) {
    XClassHint hint{};
    if (!XGetClassHint(dpy, window, &hint)) return false;
    bool match = hint.res_name && instance == hint.res_name;
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return match;
}

bool viewable(Display *dpy, Window window) {
    XWindowAttributes a{};
    return XGetWindowAttributes(dpy, window, &a) && a.map_state == IsViewable;
}

Window find_mapped_shell(Display *dpy, const std::string &instance) {
    for (Window w : children_of(dpy)) {
        if (has_instance(dpy, w, instance) && viewable(dpy, w)) return w;
    }
    return 0;
}

// The middle of `window` in root coordinates; false when the window is gone.
bool centre_on_root(Display *dpy, Window window, int *x, int *y) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(dpy, window, &a)) return false;
    Window child = 0;
    XTranslateCoordinates(dpy, window, DefaultRootWindow(dpy), a.width / 2, a.height / 2, x, y, &child);
    return true;
}

void move_pointer(Display *dpy, int x, int y) {
    xcb_connection_t *c = XGetXCBConnection(dpy);
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, DefaultRootWindow(dpy), static_cast<int16_t>(x),
                        static_cast<int16_t>(y), 0);
}

}  // namespace

DialogDriver::DialogDriver(const std::string &display_name) {
    dpy_ = XOpenDisplay(display_name.c_str());
    if (dpy_) XSelectInput(dpy_, DefaultRootWindow(dpy_), SubstructureNotifyMask);
}

DialogDriver::~DialogDriver() {
    if (dpy_) XCloseDisplay(dpy_);
}

Window DialogDriver::wait_for_shell(const std::string &instance, std::chrono::milliseconds limit, int stop_fd) {
    if (!dpy_) return 0;
    QuietErrors quiet(dpy_);
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        // Every map of a top-level window wakes us. The events seen so far are dropped before
        // looking, and any that the look itself read in send us round again, so that a map
        // between the look and the wait is never lost.
        XSync(dpy_, False);
        while (XPending(dpy_)) {
            XEvent e;
            XNextEvent(dpy_, &e);
        }
        if (Window w = find_mapped_shell(dpy_, instance)) return w;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        if (QLength(dpy_) > 0) continue;
        pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int n = poll(fds, stop_fd >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (stop_fd >= 0 && n > 0 && (fds[1].revents & POLLIN)) return 0;
    }
}

Window DialogDriver::message_button(Window shell, int index) {
    // The shell holds the form; its buttons are the mapped children in the bottom row, and
    // hidden buttons are unmapped.
    QuietErrors quiet(dpy_);
    auto forms = children_of(dpy_, shell);
    if (forms.empty()) return 0;
    struct Placed {
        Window window;
        int x, y;
    };
    std::vector<Placed> mapped;
    int bottom = -1;
    for (Window w : children_of(dpy_, forms.front())) {
        XWindowAttributes a{};
        if (!XGetWindowAttributes(dpy_, w, &a) || a.map_state != IsViewable) continue;
        mapped.push_back({w, a.x, a.y});
        bottom = std::max(bottom, a.y);
    }
    std::vector<Placed> row;
    for (const auto &p : mapped) {
        if (p.y == bottom) row.push_back(p);
    }
    std::sort(row.begin(), row.end(), [](const Placed &a, const Placed &b) { return a.x < b.x; });
    return index >= 0 && index < static_cast<int>(row.size()) ? row[index].window : 0;
}

bool DialogDriver::click(Window window) {
    QuietErrors quiet(dpy_);
    int x = 0, y = 0;
    return centre_on_root(dpy_, window, &x, &y) && click_at(x, y);
}

bool DialogDriver::click_until_gone(Window shell, Window button, int stop_fd) {
    QuietErrors quiet(dpy_);
    XSelectInput(dpy_, shell, StructureNotifyMask);
    XSync(dpy_, False);
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
        while (!(gone = went())) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {stop_fd, POLLIN, 0}};
            const int n = poll(fds, stop_fd >= 0 ? 2 : 1, static_cast<int>(left.count()));
            if (stop_fd >= 0 && n > 0 && (fds[1].revents & POLLIN)) return true;
        }
    }
    XSelectInput(dpy_, shell, NoEventMask);
    return gone;
}

bool DialogDriver::point_at(Window window) {
    QuietErrors quiet(dpy_);
    int x = 0, y = 0;
    if (!centre_on_root(dpy_, window, &x, &y)) return false;
    // Through the corner of the screen first: a window that came up under a pointer that
    // has not moved sees no EnterNotify, and Motif then takes no keys.
    move_pointer(dpy_, 0, 0);
    move_pointer(dpy_, x, y);
    XSync(dpy_, False);
    return true;
}

bool DialogDriver::press_key(unsigned long keysym, std::initializer_list<unsigned long> modifiers) {
    xcb_connection_t *c = XGetXCBConnection(dpy_);
    std::vector<KeyCode> held;
    for (unsigned long m : modifiers) {
        KeyCode code = XKeysymToKeycode(dpy_, m);
        if (!code) return false;
        held.push_back(code);
    }
    KeyCode code = XKeysymToKeycode(dpy_, keysym);
    if (!code) return false;
    for (KeyCode m : held) xcb_test_fake_input(c, XCB_KEY_PRESS, m, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c, XCB_KEY_PRESS, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c, XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    for (auto m = held.rbegin(); m != held.rend(); ++m)
        xcb_test_fake_input(c, XCB_KEY_RELEASE, *m, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
    XSync(dpy_, False);
    return true;
}

bool DialogDriver::type_text(const std::string &text) {
    for (char ch : text) {
        KeySym keysym = ch == ' ' ? XK_space : ch == '\n' ? XK_Return : static_cast<KeySym>(static_cast<unsigned char>(ch));
        KeyCode code = XKeysymToKeycode(dpy_, keysym);
        if (!code) return false;
        // A character on the second level of its key needs Shift.
        bool shifted = XkbKeycodeToKeysym(dpy_, code, 0, 0) != keysym;
        if (!press_key(keysym, shifted ? std::initializer_list<unsigned long>{XK_Shift_L}
                                       : std::initializer_list<unsigned long>{}))
            return false;
    }
    return true;
}

bool DialogDriver::click_at(int x, int y) {
    move_pointer(dpy_, x, y);
    xcb_connection_t *c = XGetXCBConnection(dpy_);
    xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
    XSync(dpy_, False);
    return true;
}

bool DialogDriver::drag(Window window, int x0, int y0, int x1, int y1, Display *on) {
    Display *dpy = on ? on : dpy_;
    QuietErrors quiet(dpy);
    xcb_connection_t *c = XGetXCBConnection(dpy);
    Window root = DefaultRootWindow(dpy), child = 0;
    int rx = 0, ry = 0;
    if (!XTranslateCoordinates(dpy, window, root, x0, y0, &rx, &ry, &child)) return false;
    auto move = [&](int x, int y) {
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, static_cast<int16_t>(x),
                            static_cast<int16_t>(y), 0);
    };
    move(rx, ry);
    xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    for (int i = 1; i <= 10; ++i) move(rx + (x1 - x0) * i / 10, ry + (y1 - y0) * i / 10);
    xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
    XSync(dpy, False);
    return true;
}

}  // namespace telvane::testing
