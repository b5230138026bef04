#pragma once
// Launching the whiteboard and snapshot tools.

// Shows a waiting report about a started tool. Called by the main loop.
void display_whiteboard_message();

#include <X11/Intrinsic.h>

// The Create Whiteboard (client data -1) and Create Snapshot (0) menu actions. Returns -1
// when the tool cannot be started (the main loop then tells the user).
int share_launch_callback(Widget widget, XtPointer grab, XtPointer call_data);
