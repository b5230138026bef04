#pragma once
// The window status dialog: the receivers of one chosen window.

#include <X11/Xlib.h>

// The window whose receivers the dialog shows; 0 while none is chosen.
extern Window windowListId;
// Adds or removes one receiver's alias line in the dialog's list.
void add_WindowStatus(const char *alias);
void delete_WindowStatus(const char *alias);
