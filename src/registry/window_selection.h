#pragma once
// Picking windows and asking for their share; for now the state the event handler reads.

#include <X11/Xlib.h>

// The window whose share request is being processed; 0 outside that processing. The
// registry stores it in each new tag.
extern Window user_picked;

// Sets the window status dialog's title to the name of the window it shows. Called when
// that window's title changes.
void window_receiver_namechange();
