#pragma once
// Looking at a display from outside with Xlib: a window's children, pixels, the window manager's close.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>
#include <vector>

namespace telvane::testing {

// The children of `window` (the root when 0), bottom of the stack first; empty when it is gone.
inline std::vector<Window> children_of(Display *dpy, Window window = 0) {
    Window root = 0, parent = 0, *kids = nullptr;
    unsigned int n = 0;
    std::vector<Window> out;
    if (XQueryTree(dpy, window ? window : DefaultRootWindow(dpy), &root, &parent, &kids, &n)) out.assign(kids, kids + n);
    XFree(kids);   // like free, it takes a null pointer
    return out;
}

// Whether `window` is mapped and all its ancestors are; false when it is gone.
inline bool viewable(Display *dpy, Window window) {
    XWindowAttributes a{};
    return XGetWindowAttributes(dpy, window, &a) && a.map_state == IsViewable;
}

// The w x h area at (x, y) of `window` as an image, or null when it cannot be read.
inline std::unique_ptr<XImage, int (*)(XImage *)> image_of(Display *dpy, Window window, int x, int y, int w, int h) {
    return {XGetImage(dpy, window, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h), AllPlanes, ZPixmap),
            [](XImage *image) { return XDestroyImage(image); }};
}

// The pixel at (x, y) of `window` as 0xRRGGBB on a 24-bit TrueColor display; 0xdeadbeef when
// it cannot be read.
inline unsigned long pixel_at(Display *dpy, Window window, int x, int y) {
    const auto image = image_of(dpy, window, x, y, 1, 1);
    return image ? XGetPixel(image.get(), 0, 0) & 0xffffff : 0xdeadbeef;
}

// How many pixels of the w x h area at (x, y) of `window` are `colour`; -1 when unreadable.
inline int pixels_of(Display *dpy, Window window, int x, int y, int w, int h, unsigned long colour) {
    const auto image = image_of(dpy, window, x, y, w, h);
    if (!image) return -1;
    int n = 0;
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) n += XGetPixel(image.get(), i, j) == colour;
    return n;
}

// Sends the window manager's close (WM_DELETE_WINDOW, at CurrentTime) to the shell `window`, as
// a window manager does when its user closes the window.
inline void close_by_window_manager(Display *dpy, Window window) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    XSendEvent(dpy, window, False, NoEventMask, &e);
    XSync(dpy, False);
}

}  // namespace telvane::testing
