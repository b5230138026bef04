#pragma once
// Short help texts from the message catalog in quick help dialogs, the help volume "Telvane"
// in a help dialog, and the hooks that the dialogs call for help. The dialogs are Xkh's.

#include <X11/Intrinsic.h>

// The quick-help dialog of the message dialog's Help button; null until first used.
extern Widget Msg_Help;
// The quick-help dialog of the dialogs' Help buttons and help keys; null until first used.
extern Widget Form_Help;

// Shows the catalog text of set and number in `dialog` (created as "QHelp" on `parent` when
// null); a number of 0 or less, or an empty entry, gives `fallback`, and an empty fallback
// "Help Not Available". Returns the dialog. Called by the help hooks below.
Widget quick_help(Widget dialog, Widget parent, int set, int number, const char *fallback);

// The help dialog on the volume "Telvane"; null until first used.
extern Widget Main_Help;

// Opens the help dialog (made on first use) on the volume's troubleshooting topic when `client`
// is 810, else on its home topic. For a help menu entry or key; nothing calls it yet.
void menu_help(Widget widget, XtPointer client);

// Quick help for a message, over the message dialog. Called by its Help button.
void help_message(Widget widget, int set, int number, const char *fallback);

// Attaches help to a dialog's control; help comes from the Help buttons, so nothing is kept.
void set_item_help(Widget widget, int number);
// The same for a scrolled window's and a scale's parts.
void set_item_helpSW(Widget widget, int number);
void set_item_helpSC(Widget widget, int number);
// Shows `cursor` on the help windows. Called by the busy cursor.
void cursor_Help(Cursor cursor);
// Takes down a help dialog that holds a grab. Called when a dialog closes.
void popdown_Help_ifgrabbed();

// Quick help for catalog set 6, `number`, over the main window. The dialogs' help callbacks.
void form_help(Widget widget, int number);
// Shows the version texts of the program, the server's extension and the telepointers.
void version_help(Widget widget, XtPointer client_data, XtPointer call_data);
// Builds the Help menu ("On_Version") on `menubar` and returns its pulldown.
Widget create_HelpMenu(Widget menubar);
