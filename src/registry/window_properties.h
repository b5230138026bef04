#pragma once
// Properties of shared windows: title marks, daisy-chain marks, and their upkeep.

#include <X11/Xlib.h>

// Re-marks a shared window's title that its client changed. Called by the main loop for
// every PropertyNotify.
void property_event(XEvent *event);

// 1 when `window` carries the property named `name`, else 0.
int is_property_set_str(Window window, const char *name);
// Removes the title mark of a window that is shared no more. Returns 1 when a mark was removed.
int unset_shared_from(Window window);
// Removes TL_DAISY_CHAIN_ALLOWED when this program set it (it is in the daisy-allowed list).
// Returns 1 when removed, 0 when the mark was not ours and was left alone.
int unset_daisy_chain(Window window);
