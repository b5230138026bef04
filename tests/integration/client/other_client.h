#pragma once
// Another client on a test display with windows of its own, as the programs people share:
// named or not, nested, with WM_CLASS and string properties.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>
#include <string>

namespace telvane::testing {

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
        XMapWindow(dpy_, win);
        XSync(dpy_, False);
        return win;
    }
    void set_class(Window win, const char *instance, const char *klass) {
        XClassHint hint{const_cast<char *>(instance), const_cast<char *>(klass)};
        XSetClassHint(dpy_, win, &hint);
        XSync(dpy_, False);
    }
    void set_text(Window win, const char *property, const char *text) {
        XChangeProperty(dpy_, win, XInternAtom(dpy_, property, False), XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(text), static_cast<int>(strlen(text)));
        XSync(dpy_, False);
    }

private:
    Display *dpy_;
};

}  // namespace telvane::testing
