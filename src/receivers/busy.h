#pragma once
// The two busy indicators: the watch cursor over every window of the program, counted so
// that nested work shows it once, and the "Busy Sharing Windows" notice.

#include <X11/Intrinsic.h>

// Counts one piece of work up and shows the watch cursor. Called around any long operation.
void start_hourglass();
// Counts one piece of work down; the last one restores the normal cursor.
void stop_hourglass();
// How many pieces of work are running now (0 when the cursor is normal).
int hourglass_depth();

// The busy-sharing notice and its shell; null until first shown.
extern Widget BusySharing;
extern Widget BusySharingSH;
// 1 while the busy-sharing notice is up.
extern int isBusy;

// Shows the notice before a share request unless the main window is hidden. Called by
// share_please.
void start_busy_sharing();
// Shows the notice when it is not up yet; nothing waits for it to be drawn.
void popup_BusySharing();
// Ends a batch of share requests: the notice goes 2 seconds later, unless another batch has
// begun by then, and the program goes on at once. Called after a batch of share requests and
// when a receiver's consent service answers.
void stop_busy_sharing();

// Forgets the notice and the cursors made for a display that has been closed.
void forget_busy_indicators();
