#pragma once
// Short help texts from the message catalog in a quick-help dialog, and the hooks that the
// dialogs call for help. The full help browser is not part of this program yet.

#include <X11/Intrinsic.h>

// The quick-help dialog of the message dialog's Help button; null until first used.
extern Widget Msg_Help;
// The quick-help dialog of the dialogs' Help buttons and help keys; null until first used.
extern Widget Form_Help;

// Shows the catalog text of set and number in `dialog` (created as "QHelp" on `parent` when
// null); a number of 0 or less, or an empty entry, gives `fallback`, and an empty fallback
// "Help Not Available". Returns the dialog. Called by the help hooks below.
Widget quick_help(Widget dialog, Widget parent, int set, int number, const char *fallback);

// Quick help for a message, over the message dialog. Called by its Help button.
void help_message(Widget widget, int set, int number, const char *fallback);

// Attaches help to a dialog's control; help comes from the Help buttons, so nothing is kept.
void set_item_help(Widget widget, int number);
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
