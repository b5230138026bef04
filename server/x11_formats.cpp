// Reads pixel formats out of a server's set-up; no requests are made.
#include "x11_formats.h"

namespace telvane::server {

std::optional<PixelFormat> format_of(const xcb_setup_t *setup, uint8_t depth, uint32_t visual) {
    PixelFormat f;
    f.depth = depth;
    f.order = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST ? wire::ByteOrder::Msb : wire::ByteOrder::Lsb;
    bool have_layout = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
        if (it.data->depth != depth) continue;
        f.bits_per_pixel = it.data->bits_per_pixel;
        f.scanline_pad = it.data->scanline_pad;
        have_layout = true;
    }
    if (!have_layout) return std::nullopt;
    for (auto s = xcb_setup_roots_iterator(setup); s.rem; xcb_screen_next(&s)) {
        for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem; xcb_depth_next(&d)) {
            if (d.data->depth != depth) continue;
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
                if (v.data->visual_id != visual) continue;
                f.visual_class = static_cast<VisualClass>(v.data->_class);
                f.red_mask = v.data->red_mask;
                f.green_mask = v.data->green_mask;
                f.blue_mask = v.data->blue_mask;
                return f;
            }
        }
    }
    return std::nullopt;
}

xcb_screen_t *screen_of(const xcb_setup_t *setup, int screen) {
    auto it = xcb_setup_roots_iterator(setup);
    xcb_screen_t *first = it.data;
    for (int i = 0; it.rem; ++i, xcb_screen_next(&it))
        if (i == screen) return it.data;
    return first;
}

}  // namespace telvane::server
