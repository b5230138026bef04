#pragma once
// Other clients' windows on a test display, as the programs people share, and a receiver's mirrors.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "x_probe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace telvane::testing {

// A window id as the log prints it.
inline std::string hex(Window w) {
    char text[32];
    snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(w));
    return text;
}

// A window's WM_NAME on `dpy` (its _NET_WM_NAME when `net`), or "<none>" when it has none of
// the right type (STRING, or UTF8_STRING; `type` when given).
inline std::string window_title(Display *dpy, Window w, bool net = false, const char *type = nullptr) {
    XTextProperty t{};
    if (!XGetTextProperty(dpy, w, &t, net ? XInternAtom(dpy, "_NET_WM_NAME", False) : XA_WM_NAME)) return "<none>";
    const bool ok = t.value && t.encoding == XInternAtom(dpy, type ? type : net ? "UTF8_STRING" : "STRING", False);
    std::string s = ok ? std::string(reinterpret_cast<char *>(t.value), t.nitems) : "<none>";
    if (t.value) XFree(t.value);
    return s;
}

// What `dpy` gets when it grabs the pointer (let go at once): AlreadyGrabbed while another holds it.
inline int try_pointer_grab(Display *dpy) {
    int status = XGrabPointer(dpy, DefaultRootWindow(dpy), False, 0, GrabModeAsync, GrabModeAsync, None, None,
                              CurrentTime);
    if (status == GrabSuccess) XUngrabPointer(dpy, CurrentTime);
    XSync(dpy, False);
    return status;
}

class OtherClient {
public:
    explicit OtherClient(const std::string &display_name) : dpy_(XOpenDisplay(display_name.c_str())) {}
    ~OtherClient() {
        if (dpy_) XCloseDisplay(dpy_);
    }
    OtherClient(const OtherClient &) = delete;
    OtherClient &operator=(const OtherClient &) = delete;
    explicit operator bool() const { return dpy_ != nullptr; }

    // A mapped window at x, y of `parent` (0: the root), named when `name` is given.
    Window window(int x, int y, int w, int h, const char *name = nullptr, Window parent = 0) {
        Window win = XCreateSimpleWindow(dpy_, parent ? parent : DefaultRootWindow(dpy_), x, y, w, h, 0, 0, 0);
        if (name) XStoreName(dpy_, win, name);
        XSizeHints where{};
        where.flags = USPosition | USSize;   // window managers keep it there, under the tests' clicks
        XSetWMNormalHints(dpy_, win, &where);
        XMapWindow(dpy_, win);
        XSync(dpy_, False);
        return win;
    }
    void set_class(Window win, const char *instance, const char *klass) {
        XClassHint hint{const_cast<char *>(instance), const_cast<char *>(klass)};
        XSetClassHint(dpy_, win, &hint);
        XSync(dpy_, False);
    }
    void set_text(Window win, const char *property, const char *text, const char *type = "STRING") {
        XChangeProperty(dpy_, win, XInternAtom(dpy_, property, False), XInternAtom(dpy_, type, False), 8,
                        PropModeReplace, reinterpret_cast<const unsigned char *>(text), static_cast<int>(strlen(text)));
        XSync(dpy_, False);
    }

private:
    Display *dpy_;
};

// One titled window of a client of its own, as people share them; gone with the object.
class ForeignWindow : OtherClient {
public:
    ForeignWindow(const std::string &display_name, const char *title, int x = 10, int y = 10, int width = 120,
                  int height = 80)
        : OtherClient(display_name), window_(*this ? window(x, y, width, height, title) : 0) {}
    Window id() const { return window_; }
    void rename(const char *title, const char *type = "STRING") { set_text(window_, "WM_NAME", title, type); }
    void rename_net(const char *title) { set_text(window_, "_NET_WM_NAME", title, "UTF8_STRING"); }

private:
    Window window_;
};

// The top-level windows of `display_name` carrying TL_SERVER_NAME: mirrors of shared windows.
inline std::vector<Window> mirror_windows(const std::string &display_name) {
    std::vector<Window> out;
    Display *rx = XOpenDisplay(display_name.c_str());
    if (!rx) return out;
    Atom sender = XInternAtom(rx, "TL_SERVER_NAME", False);
    for (Window w : children_of(rx)) {
        int n = 0;
        Atom *names = XListProperties(rx, w, &n);
        if (names && std::find(names, names + n, sender) != names + n) out.push_back(w);
        if (names) XFree(names);
    }
    XCloseDisplay(rx);
    return out;
}

}  // namespace telvane::testing
