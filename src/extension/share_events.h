#pragma once
// Handling of the server's share events, and the grouped problem reports they gather.

#include <X11/Xlib.h>

// Handles one share event (a TelvaneEvent in an XEvent). Called by the main loop.
void processTelvaneEvent(XEvent *event);

// Shows each gathered problem list as one dialog. Called by the main loop between events.
void process_event_messages();
