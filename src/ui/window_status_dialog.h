#pragma once
// The window status dialog: the receivers of one chosen window, kept live from the registry.

#include <X11/Intrinsic.h>

// The window whose receivers the dialog shows; 0 while none is chosen.
extern Window windowListId;
// The dialog's widgets, null until the dialog is first needed.
extern Widget WindowStatusSH, StatusTitle, ChooseAnotherWindow, StatusListSW, StatusList, NoStatusList;
// 1 while the dialog's shell is mapped.
extern int WindowStatus_is_mapped;

// Creates the dialog when needed (hour-glass meanwhile), pops it up without a grab and raises
// it. Called when a window has been chosen.
void popup_WindowStatus();
// Pops the dialog down when it exists. Called by exit and by Close.
void popdown_WindowStatus();
// Shows `cursor` on the dialog when it exists. Called by the busy cursor.
void cursor_WindowStatus(Cursor cursor);
// Creates the dialog when needed and shows `title` (null or empty: a blank) as the window's
// title. Called when the chosen window is chosen or renamed.
void set_WindowStatus_title(const char *title);
// Creates the dialog when needed and adds `alias` first in the list, which then shows in
// place of Window_Not_Shared; with `plain` set the item says that the receiver's connection is
// not encrypted. Called when the chosen window gains a receiver.
void add_WindowStatus(const char *alias, int plain = 0);
// Deletes the first item equal to `alias` (marked as add_WindowStatus marked it for `plain`),
// when the dialog exists; an emptied list gives way to Window_Not_Shared. Called when the
// chosen window loses a receiver.
void delete_WindowStatus(const char *alias, int plain = 0);
// Deletes every item and shows Window_Not_Shared, when the dialog exists. Called before a
// newly chosen window's receivers are listed.
void delete_all_WindowStatus();
// Structure handler of the shell: follows its map state in WindowStatus_is_mapped.
void map_WS_callback(Widget widget, XtPointer data, XEvent *event, Boolean *go_on);
// The window manager's close: pops the dialog down while it is mapped.
void delete_WS_callback(Widget widget, XtPointer data, XtPointer call);
// Forgets the dialog after its display has gone. For tests.
void forget_WindowStatus();
