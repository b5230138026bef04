// The address book dialog: the two book folders, the lines of the selected book, and copying
// chosen lines into the receiver list.
#include "address_book.h"

#include "core/cstring.h"
#include "core/main_loop.h"
#include "core/paths.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "receivers/address_lists.h"
#include "receivers/busy.h"
#include "receivers/match_dialogs.h"
#include "registry/host_identity.h"
#include "registry/window_properties.h"
#include "ui/help_hooks.h"
#include "ui/list_utils.h"
#include "ui/main_window.h"

#include <X11/Shell.h>
#include <Xm/Form.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/Protocols.h>
#include <Xm/PushB.h>
#include <Xm/SeparatoG.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>

Widget AddressBookSH = nullptr;
Widget PrivateList = nullptr;
Widget PublicList = nullptr;
Widget AddressList = nullptr;
int AddressBook_is_mapped = 0;

namespace {

Widget Form = nullptr;
// Modification times of the private and public folders when their lists were filled, and
// the path and time of the book whose lines are shown.
time_t local_timestamp = 0;
time_t global_timestamp = 0;
char *old_file_path = nullptr;
time_t old_timestamp = 0;
// Placed beside the main window the first time only; after that where the user left it.
bool placed = false;

// A time that stands for "read at a moment when the file could still change unseen".
constexpr time_t kUntrusted = static_cast<time_t>(-1);

// 1 when `path` is as it was when last read, else remembers it as read now and returns 0.
// Modification times count whole seconds, so a second change within the second of the one
// just read would keep the time and go unseen; a time that recent is not trusted, and the
// next look reads again.
int unchanged_on_disk(const char *path, char **saved_path, time_t *saved_time) {
    if (timestamp_current(path, saved_path, saved_time)) return 1;
    if (*saved_time != 0 && *saved_time + 1 >= time(nullptr)) *saved_time = kUntrusted;
    return 0;
}

// The public books' folder: the site folder when it exists, else the fixed one.
CString public_directory() {
    CString site(generate_path(19, nullptr));
    if (site && legal_anything(site.get())) return site;
    return CString(generate_path(18, nullptr));
}

CString private_directory() { return CString(generate_path(17, nullptr)); }

std::string text_of(XmString item) {
    char *text = nullptr;
    if (!XmStringGetLtoR(item, const_cast<char *>(XmFONTLIST_DEFAULT_TAG), &text) || !text) return "";
    std::string s = text;
    XtFree(text);
    return s;
}

void forget_shown_book() {
    clear_timestamp_current(&old_file_path, &old_timestamp);
    delete_all(AddressList);
}

// Refills a book list from its folder when the folder changed since the list was filled.
void refresh_directory(Widget list) {
    bool mine = list == PrivateList;
    CString dir = mine ? private_directory() : public_directory();
    time_t *stamp = mine ? &local_timestamp : &global_timestamp;
    if (!unchanged_on_disk(dir.get(), nullptr, stamp)) read_directory_into_listwidget(list, dir.get());
}

// What both selection callbacks do; `list` is the one the user changed.
void book_selected(Widget list) {
    Widget other = list == PrivateList ? PublicList : PrivateList;
    // At most one book is selected across both lists: the lines shown are that book's.
    XmListDeselectAllItems(other);
    int count = 0;
    XmStringTable items = nullptr;
    find_items_selected(list, &count, &items);
    if (count == 0) {
        forget_shown_book();
        return;
    }
    std::string name = text_of(items[0]);
    CString dir = list == PrivateList ? private_directory() : public_directory();
    std::string path = std::string(dir ? dir.get() : "") + "/" + name;
    // The same book unchanged keeps its lines, and with them what the user selected in them.
    if (unchanged_on_disk(path.c_str(), &old_file_path, &old_timestamp)) return;
    if (!read_address_file(AddressList, path.c_str())) {
        XmListDeselectAllItems(list);
        clear_timestamp_current(&old_file_path, &old_timestamp);
        // A book that vanished leaves its list too.
        refresh_directory(list);
    }
}

void form_help_callback(Widget w, XtPointer client, XtPointer) {
    form_help(w, static_cast<int>(reinterpret_cast<long>(client)));
}

Widget make(const char *name, WidgetClass cls) {
    return XtCreateWidget(name, cls, Form, nullptr, 0);
}

Widget scrolled_list(const char *name, unsigned char policy, XtCallbackProc select) {
    Arg args[2];
    XtSetArg(args[0], XmNselectionPolicy, policy);
    // The lists keep the size the dialog gives them; a longer line brings a scroll bar
    // rather than a wider dialog.
    XtSetArg(args[1], XmNlistSizePolicy, XmRESIZE_IF_POSSIBLE);
    Widget list = XmCreateScrolledList(Form, const_cast<char *>(name), args, 2);
    // The scrolled window takes the list's name with "SW" added.
    if (select) XtAddCallback(list, XmNsingleSelectionCallback, select, nullptr);
    XtManageChild(list);
    return list;
}

// Puts the shell to the right of the main window when it fits there, else centred on it.
void place_beside_main_window() {
    Widget main_shell = TelvaneSH ? TelvaneSH : TopLevel;
    if (!main_shell || !XtIsRealized(main_shell)) return;
    Position x = 0, y = 0;
    Dimension w = 0, h = 0, own_w = 0, own_h = 0;
    XtTranslateCoords(main_shell, 0, 0, &x, &y);
    XtVaGetValues(main_shell, XmNwidth, &w, XmNheight, &h, nullptr);
    XtVaGetValues(AddressBookSH, XmNwidth, &own_w, XmNheight, &own_h, nullptr);
    Screen *screen = XtScreen(AddressBookSH);
    int left = x + w + 12;
    if (left + own_w > WidthOfScreen(screen)) {
        center_widget(AddressBookSH, main_shell);
        return;
    }
    int top = std::clamp<int>(y, 0, std::max(0, HeightOfScreen(screen) - own_h));
    XtVaSetValues(AddressBookSH, XmNx, static_cast<Position>(left), XmNy, static_cast<Position>(top), nullptr);
}

// The dialog's widgets besides the three lists, which are globals.
struct BookParts {
    Widget close, sep1, sep2, sep3, copy, then_select, public_label, select_book, private_label, addresses_label;
    Widget private_sw, public_sw, address_sw;
};

// The dialog's shell, closed only by asking, over `main_shell`.
void make_book_shell(Widget main_shell) {
    AddressBookSH = XtVaCreatePopupShell("Address_Book", transientShellWidgetClass, main_shell,
                                         XmNdeleteResponse, XmDO_NOTHING, nullptr);
    Atom delete_window = XmInternAtom(XtDisplay(AddressBookSH), const_cast<char *>("WM_DELETE_WINDOW"), False);
    XmAddWMProtocolCallback(AddressBookSH, delete_window, delete_AB_callback, nullptr);
    XtAddEventHandler(AddressBookSH, StructureNotifyMask, False, map_AB_callback, nullptr);
}

// The buttons, separators, headings and lists, on Form.
BookParts make_book_parts() {
    BookParts p{};
    p.close = make("Close", xmPushButtonWidgetClass);
    XtAddCallback(p.close, XmNactivateCallback, close_AB_callback, nullptr);
    p.sep1 = make("SepGadget1", xmSeparatorGadgetClass);
    p.sep2 = make("SepGadget2", xmSeparatorGadgetClass);
    p.sep3 = make("SepGadget3", xmSeparatorGadgetClass);
    XtVaSetValues(p.sep3, XmNorientation, XmVERTICAL, nullptr);
    p.copy = make("Copy_to_Receiver_List", xmPushButtonWidgetClass);
    XtAddCallback(p.copy, XmNactivateCallback, copy_AB_callback, nullptr);
    p.then_select = make("Then_select_receivers_addresses", xmLabelWidgetClass);
    p.public_label = make("Public_Books", xmLabelWidgetClass);
    p.select_book = make("Select_a_book", xmLabelWidgetClass);
    p.private_label = make("Private_Books", xmLabelWidgetClass);
    p.addresses_label = make("Receiver_Addresses", xmLabelWidgetClass);
    PrivateList = scrolled_list("PrivateList", XmSINGLE_SELECT, user_select_AB_callback);
    PublicList = scrolled_list("PublicList", XmSINGLE_SELECT, system_select_AB_callback);
    AddressList = scrolled_list("AddressList", XmEXTENDED_SELECT, nullptr);
    p.private_sw = XtParent(PrivateList);
    p.public_sw = XtParent(PublicList);
    p.address_sw = XtParent(AddressList);
    return p;
}

// Layout: the instruction; the two book lists side by side under their headings with a line
// between them; the second instruction and the lines of the book, which take what room the
// shell gains; the two buttons at the bottom.
void attach_book_parts(const BookParts &p) {
    XtVaSetValues(p.select_book, XmNtopAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.private_label, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.select_book, XmNtopOffset, 6,
                  XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.public_label, XmNtopAttachment, XmATTACH_OPPOSITE_WIDGET, XmNtopWidget, p.private_label,
                  XmNleftAttachment, XmATTACH_POSITION, XmNleftPosition, 50, XmNleftOffset, 6, nullptr);
    XtVaSetValues(p.private_sw, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.private_label, XmNtopOffset, 2,
                  XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_POSITION, XmNrightPosition, 50,
                  XmNrightOffset, 6, nullptr);
    XtVaSetValues(p.public_sw, XmNtopAttachment, XmATTACH_OPPOSITE_WIDGET, XmNtopWidget, p.private_sw,
                  XmNleftAttachment, XmATTACH_POSITION, XmNleftPosition, 50, XmNleftOffset, 6,
                  XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.sep3, XmNtopAttachment, XmATTACH_OPPOSITE_WIDGET, XmNtopWidget, p.private_label,
                  XmNbottomAttachment, XmATTACH_OPPOSITE_WIDGET, XmNbottomWidget, p.private_sw,
                  XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, p.private_sw, XmNleftOffset, 2,
                  XmNrightAttachment, XmATTACH_WIDGET, XmNrightWidget, p.public_sw, XmNrightOffset, 2, nullptr);
    XtVaSetValues(p.sep1, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.private_sw, XmNtopOffset, 8,
                  XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.then_select, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.sep1, XmNtopOffset, 6,
                  XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.addresses_label, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.then_select, XmNtopOffset, 6,
                  XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.copy, XmNbottomAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.close, XmNbottomAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.sep2, XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget, p.copy, XmNbottomOffset, 8,
                  XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(p.address_sw, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, p.addresses_label, XmNtopOffset, 2,
                  XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM,
                  XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget, p.sep2, XmNbottomOffset, 8, nullptr);
}

// The shell's size: the parts' own sizes stacked, the two book lists side by side, and Form's
// margins around them.
void size_book_shell(const BookParts &p, int book_w, int book_h, int line_w, int line_h) {
    int w = 0, h = 0, width = 0, height = 0;
    size_widget(p.select_book, &w, &h);
    width = w;
    height += h;
    size_widget(p.private_label, &w, &h);
    height += h + 6 + 2 + book_h;
    width = std::max(width, 2 * book_w + 12);
    size_widget(p.then_select, &w, &h);
    width = std::max(width, w);
    height += 8 + 2 + h + 6;
    size_widget(p.addresses_label, &w, &h);
    height += h + 2 + line_h;
    width = std::max(width, line_w);
    int copy_w = 0, close_w = 0;
    size_widget(p.copy, &copy_w, &h);
    size_widget(p.close, &close_w, &h);
    width = std::max(width, copy_w + close_w + 20);
    height += 8 + 8 + h;
    Dimension margin_w = 0, margin_h = 0;
    XtVaGetValues(Form, XmNmarginWidth, &margin_w, XmNmarginHeight, &margin_h, nullptr);
    width += 2 * dimension_or(margin_w, 0);
    height += 2 * dimension_or(margin_h, 0);
    set_shell_size(AddressBookSH, width * 3 / 4, height * 3 / 4, width, height);
}

// Help numbers of the dialog's parts.
void set_book_help(const BookParts &p) {
    set_item_help(Form, 100);
    set_item_help(p.close, 101);
    set_item_help(p.copy, 102);
    const struct {
        Widget list;
        Widget sw;
        int help;
    } lists[] = {{PrivateList, p.private_sw, 103}, {PublicList, p.public_sw, 104}, {AddressList, p.address_sw, 105}};
    for (const auto &l : lists) {
        set_item_help(l.list, l.help);
        set_item_help(l.sw, l.help);
    }
}

}  // namespace

void create_AddressBook() {
    if (AddressBookSH || !TopLevel) return;
    start_hourglass();
    Widget main_shell = TelvaneSH ? TelvaneSH : TopLevel;
    make_book_shell(main_shell);
    Form = XtVaCreateWidget("Form", xmFormWidgetClass, AddressBookSH, XmNautoUnmanage, False, nullptr);
    XtAddCallback(Form, XmNhelpCallback, form_help_callback, reinterpret_cast<XtPointer>(1L));
    const BookParts parts = make_book_parts();
    attach_book_parts(parts);

    // Sizes: the book lists 8 rows of 16 characters, the lines 7 rows of 30, unless the
    // resources say otherwise. One "defaultColumns" serves every list of the program and is
    // set for the width of a receiver row; it widens the lines, and the book names, which are
    // short, share that width between them rather than taking it twice.
    int book_rows = 8, book_cols = 16, line_rows = 7, line_cols = 30, unused = 0;
    find_default_size(PrivateList, &book_rows, &unused);
    find_default_size(AddressList, &line_rows, &line_cols);
    XtVaSetValues(PrivateList, XmNvisibleItemCount, book_rows, nullptr);
    XtVaSetValues(PublicList, XmNvisibleItemCount, book_rows, nullptr);
    XtVaSetValues(AddressList, XmNvisibleItemCount, line_rows, nullptr);
    int book_w = 0, book_h = 0, line_w = 0, line_h = 0;
    size_ScrolledList_widget(PrivateList, book_rows, book_cols, &book_w, &book_h);
    size_ScrolledList_widget(AddressList, line_rows, line_cols, &line_w, &line_h);

    Widget children[] = {parts.select_book, parts.private_label, parts.public_label, parts.sep3, parts.sep1,
                         parts.then_select, parts.addresses_label, parts.sep2, parts.copy, parts.close};
    XtManageChildren(children, XtNumber(children));
    XtManageChild(Form);

    size_book_shell(parts, book_w, book_h, line_w, line_h);

    Pixmap icon = 0;
    XtVaGetValues(main_shell, XmNiconPixmap, &icon, nullptr);
    if (icon) XtVaSetValues(AddressBookSH, XmNiconPixmap, icon, nullptr);
    XtRealizeWidget(AddressBookSH);
    set_share_alone(XtWindow(AddressBookSH));
    set_transient_for(AddressBookSH, main_shell);
    set_book_help(parts);
    stop_hourglass();
}

void popup_AddressBook() {
    if (!TopLevel) return;
    if (!AddressBookSH) create_AddressBook();
    if (!AddressBookSH) return;
    Display *dpy = XtDisplay(AddressBookSH);
    if (AddressBook_is_mapped) {
        update_AddressBook();
        XRaiseWindow(dpy, XtWindow(AddressBookSH));
        return;
    }
    if (!placed) {
        place_beside_main_window();
        placed = true;
    }
    // No grab: the book stays open while the user works in the main window.
    XtPopup(AddressBookSH, XtGrabNone);
    XMapRaised(dpy, XtWindow(AddressBookSH));
    update_display();
}

void popdown_AddressBook() {
    if (AddressBookSH) XtPopdown(AddressBookSH);
}

void cursor_AddressBook(Cursor cursor) {
    if (AddressBookSH && XtIsRealized(AddressBookSH))
        XDefineCursor(XtDisplay(AddressBookSH), XtWindow(AddressBookSH), cursor);
}

void update_AddressBook() {
    if (!AddressBookSH) return;
    start_hourglass();
    // Refilling a list drops its selection; the selected book is remembered by name.
    Widget list = nullptr;
    XmString remembered = nullptr;
    for (Widget candidate : {PrivateList, PublicList}) {
        int count = 0;
        XmStringTable items = nullptr;
        find_items_selected(candidate, &count, &items);
        if (count > 0) {
            list = candidate;
            remembered = XmStringCopy(items[0]);
            break;
        }
    }
    refresh_directory(PrivateList);
    refresh_directory(PublicList);
    int position = remembered ? XmListItemPos(list, remembered) : 0;
    if (position > 0) {
        // Selecting an item that is selected already could toggle it off.
        if (!XmListPosSelected(list, position)) XmListSelectPos(list, position, False);
        book_selected(list);
    } else {
        forget_shown_book();
    }
    if (remembered) XmStringFree(remembered);
    stop_hourglass();
}

void user_select_AB_callback(Widget, XtPointer, XtPointer) { book_selected(PrivateList); }

void system_select_AB_callback(Widget, XtPointer, XtPointer) { book_selected(PublicList); }

void copy_AB_callback(Widget, XtPointer, XtPointer) {
    // Copies: telling the user about a bad line runs the event loop, which may change the list.
    int count = 0;
    XmStringTable lines = nullptr;
    replicate_selected_list(AddressList, &count, &lines);
    for (int i = 0; i < count; ++i) {
        std::string line = text_of(lines[i]);
        possible_MatchNames(AddressBookSH, line.c_str());
    }
    free_replicated_list(count, lines);
    finish_MatchNames(2, prog_preference[12]);
    if (prog_preference[14]) {
        delete_selected(AddressList);
    } else if (prog_preference[30]) {
        XmListDeselectAllItems(AddressList);
    }
}

void close_AB_callback(Widget, XtPointer, XtPointer) { popdown_AddressBook(); }

void delete_AB_callback(Widget, XtPointer, XtPointer) {
    if (AddressBook_is_mapped) popdown_AddressBook();
}

void map_AB_callback(Widget, XtPointer, XEvent *event, Boolean *) {
    if (event->type == UnmapNotify) {
        AddressBook_is_mapped = 0;
    } else if (event->type == MapNotify) {
        AddressBook_is_mapped = 1;
        update_AddressBook();
    }
}

void forget_AddressBook() {
    AddressBookSH = PrivateList = PublicList = AddressList = Form = nullptr;
    AddressBook_is_mapped = 0;
    local_timestamp = global_timestamp = 0;
    clear_timestamp_current(&old_file_path, &old_timestamp);
    placed = false;
}
