// libFuzzer target for a receiver's X set-up: one that setup_fits() lets through is readable
// whole, every screen, depth and visual, without reading past its end (AddressSanitizer sees).
#include "x11_formats.h"
#include "fuzz_target.h"

using namespace telvane::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A buffer of exactly the input's size, so that any read past it is caught.
    std::vector<uint8_t> copy(data, data + size);
    if (!setup_fits(copy.data(), copy.size())) return 0;
    const auto *setup = reinterpret_cast<const xcb_setup_t *>(copy.data());
    for (auto s = xcb_setup_roots_iterator(setup); s.rem; xcb_screen_next(&s)) {
        (void)format_of(setup, s.data->root_depth, s.data->root_visual);
        for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem; xcb_depth_next(&d))
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
                (void)format_of(setup, d.data->depth, v.data->visual_id);
    }
    if (!screen_of(setup, 3)) std::abort();
    return 0;
}
