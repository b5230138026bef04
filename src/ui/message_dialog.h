#pragma once
// The one reusable modal message dialog. Until the Motif dialog lands, messages are written
// to standard error with their kind, so that no notice is lost.

#include <X11/Intrinsic.h>

// 1 when a message of `level` is not to be shown: the main window is unmapped, or the user's
// dialog level is below `level`. Called by the message functions.
int message_suppressed(int level);

// Shows an already formatted text and returns the answer (1 OK/Yes, 0 Cancel/No/closed).
int message_show(Widget parent, int type, int set, int number, const char *text);
