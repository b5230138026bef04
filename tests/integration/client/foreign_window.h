#pragma once
// Windows of other clients for the tests: a window as people share them (its own connection,
// a title, mapped at creation, gone with the object), and the mirrors on a receiver.
#include <X11/Xlib.h>

#include <string>
#include <vector>

namespace telvane::testing {

class ForeignWindow {
public:
    ForeignWindow(const std::string &display_name, const char *title, int x = 10, int y = 10,
                  unsigned width = 120, unsigned height = 80) {
        dpy_ = XOpenDisplay(display_name.c_str());
        if (!dpy_) return;
        window_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), x, y, width, height, 0, 0, 0);
        XStoreName(dpy_, window_, title);
        XMapWindow(dpy_, window_);
        XSync(dpy_, False);
    }
    ~ForeignWindow() {
        if (dpy_) XCloseDisplay(dpy_);
    }
    ForeignWindow(const ForeignWindow &) = delete;
    ForeignWindow &operator=(const ForeignWindow &) = delete;
    Window id() const { return window_; }
    void rename(const char *title) {
        XStoreName(dpy_, window_, title);
        XSync(dpy_, False);
    }

private:
    Display *dpy_ = nullptr;
    Window window_ = 0;
};

// The top-level windows of `display_name` that are mirrors of shared windows: they carry the
// sender's name in TL_SERVER_NAME. Empty when the display cannot be opened.
inline std::vector<Window> mirror_windows(const std::string &display_name) {
    std::vector<Window> out;
    Display *rx = XOpenDisplay(display_name.c_str());
    if (!rx) return out;
    Atom sender = XInternAtom(rx, "TL_SERVER_NAME", False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int n = 0;
    XQueryTree(rx, DefaultRootWindow(rx), &root, &parent, &children, &n);
    for (unsigned int i = 0; i < n; ++i) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(rx, children[i], sender, 0, 20, False, AnyPropertyType, &type, &format, &items, &after,
                               &data) == Success &&
            type != None)
            out.push_back(children[i]);
        if (data) XFree(data);
    }
    if (children) XFree(children);
    XCloseDisplay(rx);
    return out;
}

}  // namespace telvane::testing
