// List operations shared by every dialog, and sizing of widgets and shells in characters.
#include "list_utils.h"

#include <Xm/Form.h>
#include <Xm/List.h>
#include <Xm/ScrolledW.h>
#include <Xm/XmP.h>

#include <climits>

#include "core/startup.h"
#include "ui/main_window.h"

namespace {

// Stand-ins for dimension resources that read back unset. A parent without margins adds
// nothing; a widget's own frame is guessed at Motif's usual sizes.
constexpr int kUnsetOffset = 0;
constexpr int kUnsetParentMargin = 0;
constexpr int kUnsetShadow = 2;
constexpr int kUnsetHighlight = 2;
constexpr int kUnsetOwnMargin = 3;
constexpr int kUnsetSpacing = 4;

// Reads a Dimension resource; one the widget lacks stays at 0xFFFF and so counts as unset.
int dimension_of(Widget widget, const char *name, int fallback) {
    Dimension value = XmINVALID_DIMENSION;
    XtVaGetValues(widget, name, &value, nullptr);
    return dimension_or(value, fallback);
}

// Reads an int resource (the form attachment offsets) the same way.
int offset_of(Widget widget, const char *name) {
    int value = INT_MAX;
    XtVaGetValues(widget, name, &value, nullptr);
    return dimension_or(value, kUnsetOffset);
}

Widget shell_of(Widget widget) {
    while (widget && !XtIsShell(widget)) widget = XtParent(widget);
    return widget;
}

// The per-receiver input controls sit beside the receiver list's rows; whenever that list's
// rows move, they have to follow.
void view_moved(Widget list) {
    if (ReceiverList && list == ReceiverList) update_input_status_positions();
}


// Moves the view to the top row that keeps `pos` in sight once the list holds `count_after`
// items; the caller is about to delete down to that count.
void keep_view_in_range(Widget list, int count_after) {
    int top = 1, visible = 0, count = 0;
    find_list_pos(list, &top, &visible, &count);
    if (count_after < 1) return;
    int wanted = list_top_for(top, visible, count_after);
    if (wanted != top) XmListSetPos(list, wanted);
}

// One character cell of the widget's font: a quarter of the width of "MMMM", rounded up so
// that `cols` cells always hold `cols` characters, and that string's height as the line.
void character_cell(Widget widget, int *char_width, int *line_height) {
    XmRenderTable table = nullptr;
    XtVaGetValues(widget, XmNrenderTable, &table, nullptr);
    if (!table) table = XmeGetDefaultRenderTable(widget, XmTEXT_FONTLIST);
    XmString sample = make_item("MMMM");
    *char_width = (XmStringWidth(table, sample) + 3) / 4;
    *line_height = XmStringHeight(table, sample);
    XmStringFree(sample);
}

// The offsets around the widget that its manager lays out: those of its scrolled window when
// it has one, else its own.
void layout_offsets(Widget widget, int *dx, int *dy) {
    Widget parent = XtParent(widget);
    size_offsets(parent && XmIsScrolledWindow(parent) ? parent : widget, dx, dy);
}

}  // namespace

// ---- List operations ----

int find_Item_in_list(Widget list, XmString item, int *pos, int *visible, int *count) {
    XmStringTable items = nullptr;
    int n = 0, shown = 0;
    XtVaGetValues(list, XmNitems, &items, XmNitemCount, &n, XmNvisibleItemCount, &shown, nullptr);
    *visible = shown;
    *count = n;
    for (int i = 0; i < n; ++i) {
        if (XmStringCompare(items[i], item)) {
            *pos = i;
            return 1;
        }
    }
    *pos = 0;
    return 0;
}

void find_list_pos(Widget list, int *top, int *visible, int *count) {
    int t = 1, shown = 0, n = 0;
    XtVaGetValues(list, XmNtopItemPosition, &t, XmNvisibleItemCount, &shown, XmNitemCount, &n, nullptr);
    *top = t;
    *visible = shown;
    *count = n;
}

void find_items_selected(Widget list, int *n, XmStringTable *items) {
    int selected = 0;
    XmStringTable table = nullptr;
    XtVaGetValues(list, XmNselectedItemCount, &selected, XmNselectedItems, &table, nullptr);
    *n = selected;
    *items = table;
}

