#pragma once
// Writing what the board shows to a file.

#include <X11/Xlib.h>

#include <string>

namespace whiteboard {

// Writes `image` (read from a drawable of `visual` with `colormap`) as a PNG file. Returns an
// empty text on success, else why it failed. Called by Save.
std::string write_png(Display *display, Visual *visual, Colormap colormap, XImage *image, const char *path);
// Writes `image` as an XPM file with libXpm. Same result as write_png.
std::string write_xpm(Display *display, Colormap colormap, XImage *image, const char *path);

}  // namespace whiteboard
