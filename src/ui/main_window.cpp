// The main window: its widget tree, the receiver list's admission of rows, and keeping each
// receiver's input control level with its row.
#include "main_window.h"

#include "core/exit.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "receivers/address_book.h"
#include "receivers/busy.h"
#include "receivers/match_dialogs.h"
#include "receivers/receiver_entry.h"
#include "receivers/receiver_list.h"
#include "receivers/save_list.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "telepointer/telepointer.h"
#include "ui/help_hooks.h"
#include "ui/input_controls.h"
#include "ui/list_utils.h"
#include "ui/preferences_dialog.h"
#include "ui/tools.h"

#include <X11/Xmu/Converters.h>
#include <Xm/BulletinB.h>
#include <Xm/CascadeB.h>
#include <Xm/Form.h>
#include <Xm/Frame.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/Protocols.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/ScrollBar.h>
#include <Xm/ScrolledW.h>
#include <Xm/Separator.h>
#include <Xm/TextF.h>
#include <Xm/ToggleB.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

Widget TelvaneSH = nullptr;
Widget EditText = nullptr;
Widget ReceiverList = nullptr;
Widget ShareButton = nullptr;
Widget UnshareButton = nullptr;
Widget InputStatusBB = nullptr;
Widget RLvsbW = nullptr;
int RLvsbValue = 0;
int RLvic = 0;
int RL_spacing = 0;
int RL_highlight = 0;
int RL_offset = 2;
int update_count = 0;
int TLCMDConnector_is_visible = 1;