void replicate_selected_list(Widget list, int *n, XmStringTable *copy) {
    XmStringTable items = nullptr;
    find_items_selected(list, n, &items);
    if (*n <= 0) {
        *copy = nullptr;
        return;
    }
    *copy = reinterpret_cast<XmStringTable>(XtMalloc(sizeof(XmString) * *n));
    for (int i = 0; i < *n; ++i) (*copy)[i] = XmStringCopy(items[i]);
}

void free_replicated_list(int n, XmStringTable copy) {
    if (!copy) return;
    for (int i = 0; i < n; ++i) XmStringFree(copy[i]);
    XtFree(reinterpret_cast<char *>(copy));
}

void set_list_to_show_pos(Widget list, int pos) {
    int top = 1, visible = 0, count = 0;
    find_list_pos(list, &top, &visible, &count);
    if (count < 1) return;
    XmListSetPos(list, list_top_for(pos, visible, count));
    view_moved(list);
}

void set_list_to_show_Str(Widget list, XmString item) {
    int pos = 0, visible = 0, count = 0;
    if (find_Item_in_list(list, item, &pos, &visible, &count)) set_list_to_show_pos(list, pos + 1);
}

void delete_all(Widget list) {
    int top = 1, visible = 0, count = 0;
    find_list_pos(list, &top, &visible, &count);
    if (count < 1) return;
    XmListSetPos(list, 1);
    for (int pos = count; pos >= 1; --pos) XmListDeletePos(list, pos);
    view_moved(list);
}

void delete_selected(Widget list) {
    int *positions = nullptr;
    int selected = 0;
    if (!XmListGetSelectedPos(list, &positions, &selected)) return;
    XtFree(reinterpret_cast<char *>(positions));
    int top = 1, visible = 0, count = 0;
    find_list_pos(list, &top, &visible, &count);
    keep_view_in_range(list, count - selected);
    // Positions shift with every deletion, so ask afresh each time.
    while (XmListGetSelectedPos(list, &positions, &selected)) {
        XmListDeletePos(list, positions[0]);
        XtFree(reinterpret_cast<char *>(positions));
    }
    view_moved(list);
}

int delete_item_Str(Widget list, XmString item) {
    int pos = 0, visible = 0, count = 0;
    if (!find_Item_in_list(list, item, &pos, &visible, &count)) return 0;
    keep_view_in_range(list, count - 1);
    XmListDeletePos(list, pos + 1);
    view_moved(list);
    return 1;
}

int delete_item_str(Widget list, const char *text) {
    XmString item = make_item(text);
    int deleted = delete_item_Str(list, item);
    XmStringFree(item);
    return deleted;
}

int set_selected_pos(Widget list, int pos) {
    int count = 0;
    XtVaGetValues(list, XmNitemCount, &count, nullptr);
    if (count < 1) return 0;
    XmListSelectPos(list, pos, True);
    return 1;
}

void set_selected_Str(Widget list, XmString item, int on) {
    if (!on) {
        XmListDeselectItem(list, item);
        return;
    }
    // Selecting again in multiple selection would toggle the item off.
    int selected = 0;
    XmStringTable items = nullptr;
    find_items_selected(list, &selected, &items);
    for (int i = 0; i < selected; ++i)
        if (XmStringCompare(items[i], item)) return;
    // Under single or browse selection, selecting would drop the rows already selected.
    unsigned char policy = XmBROWSE_SELECT;
    XtVaGetValues(list, XmNselectionPolicy, &policy, nullptr);
    XtVaSetValues(list, XmNselectionPolicy, XmMULTIPLE_SELECT, nullptr);
    XmListSelectItem(list, item, False);
    XtVaSetValues(list, XmNselectionPolicy, policy, nullptr);
}

void set_selected_str(Widget list, const char *text, int on) {
    XmString item = make_item(text);
    set_selected_Str(list, item, on);
    XmStringFree(item);
}

XmString make_item(const char *text) {
    return XmStringCreateLtoR(const_cast<char *>(text), const_cast<char *>(XmFONTLIST_DEFAULT_TAG));
}

int add_to_List_unique(Widget list, XmString item, int pos) {
    if (XmListItemExists(list, item)) return 0;
    XmListAddItemUnselected(list, item, pos);
    recs_added = 1;
    view_moved(list);
    return 1;
}

