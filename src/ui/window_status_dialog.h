#pragma once
// The window status dialog: the receivers of one chosen window.

#include <X11/Intrinsic.h>

// The window whose receivers the dialog shows; 0 while none is chosen.
extern Window windowListId;
// The dialog's "choose another window" toggle; null until the dialog exists.
extern Widget ChooseAnotherWindow;

// Adds or removes one receiver's alias line in the dialog's list.
void add_WindowStatus(const char *alias);
void delete_WindowStatus(const char *alias);
// Empties the list.
void delete_all_WindowStatus();
// Shows the dialog. Until the dialog exists this only logs.
void popup_WindowStatus();
// Sets the dialog's title; null or empty clears it.
void set_WindowStatus_title(const char *title);
