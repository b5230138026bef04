#pragma once
// Properties of shared windows: title marks, daisy-chain marks, and their upkeep.

#include <X11/Xlib.h>

// Re-marks a shared window's title that its client changed. Called by the main loop for
// every PropertyNotify.
void property_event(XEvent *event);