int add_to_list_unique(Widget list, const char *text, int pos) {
    XmString item = make_item(text);
    int added = add_to_List_unique(list, item, pos);
    XmStringFree(item);
    return added;
}

int add_to_list(Widget list, const char *text, int pos) {
    XmString item = make_item(text);
    XmListAddItemUnselected(list, item, pos);
    XmStringFree(item);
    view_moved(list);
    return 1;
}

// ---- Sizing and placement ----

void find_default_size(Widget widget, int *rows, int *cols) {
    struct DefaultSize {
        int rows;
        int cols;
    } sizes{0, 0};
    static XtResource resources[] = {
        {const_cast<char *>("defaultRows"), const_cast<char *>("DefaultRows"), const_cast<char *>(XtRInt),
         sizeof(int), XtOffsetOf(DefaultSize, rows), const_cast<char *>(XtRImmediate), nullptr},
        {const_cast<char *>("defaultColumns"), const_cast<char *>("DefaultColumns"), const_cast<char *>(XtRInt),
         sizeof(int), XtOffsetOf(DefaultSize, cols), const_cast<char *>(XtRImmediate), nullptr},
    };
    Widget shell = widget;
    while (shell && XtParent(shell)) shell = XtParent(shell);
    if (!shell) shell = TopLevel;
    if (!shell) return;
    XtGetApplicationResources(shell, &sizes, resources, XtNumber(resources), nullptr, 0);
    if (sizes.rows) *rows = sizes.rows;
    if (sizes.cols) *cols = sizes.cols;
}

void size_Text_widget(Widget text, int rows, int cols, int *width, int *height) {
    int char_width = 0, line_height = 0;
    character_cell(text, &char_width, &line_height);
    int frame = dimension_of(text, XmNshadowThickness, kUnsetShadow) +
                dimension_of(text, XmNhighlightThickness, kUnsetHighlight);
    int frame_x = frame + dimension_of(text, XmNmarginWidth, kUnsetOwnMargin);
    int frame_y = frame + dimension_of(text, XmNmarginHeight, kUnsetOwnMargin);
    int dx = 0, dy = 0;
    layout_offsets(text, &dx, &dy);
    *width = cols * char_width + 2 * frame_x + dx;
    *height = rows * line_height + 2 * frame_y + dy;
}

void size_List_widget(Widget list, int rows, int cols, int *width, int *height) {
    int char_width = 0, line_height = 0;
    character_cell(list, &char_width, &line_height);
    int highlight = dimension_of(list, XmNhighlightThickness, kUnsetHighlight);
    int frame = dimension_of(list, XmNshadowThickness, kUnsetShadow) + highlight;
    int frame_x = frame + dimension_of(list, XmNlistMarginWidth, kUnsetOwnMargin);
    int frame_y = frame + dimension_of(list, XmNlistMarginHeight, kUnsetOwnMargin);
    // A list that highlights boxes each item in a one-pixel location cursor, and spaces its
    // items by its spacing plus the highlight, less the pixel the boxes already take.
    int item_frame = highlight > 0 ? 1 : 0;
    int gap = dimension_of(list, XmNlistSpacing, kUnsetSpacing) + highlight - item_frame;
    int dx = 0, dy = 0;
    layout_offsets(list, &dx, &dy);
    *width = cols * char_width + 2 * item_frame + 2 * frame_x + dx;
    *height = rows * (line_height + 2 * item_frame) + (rows > 1 ? (rows - 1) * gap : 0) + 2 * frame_y + dy;
}

void size_ScrolledList_widget(Widget list, int rows, int cols, int *width, int *height) {
    size_List_widget(list, rows, cols, width, height);
    Widget sw = XtParent(list);
    if (sw && XmIsScrolledWindow(sw)) size_ScrolledWindow(sw, width, height);
}

void size_ScrolledText_widget(Widget text, int rows, int cols, int *width, int *height) {
    size_Text_widget(text, rows, cols, width, height);
    Widget sw = XtParent(text);
    if (sw && XmIsScrolledWindow(sw)) size_ScrolledWindow(sw, width, height);
}

