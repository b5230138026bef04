// Pictures of the board: PNG through libpng, XPM through libXpm.
#include "board_image.h"

#include <X11/Xutil.h>
#include <X11/xpm.h>
#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace whiteboard {

namespace {

// The 8-bit value of the bits of `pixel` under `mask`.
unsigned channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    unsigned long bits = mask >> shift;
    unsigned long value = (pixel & mask) >> shift;
    return static_cast<unsigned>(value * 255 / bits);
}

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

}  // namespace

std::string write_png(Display *display, Visual *visual, Colormap colormap, XImage *image, const char *path) {
    if (!image) return "nothing to write";
    const int w = image->width, h = image->height;
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    const bool true_colour = visual && (visual->c_class == TrueColor || visual->c_class == DirectColor);
    std::unordered_map<unsigned long, XColor> known;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned long p = XGetPixel(image, x, y);
            unsigned char *out = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            if (true_colour) {
                out[0] = static_cast<unsigned char>(channel(p, visual->red_mask));
                out[1] = static_cast<unsigned char>(channel(p, visual->green_mask));
                out[2] = static_cast<unsigned char>(channel(p, visual->blue_mask));
                continue;
            }
            auto it = known.find(p);
            if (it == known.end()) {
                XColor c{};
                c.pixel = p;
                XQueryColor(display, colormap, &c);
                it = known.emplace(p, c).first;
            }
            out[0] = static_cast<unsigned char>(it->second.red >> 8);
            out[1] = static_cast<unsigned char>(it->second.green >> 8);
            out[2] = static_cast<unsigned char>(it->second.blue >> 8);
        }
    }
    std::unique_ptr<FILE, FileCloser> file(fopen(path, "wb"));
    if (!file) return strerror(errno);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return "out of memory";
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return "out of memory";
    }
    // libpng reports its errors by longjmp; nothing here needs unwinding past this point.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "the file could not be written";
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < h; ++y) png_write_row(png, &rgb[static_cast<size_t>(y) * w * 3]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (fflush(file.get()) != 0 || ferror(file.get())) return "the file could not be written";
    return "";
}

std::string write_xpm(Display *display, Colormap colormap, XImage *image, const char *path) {
    if (!image) return "nothing to write";
    XpmAttributes attributes{};
    attributes.valuemask = XpmColormap;
    attributes.colormap = colormap;
    int status = XpmWriteFileFromImage(display, const_cast<char *>(path), image, nullptr, &attributes);
    if (status == XpmSuccess) return "";
    return XpmGetErrorString(status);
}

}  // namespace whiteboard
