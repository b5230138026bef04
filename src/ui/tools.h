#pragma once
// Launching the whiteboard and snapshot tools.

#include <X11/Intrinsic.h>

// Logs and shows that the tool could not be run, and clears the flag. Called by the main loop
// when whiteboard_message is set and no message is up.
void display_whiteboard_message();

// The Create Whiteboard (client data -1) and Create Snapshot (0) menu actions: start the tool
// through the host channel's shell when the tools home has it, else the VIEWER command (or
// "whiteboard") as a process of its own. Returns 0 or the process id on success, -1 when it
// could not be started.
int share_launch_callback(Widget widget, XtPointer grab, XtPointer call_data);

// Asks the main loop to tell the user that the tool cannot be run; returns 1. Called by the
// platform when a started program cannot be executed.
int cannot_exec();