void size_ScrolledWindow(Widget sw, int *width, int *height) {
    Widget vertical = nullptr, horizontal = nullptr;
    XtVaGetValues(sw, XmNverticalScrollBar, &vertical, XmNhorizontalScrollBar, &horizontal, nullptr);
    int spacing = dimension_of(sw, XmNspacing, kUnsetSpacing);
    // The vertical bar comes as soon as the rows outnumber the page, so its room is kept even
    // while it is hidden; the horizontal one shows only once something is too wide anyway.
    if (vertical) {
        Dimension bar = 0, border = 0;
        XtVaGetValues(vertical, XmNwidth, &bar, XmNborderWidth, &border, nullptr);
        *width += bar + 2 * border + spacing;
    }
    if (horizontal && XtIsManaged(horizontal)) {
        Dimension bar = 0, border = 0;
        XtVaGetValues(horizontal, XmNheight, &bar, XmNborderWidth, &border, nullptr);
        *height += bar + 2 * border + spacing;
    }
    int shadow = dimension_of(sw, XmNshadowThickness, kUnsetShadow);
    *width += 2 * (shadow + dimension_of(sw, XmNscrolledWindowMarginWidth, kUnsetParentMargin));
    *height += 2 * (shadow + dimension_of(sw, XmNscrolledWindowMarginHeight, kUnsetParentMargin));
}

void size_widget(Widget widget, int *width, int *height) {
    Dimension w = 0, h = 0, border = 0;
    XtVaGetValues(widget, XmNwidth, &w, XmNheight, &h, XmNborderWidth, &border, nullptr);
    int dx = 0, dy = 0;
    size_offsets(widget, &dx, &dy);
    *width = w + 2 * border + dx;
    *height = h + 2 * border + dy;
}

void size_offsets(Widget widget, int *dx, int *dy) {
    *dx = offset_of(widget, XmNleftOffset) + offset_of(widget, XmNrightOffset);
    *dy = offset_of(widget, XmNtopOffset) + offset_of(widget, XmNbottomOffset);
    // A form hands its margins to every offset left unset, so they are in the sums already;
    // other managers keep their margins apart.
    Widget parent = XtParent(widget);
    if (!parent || XmIsForm(parent)) return;
    *dx += 2 * dimension_of(parent, XmNmarginWidth, kUnsetParentMargin);
    *dy += 2 * dimension_of(parent, XmNmarginHeight, kUnsetParentMargin);
}

void set_shell_size(Widget shell, int min_width, int min_height, int width, int height) {
    Dimension current_width = 0, current_height = 0;
    Boolean allow = False;
    XtVaGetValues(shell, XmNwidth, &current_width, XmNheight, &current_height, XmNallowShellResize, &allow,
                  nullptr);
    if (width < current_width) width = current_width;
    if (height < current_height) height = current_height;
    XtVaSetValues(shell, XmNallowShellResize, True, nullptr);
    XtVaSetValues(shell, XmNminWidth, min_width, XmNminHeight, min_height, XmNwidth, width, XmNheight, height,
                  nullptr);
    XtVaSetValues(shell, XmNallowShellResize, allow, nullptr);
}

void center_widget(Widget dialog, Widget reference) {
    Widget shell = shell_of(dialog);
    if (!shell) return;
    int centre_x = 0, centre_y = 0;
    if (Widget ref_shell = reference ? shell_of(reference) : nullptr) {
        Position x = 0, y = 0;
        Dimension w = 0, h = 0;
        XtVaGetValues(ref_shell, XmNx, &x, XmNy, &y, XmNwidth, &w, XmNheight, &h, nullptr);
        centre_x = x + w / 2;
        centre_y = y + h / 2;
    }
    Dimension w = 0, h = 0, border = 0;
    XtVaGetValues(shell, XmNwidth, &w, XmNheight, &h, XmNborderWidth, &border, nullptr);
    // A shell not yet realised has no size of its own; its dialog has.
    if ((w == 0 || h == 0) && dialog != shell) XtVaGetValues(dialog, XmNwidth, &w, XmNheight, &h, nullptr);
    Screen *screen = XtScreen(shell);
    ShellPlace place = centred_place(centre_x, centre_y, w + 2 * border, h + 2 * border,
                                     WidthOfScreen(screen), HeightOfScreen(screen));
    XtVaSetValues(shell, XmNx, place.x, XmNy, place.y, nullptr);
}
