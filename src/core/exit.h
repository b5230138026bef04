#pragma once
// Leaving the program: unshare everything first, then close the dialogs and exit.

#include <X11/Intrinsic.h>

// The user's exit (Exit menu entry, window manager close): asks before closing active
// shares and, after adding rows, before leaving. Returns 0 when the user cancels; otherwise
// does not return.
int exit_cleanup_ask();
// Unshares every window from every receiver; returns when no shared window is recorded.
void exit_cleanup_windows();
// Unshares all windows of one receiver when it has any. Iterator callback.
void exit_callback(Atom host, char *name, char *alias);
// Closes the windows, logs and exits with status 0.
void exit_cleanup_exit();
// Ends the program in order without asking anything: logs `why`, unshares everything, closes
// the windows, logs and exits with status 0. Called when nobody can be asked: the telepointer
// manager told to stop, the main window destroyed under the program.
void exit_unasked(const char *why);
// Input handler of the host channel: the host side has gone away.
void peer_died(XtPointer client_data, int *source, XtInputId *id);
// Set while exit_now_callback runs.
extern int already_called;
// The platform's request to exit: behaves as exit_cleanup_ask, and ignores a request that
// arrives while an earlier one still runs (a question open in a nested loop).
void exit_now_callback();
// Offered to the platform for signals that should not end the program; does nothing.
void signal_catcher();
