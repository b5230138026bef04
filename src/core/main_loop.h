#pragma once
// The program's one event loop, nested by modal waits, and the flags that steer it.

// The answer that ends the innermost running loop; negative while none has been given.
extern int global_return_variable;
// Set when grouped problem reports wait to be shown.
extern int event_messages_pending;
// 0 when no message dialog is up; otherwise set * 65536 + number of the message shown.
extern int message_in_progress;
// Set when a telepointer report waits to be shown.
extern int telepointer_message;
// Set when a report about a started tool waits to be shown.
extern int whiteboard_message;
// 1 while the main window's shell is unmapped; no dialogs are shown then.
extern int TOPLEVEL_UNMAPPED;
// External requests are obeyed only while this is non-zero. Default 0.
extern int enableCommandLine;

#include <X11/Xlib.h>

// Runs the event loop until an answer (global_return_variable >= 0) is given; returns it and
// restores the variable's value from before, so that loops nest. Called by start-up forever
// and by every modal wait.
int main_loop();

// Routes one event as the main loop does: share events and property changes to
// main_loop_dispatch, telepointer requests and events of windows that belong to no widget to
// the telepointer manager, the rest to main_loop_dispatch. Returns 0. Called by main_loop and
// by whatever handles events in its place.
int main_loop_route(XEvent *event);

// Routes one event: property changes to the property handler (and on), share events (with
// every further one already queued) to the share event handler, telepointer answers and
// external requests to their handlers, the main window's map state into TOPLEVEL_UNMAPPED,
// the rest to the toolkit. Returns 0.
int main_loop_dispatch(XEvent *event);

// Handles every event the server has sent so far. Called once at start-up.
void initialize_main_loop_empty();

// Handles every share event the server has sent so far and no other; returns 0. Called after
// each share, unshare or disconnect request and during exit.
int main_loop_empty_tl();

// Lets the toolkit redraw the main window at once. Called during long operations.
void update_display();
