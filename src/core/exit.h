#pragma once
// Leaving the program: unshare everything first, then close the dialogs and exit.

#include <X11/Intrinsic.h>

// Input handler of the host channel: the host side has gone away.
void peer_died(XtPointer client_data, int *source, XtInputId *id);
