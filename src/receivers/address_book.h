#pragma once
// The address book dialog "Address_Book": the private and public books side by side, the
// lines of the one selected, and copying chosen lines into the receiver list. It stays up
// beside the main window and reads folders and books again only when they changed on disk.

#include <X11/Intrinsic.h>

// The dialog's shell and its three lists; null until create_AddressBook.
extern Widget AddressBookSH;
extern Widget PrivateList;
extern Widget PublicList;
extern Widget AddressList;
// 1 while the dialog's shell is mapped, else 0.
extern int AddressBook_is_mapped;

// Builds the dialog (hidden) with the hour-glass shown. Called by popup_AddressBook on first
// use; does nothing when it exists.
void create_AddressBook();
// Shows the dialog beside the main window without a grab and raises it; when it is up
// already, refreshes it. The "Open Address Book" menu entry calls it.
void popup_AddressBook();
// Takes the dialog down; its lists and stamps stay for the next map.
void popdown_AddressBook();
// Shows `cursor` on the dialog, when it exists. Called by the hour-glass.
void cursor_AddressBook(Cursor cursor);
// Refills the book lists whose folder changed on disk and selects the selected book again,
// which reloads its lines only when the file changed. Does nothing before the dialog exists.
// Called on every map and after the save dialog wrote a book.
void update_AddressBook();

// Callbacks, in the toolkit's signatures.
// A private (user_) or public (system_) book was selected or deselected.
void user_select_AB_callback(Widget widget, XtPointer client, XtPointer call);
void system_select_AB_callback(Widget widget, XtPointer client, XtPointer call);
// "Copy_to_Receiver_List": the selected lines become receiver rows.
void copy_AB_callback(Widget widget, XtPointer client, XtPointer call);
// "Close", and the window manager's close.
void close_AB_callback(Widget widget, XtPointer client, XtPointer call);
void delete_AB_callback(Widget widget, XtPointer client, XtPointer call);
// Structure events of the shell: keeps AddressBook_is_mapped and refreshes on every map.
void map_AB_callback(Widget widget, XtPointer client, XEvent *event, Boolean *go_on);

// Forgets the dialog of a display that has been closed, so that the next popup builds it
// afresh. Called when a display connection is dropped (tests do).
void forget_AddressBook();
