#pragma once
// Pixel formats read from an X server's set-up: one depth and visual of the sender's windows, or
// the default visual of a receiver's screen.

#include "pixel_format.h"

#include <optional>
#include <xcb/xcb.h>

namespace telvane::server {

// The layout of pixels of `depth` shown through `visual` on the server of `setup`; nothing when
// it offers no such pair. The palette stays empty: reading it needs a round trip.
std::optional<PixelFormat> format_of(const xcb_setup_t *setup, uint8_t depth, uint32_t visual);

// Screen number `screen` of `setup` (the first when there is no such screen).
xcb_screen_t *screen_of(const xcb_setup_t *setup, int screen);

}  // namespace telvane::server
