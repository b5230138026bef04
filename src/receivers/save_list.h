#pragma once
// The save dialog "Address_Book_File": writes the selected receiver rows into an address
// book, a private one unless the name is a path, so that the group can be found again.

#include <X11/Intrinsic.h>

// The prompt dialog and its shell; null until first shown.
extern Widget SaveList;
extern Widget SaveListSH;

// Shows the save dialog with the name preset to "Default" (the private default book that
// start-up loads), the focus in the name field. Called by "Save Selected in Address Book"
// once at least one row is selected.
void popup_SaveList();
// Takes the dialog down, when it exists.
void popdown_SaveList();
// Shows `cursor` on the dialog, when it exists. Called by the hour-glass.
void cursor_SaveList(Cursor cursor);

// Replaces the text of the name field; returns a newly allocated copy of it (free with free;
// empty before the dialog exists).
void set_SaveList_str(const char *text);
char *get_SaveList_str();

// OK (client data 0) writes the book anew, asking first when it exists; Apply (client data 1)
// appends to it. Every refusal and failure is told over the dialog, which then stays up.
void ok_SL_callback(Widget widget, XtPointer client, XtPointer call);
// Cancel, and the window manager's close (which first takes down a message that holds a grab).
void cancel_SL_callback(Widget widget, XtPointer client, XtPointer call);
void delete_SL_callback(Widget widget, XtPointer client, XtPointer call);

// Forgets the dialog of a display that has been closed. Called when a display connection is
// dropped (tests do).
void forget_SaveList();
