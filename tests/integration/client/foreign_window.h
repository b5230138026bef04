#pragma once
// A window of another client on a display, as the windows people share are: its own
// connection, a title, mapped at creation, gone with the object.
#include <X11/Xlib.h>

#include <string>

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

}  // namespace telvane::testing
