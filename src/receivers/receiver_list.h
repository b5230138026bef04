#pragma once
// The receiver list's operations: share, unshare and disconnect the selected receivers,
// delete, move, edit and save rows, share the same windows to all of them, and show which
// windows they have.

#include <X11/Intrinsic.h>

// Share (client data 1: a single window, 2: the window's application) to the selected rows.
void share_to_receivers(Widget widget, XtPointer client_data, XtPointer call_data);
// Unshare a picked window from the selected rows.
void unshare_from_receivers(Widget widget, XtPointer client_data, XtPointer call_data);
// Disconnect every receiver (client data 1) or the selected ones (2).
void disconnect_receivers(Widget widget, XtPointer client_data, XtPointer call_data);
// Disconnects one receiver: cancels its consent question, unshares all its windows, and
// deselects the row `alias` when given. Called by disconnect_receivers and external requests.
void disconnect_callback(Atom host, char *display_name, char *alias);
// Delete every row (client data 1) or the selected ones (2), keeping rows still sharing.
void clear_receivers(Widget widget, XtPointer client_data, XtPointer call_data);
// Moves the selected rows to the top, in their order, still selected.
void move_to_top(Widget widget, XtPointer client_data, XtPointer call_data);
// Share Same Windows for the selected rows.
void share_same_window_callback(Widget widget, XtPointer client_data, XtPointer call_data);
// Shares every window shared to any of `hosts` to all of them. Returns the reply status: kDone,
// kInvalidReceiver for fewer than two receivers, kShareSameNothingShared when none has a shared
// window. Also used by external requests.
int share_same_window(int count, Atom *hosts);
// Puts the one selected row into the edit line for editing and removes it.
void edit_receiver(Widget widget, XtPointer client_data, XtPointer call_data);
// Opens the save dialog for the selected rows.
void save_receivers(Widget widget, XtPointer client_data, XtPointer call_data);
// Raises the windows shared to the selected receivers in front of a curtain until the user
// is done. Returns 1.
int show_windows_shared_to(Widget widget, XtPointer client_data, XtPointer call_data);
// A newly allocated array (free with free) of the host atoms of the selected rows, in
// selection order, or null when none; returns their number. Called by external requests.
int get_selected_receivers(Atom **hosts, int *count);

// Forgets the curtains made for a display that has been closed.
void forget_receiver_list();
