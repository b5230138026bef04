#pragma once
// Motif list operations that keep a list's view sensible, and the sizing of text fields, lists
// and dialogs in rows and columns of their font rather than in pixels. Every dialog uses them.

#include <X11/Intrinsic.h>
#include <Xm/Xm.h>

// ---- Pure rules, kept apart so that they can be checked without a display ----

// The top row that brings one-based position `pos` of a list of `count` items, `visible` of
// them on screen, into view: `pos` itself, unless fewer than a full page would follow it, in
// which case the last page is shown; never less than 1. Used by every repositioning below.
constexpr int list_top_for(int pos, int visible, int count) {
    int top = pos;
    if (count - pos + 1 < visible) top = count - visible + 1;
    return top < 1 ? 1 : top;
}

// A margin, spacing, shadow, highlight or offset read back as more than 1000 pixels was never
// set (Motif marks such values with 0xFFFF, and a resource the widget lacks leaves our
// initial value there); `fallback` stands in. Called by the sizing functions.
constexpr int dimension_or(long value, int fallback) {
    return value > 1000 ? fallback : static_cast<int>(value);
}

// Top-left corner of a shell.
struct ShellPlace {
    int x;
    int y;
};

// Where a shell of `width` x `height` goes when centred on (`centre_x`, `centre_y`): pulled
// left or up until its right or bottom edge touches the screen's, then any negative
// coordinate becomes 0, so a shell larger than the screen shows its top-left corner.
// Called by center_widget.
constexpr ShellPlace centred_place(int centre_x, int centre_y, int width, int height,
                                   int screen_width, int screen_height) {
    ShellPlace place{centre_x - width / 2, centre_y - height / 2};
    if (place.x + width > screen_width) place.x = screen_width - width;
    if (place.y + height > screen_height) place.y = screen_height - height;
    if (place.x < 0) place.x = 0;
    if (place.y < 0) place.y = 0;
    return place;
}

// ---- List operations; the list widget always comes first ----
// Items are compound strings; the "_str" forms take plain text, made into a left-to-right
// compound string for the call and freed after. An operation that moves the view of the
// receiver list re-places the input controls beside its rows.

// Looks for the first item equal to `item`. Stores its zero-based index in *pos and returns 1,
// or stores 0 and returns 0. Always stores the visible-row and item counts. Used by the list
// operations here and by the dialogs that look up rows.
int find_Item_in_list(Widget list, XmString item, int *pos, int *visible, int *count);

// Stores the one-based top visible position, the visible-row count and the item count.
// Called by callers that save and restore a list's view.
void find_list_pos(Widget list, int *top, int *visible, int *count);

// Stores the number of selected items and the list's own selected-item array, which stays the
// list's: the caller must not free it and must not keep it across changes to the list.
// Called by the receiver list and the dialogs.
void find_items_selected(Widget list, int *n, XmStringTable *items);

// Stores the number of selected items and a newly allocated array of copies of them (null
// when none is selected), for callers that change the list while they walk the selection.
// The caller releases it with free_replicated_list.
void replicate_selected_list(Widget list, int *n, XmStringTable *copy);

// Frees the `n` copies and the array made by replicate_selected_list; a null array is fine.
void free_replicated_list(int n, XmStringTable copy);

// Scrolls so that one-based `pos` is the top row, or the last full page when fewer than a page
// of items would follow. Called after rows are added or selected so that they show.
void set_list_to_show_pos(Widget list, int pos);

// As set_list_to_show_pos for the position of `item`; leaves the view alone when the list
// has no such item.
void set_list_to_show_Str(Widget list, XmString item);

// Scrolls to the top and deletes every item, last first. Called when a list is refilled.
void delete_all(Widget list);

// Pulls the view up as far as the deletion needs so that no blank page shows, then deletes
// the selected items one at a time until none is selected. Called by the receiver list.
void delete_selected(Widget list);

// Deletes the first item equal to `item` after pulling the view up as far as the deletion
// needs. Returns 1 when an item was deleted, 0 when there was none.
int delete_item_Str(Widget list, XmString item);
int delete_item_str(Widget list, const char *text);

// Selects the item at one-based `pos` and calls the list's selection callbacks. Returns 0 for
// an empty list, else 1. Called by dialogs that preselect a row.
int set_selected_pos(Widget list, int pos);

// With `on` set: selects `item` without calling the selection callbacks and without dropping
// the rows already selected, whatever the list's selection policy; an item already selected
// is left as it is. With `on` zero: deselects `item`. Called by the receiver list and the
// matching dialogs.
void set_selected_Str(Widget list, XmString item, int on);
void set_selected_str(Widget list, const char *text, int on);

// Adds `item` unselected at one-based `pos` (0 appends) when no equal item is in the list,
// and then sets recs_added. Returns 1 when added, 0 when an equal item was there.
int add_to_List_unique(Widget list, XmString item, int pos);
int add_to_list_unique(Widget list, const char *text, int pos);

// A list item of `text` as every list of the program makes them (so that equal texts compare
// equal); the caller frees it with XmStringFree. Called by the list helpers and by whoever
// fills a list in one call.
XmString make_item(const char *text);

// Adds `text` unselected at `pos` even when an equal item exists. Returns 1.
int add_to_list(Widget list, const char *text, int pos);

// ---- Sizing and placement ----

// Replaces *rows and *cols by the "defaultRows" and "defaultColumns" application resources
// where these are non-zero. Called by each dialog before it sizes its lists.
void find_default_size(Widget widget, int *rows, int *cols);

// The room a text widget needs to show `rows` lines of `cols` characters of its font, its
// frame included, plus the offsets around it in its manager (for a scrolled text those of
// its scrolled window). Characters are measured as a quarter of "MMMM", so any text of `cols`
// characters fits. Called by the dialogs to work out their shell sizes.
void size_Text_widget(Widget text, int rows, int cols, int *width, int *height);

// As size_Text_widget for a list showing `rows` items of `cols` characters.
void size_List_widget(Widget list, int rows, int cols, int *width, int *height);

// As size_List_widget and size_Text_widget for a list or text inside a scrolled window, the
// window's frame and scroll bars included.
void size_ScrolledList_widget(Widget list, int rows, int cols, int *width, int *height);
void size_ScrolledText_widget(Widget text, int rows, int cols, int *width, int *height);

// Adds to *width and *height what the scrolled window `sw` puts around its work area: the
// vertical scroll bar, shown or not, the horizontal one while it is shown, their spacing, the
// window's shadow and its margins.
void size_ScrolledWindow(Widget sw, int *width, int *height);

// Stores the widget's current size plus its offsets (size_offsets). Called by dialogs that
// add up the rows of their forms.
void size_widget(Widget widget, int *width, int *height);

// Stores the room around a widget in its manager: in a form, its attachment offsets (left plus
// right, top plus bottom), which include the form's margins wherever an offset was left
// unset; in any other manager, twice the manager's margin width and height.
void size_offsets(Widget widget, int *dx, int *dy);

// Sets the shell's minimum size and its size, the latter grown to at least the shell's current
// size, letting the shell resize for the change. Called by each dialog once it has summed up
// its parts.
void set_shell_size(Widget shell, int min_width, int min_height, int width, int height);

// Centres the shell of `dialog` on the centre of the shell of `reference` (on 0,0 when
// `reference` is null) and keeps it on the screen. Called before a dialog is popped up.
void center_widget(Widget dialog, Widget reference);
