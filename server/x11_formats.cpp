// Reads pixel formats out of a server's set-up; no requests are made.
#include "x11_formats.h"

namespace telvane::server {

bool setup_fits(const uint8_t *data, size_t size) {
    if (!data || size < sizeof(xcb_setup_t)) return false;
    const auto *setup = reinterpret_cast<const xcb_setup_t *>(data);
    if (setup->roots_len == 0) return false;
    auto pad4 = [](size_t n) { return (n + 3) & ~size_t{3}; };
    size_t at = sizeof(xcb_setup_t) + pad4(setup->vendor_len);
    at += size_t{setup->pixmap_formats_len} * sizeof(xcb_format_t);
    if (at > size) return false;
    for (unsigned s = 0; s < setup->roots_len; ++s) {
        if (size - at < sizeof(xcb_screen_t)) return false;
        const auto *screen = reinterpret_cast<const xcb_screen_t *>(data + at);
        at += sizeof(xcb_screen_t);
        for (unsigned d = 0; d < screen->allowed_depths_len; ++d) {
            if (size - at < sizeof(xcb_depth_t)) return false;
            const auto *depth = reinterpret_cast<const xcb_depth_t *>(data + at);
            at += sizeof(xcb_depth_t);
            const size_t visuals = size_t{depth->visuals_len} * sizeof(xcb_visualtype_t);
            if (size - at < visuals) return false;
            at += visuals;
        }
    }
    return true;
}

bool setup_fits(const xcb_setup_t *setup) {
    if (!setup) return false;
    return setup_fits(reinterpret_cast<const uint8_t *>(setup), 8 + size_t{setup->length} * 4);
}

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
