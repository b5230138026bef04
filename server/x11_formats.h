#pragma once
// Pixel formats read from an X server's set-up: one depth and visual of the sender's windows, or
// the default visual of a receiver's screen.

#include "pixel_format.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <xcb/xcb.h>

namespace telvane::server {

// Whether the set-up's counts (vendor, formats, screens, depths, visuals) all fit in its `size`
// bytes and there is at least one screen. xcb's iterators trust the counts, so a receiver's
// set-up is checked with this before anything reads it; a hostile or broken receiver then
// fails its share instead of having us read past the set-up. Called by connect_receiver.
bool setup_fits(const uint8_t *data, size_t size);
// The same for a set-up xcb read: its size comes from its own length field.
bool setup_fits(const xcb_setup_t *setup);

// The layout of pixels of `depth` shown through `visual` on the server of `setup`; nothing when
// it offers no such pair. The palette stays empty: reading it needs a round trip.
std::optional<PixelFormat> format_of(const xcb_setup_t *setup, uint8_t depth, uint32_t visual);

// Screen number `screen` of `setup` (the first when there is no such screen).
xcb_screen_t *screen_of(const xcb_setup_t *setup, int screen);

}  // namespace telvane::server
