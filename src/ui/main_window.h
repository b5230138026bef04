#pragma once
// The main window: menu bar, the receiver name line, the Share, Unshare and Disconnect
// controls, the receiver list and the column of per-receiver input controls beside it.

#include <X11/Intrinsic.h>
#include <Xm/Xm.h>

#include <string>
#include <vector>

// The main window's shell (TopLevel itself once the window is built).
extern Widget TelvaneSH;
// The receiver name field, the receiver list, the Share and Unshare toggles, the board of
// input controls and the list's vertical scroll bar; null until create_Telvane.
extern Widget EditText;
extern Widget ReceiverList;
extern Widget ShareButton;
extern Widget UnshareButton;
extern Widget InputStatusBB;
extern Widget RLvsbW;
// The list's view and row geometry as last read by update_input_status_positions.
extern int RLvsbValue;
extern int RLvic;
extern int RL_spacing;
extern int RL_highlight;
extern int RL_offset;
// How many input controls the last repositioning showed.
extern int update_count;
// 0 makes the main window start hidden (driven by external requests only). Default 1.
extern int TLCMDConnector_is_visible;

// Builds the whole main window on TopLevel and returns the shell. Called once by start-up.
Widget create_Telvane();
// Pops the main window up (building it first when needed) and raises it.
void popup_Telvane();
// Unmaps the main window, when it exists.
void popdown_Telvane();
// Shows `cursor` on the main window, when it exists. Called by the hour-glass.
void cursor_Telvane(Cursor cursor);

// The receiver name field: replace its text, get a copy (caller frees with XtFree), focus it.
void put_edit_text(const char *text);
char *get_edit_text();
void focus_edit_text();

// The selected rows of the receiver list (owned by the list), or a copy of them (free with
// free_replicated_list). Called by every operation on the selection.
void find_receivers_selected(int *count, XmStringTable *items);
void replicate_receivers_selected(int *count, XmStringTable *items);
// The list's foreground and background pixels; the input controls are painted with them.
void find_ReceiverList_colors(Pixel *foreground, Pixel *background);
// Shows or hides the list (hidden while many rows change), then updates the display.
void manage_ReceiverList();
void unmanage_ReceiverList();

// Adds the alias line `item` at `position` (1 = top) under the admission rules: returns 0
// for a new row, 1 for an exact duplicate, 2 when the name does not resolve (the user is
// told), or the host atom of the receiver that already has that display. Selects the row
// when `select` is set and scrolls to it. Called by the matching of typed names and files.
unsigned long add_to_ReceiverList(XmString item, int position, int select);
// Adds many alias lines at once, as add_to_ReceiverList at the top would one after another from
// the last line to the first, so that they stand in their own order: one result per line, under
// the same rules, with the same messages. Asks the server for every atom in one exchange and
// lays the list out once, so that a book of a hundred thousand lines reads in well under a
// second. Called by finish_MatchNames when it takes every candidate.
std::vector<unsigned long> add_many_to_ReceiverList(const std::vector<std::string> &lines, int select);

// Moves every receiver's input control level with its row, showing only those of visible
// rows. Called after every change of the list's rows or view.
void update_input_status_positions();
// Places one receiver's input control for row `position` (1-based). Iterator callback.
void update_callback(Atom host, Widget widget, int position);

// Sets a toggle on without its callbacks while the user picks a window for it.
void set_button(Widget toggle);
// Ends such a pick: returns the picked window, or 0 when the pick timed out (picked 1) or the
// user clicked on the toggle itself, which cancels.
Window unset_button(Widget toggle, Window picked_window, int x, int y);

// Forgets the widgets of a main window whose display has been closed, so that the next
// create_Telvane builds afresh. Called when a display connection is dropped (tests do).
void forget_main_window();
