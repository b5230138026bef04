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
