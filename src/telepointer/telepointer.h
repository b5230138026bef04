#pragma once
// Telepointers: the control protocol and the manager that draws shared pointers.

#include <X11/Xlib.h>

// The manager's entry for its requests and for events of windows that belong to no widget.
void ProcessTelepointerEvent(Display *dpy, XEvent *event);
// The control side's entry for the manager's answers (five data words).
void processTelepointerResponse(long w0, long w1, long w2, long w3, long w4);
// Shows a waiting telepointer report. Called by the main loop.
void process_telepointer_message();
// Asks the manager to remove every telepointer on `window`. Returns 0 when no manager runs.
int delete_all_telepointers(Window window);

// The manager's version text; empty until the manager has started.
extern char *telepointer_version;
// The manager's control window; 0 while no manager runs.
extern Window telepointer_control_window;

// The Add and Delete Telepointer menu actions. Return 0 when nothing was requested.
int add_telepointer();
int delete_telepointer();