namespace {

Widget Form = nullptr;

// Every menu entry and button calls a function with a small integer; these adapters keep
// the called functions free of toolkit signatures they do not need.
using Action = void (*)(int);
struct Binding {
    Action action;
    int data;
};

void run_binding(Widget, XtPointer client, XtPointer) {
    auto *b = static_cast<Binding *>(client);
    b->action(b->data);
}

// Toggles call their operation only when the user switched them on: the operation turns the
// toggle off itself when it ends, and that must not start it again.
void run_toggle(Widget w, XtPointer client, XtPointer call) {
    auto *cb = static_cast<XmToggleButtonCallbackStruct *>(call);
    if (!cb->set) return;
    run_binding(w, client, call);
}

void on_share(int kind) { share_to_receivers(nullptr, reinterpret_cast<XtPointer>(static_cast<long>(kind)), nullptr); }
void on_unshare(int) { unshare_from_receivers(nullptr, nullptr, nullptr); }
void on_disconnect(int which) { disconnect_receivers(nullptr, reinterpret_cast<XtPointer>(static_cast<long>(which)), nullptr); }
void on_clear(int which) { clear_receivers(nullptr, reinterpret_cast<XtPointer>(static_cast<long>(which)), nullptr); }
void on_move(int) { move_to_top(nullptr, nullptr, nullptr); }
void on_same(int) { share_same_window_callback(nullptr, nullptr, nullptr); }
void on_edit(int) { edit_receiver(nullptr, nullptr, nullptr); }
void on_save(int) { save_receivers(nullptr, nullptr, nullptr); }
void on_identify(int) { show_windows_shared_to(nullptr, nullptr, nullptr); }
void on_address_book(int) { popup_AddressBook(); }
void on_exit(int) { exit_cleanup_ask(); }
void on_status(int) { show_receivers_of_window(); }
void on_add_telepointer(int) { add_telepointer(); }
void on_delete_telepointer(int) { delete_telepointer(); }
void on_daisy(int) { allow_daisy_chaining(); }
void on_launch(int grab) { share_launch_callback(nullptr, reinterpret_cast<XtPointer>(static_cast<long>(grab)), nullptr); }
void on_preferences(int) { popup_Preferences(); }

// Bindings live as long as the program; a fixed table avoids allocating them.
Binding bindings[] = {
    {on_identify, 0}, {on_edit, 0},      {on_clear, 2},   {on_clear, 1},       {on_move, 0},
    {on_address_book, 0}, {on_save, 0},  {on_same, 0},    {on_disconnect, 1},  {on_exit, 0},
    {on_status, 0},   {on_share, 1},     {on_add_telepointer, 0}, {on_delete_telepointer, 0},
    {on_daisy, 0},    {on_launch, -1},   {on_launch, 0},  {on_preferences, 0}, {on_disconnect, 2},
    {on_unshare, 0},  {on_share, 2},
};
enum {
    B_IDENTIFY, B_EDIT, B_DELETE_SELECTED, B_DELETE_ALL, B_MOVE, B_ADDRESS_BOOK, B_SAVE, B_SAME,
    B_DISCONNECT_ALL, B_EXIT, B_STATUS, B_SHARE_SINGLE, B_ADD_TP, B_DELETE_TP, B_DAISY,
    B_WHITEBOARD, B_SNAPSHOT, B_PREFERENCES, B_DISCONNECT, B_UNSHARE, B_SHARE,
};

Widget push(Widget parent, const char *name, int binding) {
    Widget w = XmCreatePushButton(parent, const_cast<char *>(name), nullptr, 0);
    XtAddCallback(w, XmNactivateCallback, run_binding, &bindings[binding]);
    XtManageChild(w);
    return w;
}

Widget pulldown(Widget parent, const char *name) {
    return XmCreatePulldownMenu(parent, const_cast<char *>(name), nullptr, 0);
}

Widget cascade(Widget parent, const char *name, Widget submenu) {
    Arg args[1];
    XtSetArg(args[0], XmNsubMenuId, submenu);
    Widget w = XmCreateCascadeButton(parent, const_cast<char *>(name), args, 1);
    XtManageChild(w);
    return w;
}

void form_help_callback(Widget w, XtPointer client, XtPointer) {
    form_help(w, static_cast<int>(reinterpret_cast<long>(client)));
}

void close_by_window_manager(Widget, XtPointer, XtPointer) { exit_cleanup_ask(); }

// The shell's map and unmap reach the main loop through the event queue; selecting them is
// all this handler is for.
void shell_structure(Widget, XtPointer, XEvent *, Boolean *) {}

void reposition(Widget, XtPointer, XtPointer) { update_input_status_positions(); }
void reposition_on_event(Widget, XtPointer, XEvent *, Boolean *) { update_input_status_positions(); }

void add_receiver_callback(Widget, XtPointer, XtPointer) { add_receiver(); }

// The row height of the list: the text "MyW" in its font plus the highlight and spacing.
void read_row_geometry() {
    XmFontList fonts = nullptr;
    Dimension highlight = 0, spacing = 0;
    XtVaGetValues(ReceiverList, XmNfontList, &fonts, XmNhighlightThickness, &highlight,
                  XmNlistSpacing, &spacing, nullptr);
    RL_highlight = highlight > 1000 ? 0 : highlight;
    XmString sample = XmStringCreateLocalized(const_cast<char *>("MyW"));
    int text = fonts ? XmStringHeight(fonts, sample) : 13;
    XmStringFree(sample);
    RL_spacing = text + RL_highlight + spacing + 1;
    RL_offset = 2;
}

// Sets the shell's icon from the bitmap file its "iconPixmap" resource names, when readable.
void set_icon_pixmap(Widget shell) {
    char *path = nullptr;
    XtResource resource = {const_cast<char *>("iconPixmap"), const_cast<char *>("IconPixmap"),
                           XtRString, sizeof(char *), 0, XtRString, nullptr};
    XtGetApplicationResources(shell, &path, &resource, 1, nullptr, 0);
    if (!path || !*path) return;
    unsigned int w, h;
    int hx, hy;
    Pixmap bitmap = 0;
    if (XReadBitmapFile(XtDisplay(shell), XtWindow(shell), path, &w, &h, &bitmap, &hx, &hy) ==
        BitmapSuccess)
        XtVaSetValues(shell, XmNiconPixmap, bitmap, nullptr);
}

// The application shell as the main window's: hidden when only other programs drive us, and
// closed only by asking.
void prepare_shell(Display *dpy) {
    if (!TLCMDConnector_is_visible) {
        TOPLEVEL_UNMAPPED = 1;
        XtVaSetValues(TopLevel, XmNmappedWhenManaged, False, nullptr);
    }
    XtAddEventHandler(TopLevel, StructureNotifyMask, False, shell_structure, nullptr);
    XtVaSetValues(TopLevel, XmNdeleteResponse, XmDO_NOTHING, nullptr);
    static Atom delete_atom = 0;
    if (!delete_atom) delete_atom = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    XmAddWMProtocolCallback(TopLevel, delete_atom, close_by_window_manager, nullptr);
}

// The menu bar's menus, in their order.
void fill_menu_bar(Widget menu) {
    Widget menu1 = pulldown(menu, "menu1");
    push(menu1, "Identify_Receivers_Windows", B_IDENTIFY);
    Widget menu1_1 = pulldown(menu1, "menu1_1");
    push(menu1_1, "Edit_Selected_Entry", B_EDIT);
    push(menu1_1, "Delete_Selected", B_DELETE_SELECTED);
    push(menu1_1, "Delete_All", B_DELETE_ALL);
    push(menu1_1, "Move_to_Top_of_List", B_MOVE);
    cascade(menu1, "Edit_Receiver_List", menu1_1);
    push(menu1, "Open_Address_Book", B_ADDRESS_BOOK);
    push(menu1, "Save_Selected_in_Address_Book", B_SAVE);
    push(menu1, "Share_Same_Windows", B_SAME);
    push(menu1, "Disconnect_All", B_DISCONNECT_ALL);
    XtManageChild(XmCreateSeparator(menu1, const_cast<char *>("widget"), nullptr, 0));
    push(menu1, "Exit", B_EXIT);
    cascade(menu, "Receivers", menu1);

    Widget menu2 = pulldown(menu, "menu2");
    push(menu2, "Show_Window_Status", B_STATUS);
    push(menu2, "Share_a_Single_Window", B_SHARE_SINGLE);
    push(menu2, "Add_Telepointer", B_ADD_TP);
    push(menu2, "Delete_Telepointer", B_DELETE_TP);
    push(menu2, "Allow_Daisy_Chaining", B_DAISY);
    cascade(menu, "Windows", menu2);

    Widget menu4 = pulldown(menu, "menu4");
    push(menu4, "Create_Whiteboard", B_WHITEBOARD);
    push(menu4, "Create_Snapshot", B_SNAPSHOT);
    cascade(menu, "Tools", menu4);

    Widget menu3 = pulldown(menu, "menu3");
    push(menu3, "Set_Preferences", B_PREFERENCES);
    cascade(menu, "Options", menu3);
    create_HelpMenu(menu);
}

// The widgets of the main window that its layout places besides the named globals.
struct MainParts {
    Widget menu, name_label, disconnect, input_label, list_label, frame, list_sw;
};

// Layout: menu bar; name line; the three buttons; the two headings; the input column beside
// the list.
void attach_parts(const MainParts &p) {
    XtVaSetValues(p.menu, XmNtopAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM,
                  XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.name_label, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.menu, XmNtopOffset, 10,
                  XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(EditText, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.menu, XmNtopOffset, 4,
                  XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, p.name_label, XmNleftOffset, 6,
                  XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(ShareButton, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, EditText, XmNtopOffset, 6,
                  XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(UnshareButton, XmNtopAttachment, XmATTACH_OPPOSITE_WIDGET, XmNtopWidget, ShareButton,
                  XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, ShareButton, XmNleftOffset, 12,
                  nullptr);
    XtVaSetValues(p.disconnect, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, EditText, XmNtopOffset, 6,
                  XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.input_label, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.disconnect, XmNtopOffset, 8,
                  XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.list_label, XmNtopAttachment, XmATTACH_OPPOSITE_WIDGET, XmNtopWidget, p.input_label,
                  XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, p.frame, XmNleftOffset, 4,
                  XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.frame, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.input_label, XmNtopOffset, 2,
                  XmNleftAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.list_sw, XmNtopAttachment, XmATTACH_OPPOSITE_WIDGET, XmNtopWidget, p.frame,
                  XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, p.frame, XmNleftOffset, 4,
                  XmNrightAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_FORM, nullptr);
}

// Every way the list's view can move re-places the input controls.
void follow_list_view(Widget list_sw) {
    XtVaGetValues(list_sw, XmNverticalScrollBar, &RLvsbW, nullptr);
    if (RLvsbW) {
        for (const char *reason : {XmNincrementCallback, XmNdecrementCallback, XmNpageIncrementCallback,
                                   XmNpageDecrementCallback, XmNdragCallback, XmNtoTopCallback,
                                   XmNtoBottomCallback, XmNvalueChangedCallback})
            XtAddCallback(RLvsbW, reason, reposition, nullptr);
    }
    XtAddEventHandler(ReceiverList, KeyPressMask | StructureNotifyMask, False, reposition_on_event, nullptr);
    XtAddCallback(ReceiverList, XmNextendedSelectionCallback, reposition, nullptr);
    XtAddCallback(ReceiverList, XmNbrowseSelectionCallback, reposition, nullptr);
}

// The shell's size: the parts' own sizes stacked, the name line and the buttons side by side,
// the input column beside the list.
void size_shell(const MainParts &p, int column, int text_w, int text_h, int list_w, int list_h) {
    int w = 0, h = 0, width = 0, height = 0;
    size_widget(p.menu, &w, &h);
    width = std::max(width, w);
    height += h;
    size_widget(p.name_label, &w, &h);
    width = std::max(width, w + text_w + 6);
    height += std::max(h, text_h) + 4;
    int bw = 0, bh = 0;
    size_widget(ShareButton, &w, &bh);
    bw += w;
    size_widget(UnshareButton, &w, &h);
    bw += w + 12;
    size_widget(p.disconnect, &w, &h);
    bw += w + 12;
    width = std::max(width, bw);
    height += bh + 6;
    size_widget(p.input_label, &w, &h);
    height += h + 8;
    width = std::max(width, column + 4 + list_w);
    height += list_h + 2;
    set_shell_size(TelvaneSH, width / 2, height / 2, width, height);
}

// Help numbers of the main window's parts.
void set_main_help(const MainParts &p) {
    static const struct { Widget *w; int n; } helps[] = {{&Form, 300}, {&EditText, 301}, {&InputStatusBB, 302},
                                                         {&ReceiverList, 303}, {&ShareButton, 304},
                                                         {&UnshareButton, 305}};
    for (const auto &h : helps) set_item_help(*h.w, h.n);
    set_item_help(p.frame, 302);
    set_item_help(p.list_sw, 303);
    set_item_help(p.disconnect, 306);
}

Widget label(Widget parent, const char *name) {
    Widget w = XmCreateLabel(parent, const_cast<char *>(name), nullptr, 0);
    return w;
}

}  // namespace

Widget create_Telvane() {
    if (Form) return TelvaneSH;
    Display *dpy = XtDisplay(TopLevel);
    prepare_shell(dpy);
    TelvaneSH = TopLevel;

    // The tree, in its order.
    Form = XmCreateForm(TelvaneSH, const_cast<char *>("Form"), nullptr, 0);
    XtAddCallback(Form, XmNhelpCallback, form_help_callback, reinterpret_cast<XtPointer>(3L));
    Widget menu = XmCreateMenuBar(Form, const_cast<char *>("Menu"), nullptr, 0);
    fill_menu_bar(menu);

    Widget name_label = label(Form, "Enter_receiver_name");
    EditText = XmCreateTextField(Form, const_cast<char *>("EditText"), nullptr, 0);
    XtAddCallback(EditText, XmNactivateCallback, add_receiver_callback, nullptr);
    Widget disconnect = XmCreatePushButton(Form, const_cast<char *>("Disconnect"), nullptr, 0);
    XtAddCallback(disconnect, XmNactivateCallback, run_binding, &bindings[B_DISCONNECT]);
    UnshareButton = XmCreateToggleButton(Form, const_cast<char *>("Unshare"), nullptr, 0);
    XtAddCallback(UnshareButton, XmNvalueChangedCallback, run_toggle, &bindings[B_UNSHARE]);
    ShareButton = XmCreateToggleButton(Form, const_cast<char *>("Share"), nullptr, 0);
    XtAddCallback(ShareButton, XmNvalueChangedCallback, run_toggle, &bindings[B_SHARE]);
    Widget input_label = label(Form, "Input");
    Widget list_label = label(Form, "Receiver_list");
    Widget frame = XmCreateFrame(Form, const_cast<char *>("InputFrame"), nullptr, 0);
    InputStatusBB = XmCreateBulletinBoard(frame, const_cast<char *>("InputStatusBB"), nullptr, 0);
    XtVaSetValues(InputStatusBB, XmNmarginWidth, 0, XmNmarginHeight, 0, XmNresizePolicy, XmRESIZE_NONE,
                  nullptr);
    ReceiverList = XmCreateScrolledList(Form, const_cast<char *>("ReceiverList"), nullptr, 0);
    Widget list_sw = XtParent(ReceiverList);
    XtVaSetValues(ReceiverList, XmNscrollBarDisplayPolicy, XmSTATIC, nullptr);

    const MainParts parts{menu, name_label, disconnect, input_label, list_label, frame, list_sw};
    attach_parts(parts);
    follow_list_view(list_sw);

    // Row geometry, and the input column two toggles wide.
    read_row_geometry();
    Dimension column = static_cast<Dimension>(2 * RL_spacing + 4);
    XtVaSetValues(frame, XmNwidth, column, XmNheight, column, nullptr);
    XtVaSetValues(InputStatusBB, XmNwidth, column, XmNheight, column, nullptr);

    // Default sizes.
    int rows = 1, cols = 20, text_w = 0, text_h = 0;
    find_default_size(EditText, &rows, &cols);
    size_Text_widget(EditText, rows, cols, &text_w, &text_h);
    XtVaSetValues(EditText, XmNcolumns, cols, nullptr);
    rows = 7;
    cols = 20;
    int list_w = 0, list_h = 0;
    find_default_size(ReceiverList, &rows, &cols);
    size_ScrolledList_widget(ReceiverList, rows, cols, &list_w, &list_h);
    XtVaSetValues(ReceiverList, XmNvisibleItemCount, rows, nullptr);

    // Manage, realise, help numbers, icon, never shared, focus on the name line.
    Widget children[] = {menu, name_label, EditText, ShareButton, UnshareButton, disconnect,
                         input_label, list_label, frame};
    XtManageChildren(children, XtNumber(children));
    XtManageChild(InputStatusBB);
    XtManageChild(ReceiverList);
    XtManageChild(Form);

    size_shell(parts, column, text_w, text_h, list_w, list_h);
    XtRealizeWidget(TelvaneSH);
    set_main_help(parts);
    set_icon_pixmap(TelvaneSH);
    set_dont_share(XtWindow(TelvaneSH));
    XmProcessTraversal(EditText, XmTRAVERSE_CURRENT);
    update_input_status_positions();
    return TelvaneSH;
}

void popup_Telvane() {
    if (!TopLevel) return;
    if (!Form) create_Telvane();
    if (!XtIsRealized(TopLevel)) XtRealizeWidget(TopLevel);
    XtPopup(TopLevel, XtGrabNone);
    update_display();
    XMapRaised(XtDisplay(TopLevel), XtWindow(TopLevel));
}

void popdown_Telvane() {
    if (TelvaneSH && XtIsRealized(TelvaneSH)) XUnmapWindow(XtDisplay(TelvaneSH), XtWindow(TelvaneSH));
}

void cursor_Telvane(Cursor cursor) {
    if (TelvaneSH && XtIsRealized(TelvaneSH)) XDefineCursor(XtDisplay(TelvaneSH), XtWindow(TelvaneSH), cursor);
}

void put_edit_text(const char *text) {
    if (!EditText) return;
    XmTextFieldSetString(EditText, const_cast<char *>(text ? text : ""));
    XmTextFieldSetInsertionPosition(EditText, text ? static_cast<XmTextPosition>(strlen(text)) : 0);
}

char *get_edit_text() {
    if (!EditText) return XtNewString("");
    return XmTextFieldGetString(EditText);
}

void focus_edit_text() {
    if (EditText) XmProcessTraversal(EditText, XmTRAVERSE_CURRENT);
}

void find_receivers_selected(int *count, XmStringTable *items) {
    *count = 0;
    *items = nullptr;
    if (ReceiverList) find_items_selected(ReceiverList, count, items);
}

void replicate_receivers_selected(int *count, XmStringTable *items) {
    *count = 0;
    *items = nullptr;
    if (ReceiverList) replicate_selected_list(ReceiverList, count, items);
}

void find_ReceiverList_colors(Pixel *foreground, Pixel *background) {
    if (!ReceiverList) return;
    XtVaGetValues(ReceiverList, XmNforeground, foreground, XmNbackground, background, nullptr);
}

void manage_ReceiverList() {
    if (!ReceiverList) return;
    XtManageChild(ReceiverList);
    update_display();
}

void unmanage_ReceiverList() {
    if (!ReceiverList) return;
    XtUnmanageChild(ReceiverList);
    update_display();
}

unsigned long add_to_ReceiverList(XmString item, int position, int select) {
    char *text = nullptr;
    if (!item || !XmStringGetLtoR(item, XmFONTLIST_DEFAULT_TAG, &text) || !text) {
        error("PROGRAMMING ERROR \n missing THE blank in alias_line");
        return 0;
    }
    char *blank = strrchr(text, ' ');
    if (!blank || !blank[1]) {
        XtFree(text);
        error("PROGRAMMING ERROR \n missing THE blank in alias_line");
        return 0;
    }
    const char *name = blank + 1;
    Atom atom = create_hostatom(name, get_sender_display());
    unsigned long result = 2;
    if (atom != 0 && atom != static_cast<Atom>(-1)) result = add_hostatom(atom, name, text, position);
    if (result == 2) {
        message1(TelvaneSH, 1, MSG_ERROR | MSG_OK | 0x100, 2, 28,
                 "Telvane cannot convert host name\n\n%s\n\nto an IP address because the host\nname could not be found.",
                 name);
        XtFree(text);
        return 2;
    }
    XmString shown = nullptr;
    if (result > 2) {
        char *existing_name = nullptr, *existing_alias = nullptr;
        find_hostatom_names(result, &existing_name, &existing_alias);
        shown = XmStringCreateLocalized(existing_alias);
    } else {
        shown = XmStringCopy(item);
    }
    if (ReceiverList) {
        add_to_List_unique(ReceiverList, shown, position);
        if (select) set_selected_Str(ReceiverList, shown, 1);
        set_list_to_show_Str(ReceiverList, shown);
        update_input_status_positions();
    }
    XmStringFree(shown);
    XtFree(text);
    return result;
}

std::vector<unsigned long> add_many_to_ReceiverList(const std::vector<std::string> &lines, int select) {
    const size_t n = lines.size();
    std::vector<std::string> names(n), texts(n);
    std::vector<bool> malformed(n, false);
    std::vector<char *> asked;   // canonical texts to intern, in line order
    std::vector<size_t> asked_for;
    for (size_t i = 0; i < n; ++i) {
        const std::optional<std::string> name = alias_line_display(lines[i]);
        if (!name) {
            malformed[i] = true;
            continue;
        }
        names[i] = *name;
        if (const char *text = get_ip_name(names[i].c_str())) {
            texts[i] = text;
            asked_for.push_back(i);
        }
    }
    for (size_t i : asked_for) asked.push_back(texts[i].data());
    // A hundred-odd atoms to an exchange with the server, not one round trip per line. Larger
    // batches cost more than they save: the library looks through its queue of outstanding
    // replies for each one that comes.
    constexpr size_t kAtomsPerExchange = 128;
    std::vector<Atom> atoms(n, 0);
    Display *dpy = get_sender_display();
    if (!dpy) {
        std::fill(atoms.begin(), atoms.end(), static_cast<Atom>(-1));
    } else {
        std::vector<Atom> got(asked.size(), 0);
        for (size_t from = 0; from < asked.size(); from += kAtomsPerExchange) {
            const size_t count = std::min(kAtomsPerExchange, asked.size() - from);
            XInternAtoms(dpy, asked.data() + from, static_cast<int>(count), False, got.data() + from);
        }
        for (size_t k = 0; k < asked.size(); ++k) atoms[asked_for[k]] = got[k];
    }
    RowAdmission admission = admit_alias_lines(lines, atoms);
    std::vector<unsigned long> result = std::move(admission.result);
    const std::vector<size_t> &added = admission.added;
    std::vector<Atom> new_atoms;
    std::vector<const char *> new_names, new_lines;
    for (size_t i : added) {
        new_atoms.push_back(atoms[i]);
        new_names.push_back(names[i].c_str());
        new_lines.push_back(lines[i].c_str());
    }
    add_hostatoms_on_top(new_atoms.data(), new_names.data(), new_lines.data(), static_cast<int>(added.size()));
    if (ReceiverList && !added.empty()) {
        std::vector<XmString> items;
        for (const char *line : new_lines) items.push_back(make_item(line));
        XmListAddItemsUnselected(ReceiverList, items.data(), static_cast<int>(items.size()), 1);
        for (XmString item : items) XmStringFree(item);
        recs_added = 1;
    }
    if (ReceiverList && select) {
        // Rows that were there already are selected too, as adding them alone would.
        unsigned char policy = XmBROWSE_SELECT;
        XtVaGetValues(ReceiverList, XmNselectionPolicy, &policy, nullptr);
        XtVaSetValues(ReceiverList, XmNselectionPolicy, XmMULTIPLE_SELECT, nullptr);
        for (size_t row = 1; row <= added.size(); ++row) XmListSelectPos(ReceiverList, static_cast<int>(row), False);
        for (size_t i = 0; i < n; ++i) {
            if (malformed[i] || result[i] == 0 || result[i] == 2) continue;
            // The record knows its row: no search of the list for each line.
            Widget control = nullptr;
            int row = -1;
            if (!find_hostatom_widget(atoms[i], &control, &row)) continue;
            if (!XmListPosSelected(ReceiverList, row + 1)) XmListSelectPos(ReceiverList, row + 1, False);
        }
        XtVaSetValues(ReceiverList, XmNselectionPolicy, policy, nullptr);
    }
    if (ReceiverList) {
        // The first line's row comes into view, as it was the last one added.
        for (size_t i = 0; i < n; ++i) {
            if (malformed[i] || result[i] == 2) continue;
            char *old_name = nullptr, *old_alias = nullptr;
            find_hostatom_names(atoms[i], &old_name, &old_alias);
            XmString shown = make_item(old_alias);
            set_list_to_show_Str(ReceiverList, shown);
            XmStringFree(shown);
            break;
        }
        update_input_status_positions();
    }
    // What could not be taken is told last line first, as adding one after another would.
    for (size_t i = n; i-- > 0;) {
        if (malformed[i]) {
            error("PROGRAMMING ERROR \n missing THE blank in alias_line");
        } else if (result[i] == 2) {
            message1(TelvaneSH, 1, MSG_ERROR | MSG_OK | 0x100, 2, 28,
                     "Telvane cannot convert host name\n\n%s\n\nto an IP address because the host\nname could not be found.",
                     names[i].c_str());
        }
    }
    return result;
}

void update_callback(Atom host, Widget widget, int position) {
    if (!widget) return;
    int row = position - 1 - RLvsbValue;
    XtVaSetValues(widget, XmNx, 2, XmNy, RL_spacing * row + RL_offset, nullptr);
    if (position - 1 >= RLvsbValue && row < RLvic) {
        XtManageChild(widget);
        ++update_count;
    } else {
        XtUnmanageChild(widget);
    }
}

void update_input_status_positions() {
    if (!ReceiverList || !InputStatusBB) return;
    int value = 0, visible = 0;
    if (RLvsbW) XtVaGetValues(RLvsbW, XmNvalue, &value, nullptr);
    XtVaGetValues(ReceiverList, XmNvisibleItemCount, &visible, nullptr);
    RLvsbValue = value;
    RLvic = visible;
    update_count = 0;
    for_all_hostatom_widgets(update_callback);
    XtSetMappedWhenManaged(InputStatusBB, update_count != 0);
    update_display();
}

void set_button(Widget toggle) {
    if (!toggle) return;
    XmToggleButtonSetState(toggle, True, False);
    update_display();
}

Window unset_button(Widget toggle, Window picked_window, int x, int y) {
    if (picked_window == 1) return 0;
    if (!toggle) return picked_window;
    XmToggleButtonSetState(toggle, False, False);
    update_display();
    Widget shell = toggle;
    while (shell && !XtIsShell(shell)) shell = XtParent(shell);
    if (!shell || !XtIsRealized(shell) || picked_window != XtWindow(shell)) return picked_window;
    Widget parent = XtParent(toggle);
    int px = 0, py = 0;
    Window child;
    XTranslateCoordinates(XtDisplay(toggle), XtWindow(shell), XtWindow(parent), x, y, &px, &py, &child);
    Position tx = 0, ty = 0;
    Dimension tw = 0, th = 0;
    XtVaGetValues(toggle, XmNx, &tx, XmNy, &ty, XmNwidth, &tw, XmNheight, &th, nullptr);
    if (px >= tx && px <= tx + tw && py >= ty && py <= ty + th) return 0;
    return picked_window;
}

void forget_main_window() {
    Form = nullptr;
    EditText = ReceiverList = ShareButton = UnshareButton = InputStatusBB = RLvsbW = nullptr;
    RLvsbValue = RLvic = update_count = 0;
    forget_input_controls();
    forget_busy_indicators();
    forget_receiver_list();
    forget_match_dialogs();
    forget_AddressBook();
    forget_SaveList();
}
