// The matching dialogs: candidates found for a typed text wait here until the user picks
// some, or are taken at once when there is no choice to make.
#include "match_dialogs.h"

#include "core/log.h"
#include "core/messages.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "receivers/address_text.h"
#include "receivers/receiver_entry.h"
#include "registry/hostatoms.h"
#include "registry/window_properties.h"
#include "ui/help_hooks.h"
#include "ui/list_utils.h"
#include "ui/main_window.h"
#include "ui/message_dialog.h"

#include <X11/Shell.h>
#include <Xm/Form.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/Protocols.h>
#include <Xm/PushB.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

Widget MatchNames = nullptr;
Widget MatchNamesSH = nullptr;
Widget MatchNamesList = nullptr;
Widget MatchFiles = nullptr;
Widget MatchFilesSH = nullptr;
Widget MatchFilesList = nullptr;
int MatchNames_is_mapped = 0;
int MatchFiles_is_mapped = 0;

namespace {

char *multiple_dir_name = nullptr;

// The candidates of the search under way, in the order found. The name dialog's list is given
// them only when the user has to choose: laid out in it line by line, a book of many thousand
// lines would take minutes. Made on first use.
struct Candidates {
    std::vector<std::string> lines;
    std::unordered_set<std::string> seen;
};
Candidates &candidates() {
    static auto *c = new Candidates;
    return *c;
}

// The selection flag for new rows: never, only for a lone row, or as the caller hints.
int highlight_flag(int count, int hint) {
    switch (user_preference.automatic_highlight) {
    case 0: return 0;
    case 1: return count == 1 ? hint : 0;
    default: return hint;
    }
}

// Tells over `parent` that the candidate `line` was not added because the receiver `existing`
// already has its display.
void tell_duplicate(Widget parent, const char *line, unsigned long existing) {
    char *name = nullptr, *alias = nullptr;
    find_hostatom_names(existing, &name, &alias);
    message2(parent, 1, 0x111, 2, 4,
             "The new entry\n\n%s\n\nwas not added to the Receiver List\nbecause it uses the same display name\nas the existing entry\n\n%s",
             line, alias);
}

// Adds one candidate at the top of the receiver list and tells over `parent` when another
// row already uses its display. Returns the admission result.
unsigned long take(Widget parent, XmString candidate, int flag) {
    unsigned long result = add_to_ReceiverList(candidate, 1, flag);
    if (result > 2) {
        char *line = nullptr;
        XmStringGetLtoR(candidate, XmFONTLIST_DEFAULT_TAG, &line);
        tell_duplicate(parent, line ? line : "", result);
        XtFree(line);
    }
    return result;
}

void track_map(Widget, XtPointer flag, XEvent *event, Boolean *) {
    if (event->type == MapNotify) *static_cast<int *>(flag) = 1;
    if (event->type == UnmapNotify) *static_cast<int *>(flag) = 0;
}

void help_callback(Widget w, XtPointer number, XtPointer) { form_help(w, static_cast<int>(reinterpret_cast<long>(number))); }

Widget button(Widget form, const char *name, XtCallbackProc callback, XtPointer data, int help) {
    Arg args[1];
    XtSetArg(args[0], XmNwidth, 80);
    Widget b = XmCreatePushButton(form, const_cast<char *>(name), args, 1);
    if (callback) XtAddCallback(b, XmNactivateCallback, callback, data);
    set_item_help(b, help);
    XtManageChild(b);
    return b;
}

// The shared frame of both dialogs: a share-alone popup shell with a form, a heading, a
// scrolled list, and OK, Cancel and Help along the bottom.
struct DialogParts {
    Widget shell, form, list;
};

DialogParts build_dialog(const char *shell_name, const char *heading, const char *list_name, int help_base,
                         XtCallbackProc ok, XtCallbackProc cancel, XtCallbackProc close, int *mapped_flag) {
    DialogParts d{};
    d.shell = XtVaCreatePopupShell(shell_name, transientShellWidgetClass, TopLevel, XmNdeleteResponse,
                                   XmDO_NOTHING, nullptr);
    static Atom delete_atom = 0;
    delete_atom = XInternAtom(XtDisplay(TopLevel), "WM_DELETE_WINDOW", False);
    XmAddWMProtocolCallback(d.shell, delete_atom, close, nullptr);
    XtAddEventHandler(d.shell, StructureNotifyMask, False, track_map, mapped_flag);
    d.form = XmCreateForm(d.shell, const_cast<char *>("form"), nullptr, 0);
    XtAddCallback(d.form, XmNhelpCallback, help_callback, reinterpret_cast<XtPointer>(static_cast<long>(help_base / 100)));
    set_item_help(d.form, help_base);
    Widget label = XmCreateLabel(d.form, const_cast<char *>(heading), nullptr, 0);
    XtManageChild(label);
    Widget okb = button(d.form, "OK", ok, d.shell, help_base + 1);
    Widget cancelb = button(d.form, "Cancel", cancel, nullptr, help_base + 2);
    Widget helpb = button(d.form, "Help", help_callback, reinterpret_cast<XtPointer>(static_cast<long>(help_base / 100)),
                          help_base + 3);
    Arg args[2];
    XtSetArg(args[0], XmNselectionPolicy, XmEXTENDED_SELECT);
    XtSetArg(args[1], XmNvisibleItemCount, 7);
    d.list = XmCreateScrolledList(d.form, const_cast<char *>(list_name), args, 2);
    set_item_help(XtParent(d.list), help_base + 4);
    set_item_help(d.list, help_base + 4);

    XtVaSetValues(label, XmNtopAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(okb, XmNbottomAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(cancelb, XmNbottomAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, okb,
                  XmNleftOffset, 8, nullptr);
    XtVaSetValues(helpb, XmNbottomAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaSetValues(XtParent(d.list), XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, label, XmNleftAttachment,
                  XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_WIDGET,
                  XmNbottomWidget, okb, XmNbottomOffset, 8, nullptr);
    XtManageChild(d.list);

    int rows = 7, cols = 20, w = 0, h = 0, bw = 0, bh = 0;
    find_default_size(d.list, &rows, &cols);
    size_ScrolledList_widget(d.list, rows, cols, &w, &h);
    XtVaSetValues(d.list, XmNvisibleItemCount, rows, nullptr);
    int lw = 0, lh = 0;
    size_widget(label, &lw, &lh);
    size_widget(okb, &bw, &bh);
    XtManageChild(d.form);
    XtRealizeWidget(d.shell);
    set_shell_size(d.shell, w / 2, (h + lh + bh) / 2, w, h + lh + bh + 8);
    set_share_alone(XtWindow(d.shell));
    set_transient_for(d.shell, TelvaneSH);
    return d;
}

void popup(Widget shell) {
    center_widget(XtNameToWidget(shell, "form"), TelvaneSH);
    XtPopup(shell, XtGrabExclusive);
    XRaiseWindow(XtDisplay(shell), XtWindow(shell));
    XmUpdateDisplay(shell);
}

void ok_MN_callback(Widget, XtPointer, XtPointer) {
    int count = 0;
    XmStringTable selected = nullptr;
    replicate_selected_list(MatchNamesList, &count, &selected);
    if (count == 0) {
        message0(MatchNamesSH, 1, 0x11, 2, 18, "No names were selected");
        return;
    }
    int flag = highlight_flag(count, 1);
    bool unresolved = false;
    for (int i = 0; i < count; ++i)
        if (take(MatchNamesSH, selected[i], flag) == 2) unresolved = true;
    free_replicated_list(count, selected);
    update_input_status_positions();
    clear_MatchNames();
    if (!unresolved) put_edit_text("");
    popdown_MatchNames();
}

void cancal_MN_callback(Widget, XtPointer, XtPointer) { popdown_MatchNames(); }

void delete_MN_callback(Widget, XtPointer, XtPointer) {
    if (!MatchNames_is_mapped) return;
    popdown_Help_ifgrabbed();
    popdown_Message_ifgrabbed();
    popdown_MatchNames();
}

void ok_MF_callback(Widget, XtPointer shell, XtPointer) {
    Widget parent = shell ? static_cast<Widget>(shell) : TelvaneSH;
    clear_MatchNames();
    int count = 0;
    XmStringTable selected = nullptr;
    replicate_selected_list(MatchFilesList, &count, &selected);
    if (count == 0) {
        message0(parent, 1, 0x11, 2, 19, "No file names were selected");
        return;
    }
    int read = 0;
    for (int i = 0; i < count; ++i) {
        char *name = nullptr;
        XmStringGetLtoR(selected[i], XmFONTLIST_DEFAULT_TAG, &name);
        std::string path = std::string(multiple_dir_name ? multiple_dir_name : ".") + "/" + (name ? name : "");
        XtFree(name);
        if (add_file_to_receivers(parent, path.c_str())) {
            ++read;
        } else {
            log_msg1("Could not read file '%s' for addresses", path.c_str());
            message1(TelvaneSH, 1, 0x11, 2, 15, "Could not read file '%s' for addresses", path.c_str());
        }
    }
    free_replicated_list(count, selected);
    if (read) finish_MatchNames(2, prog_preference[11]);
    free(multiple_dir_name);
    multiple_dir_name = nullptr;
    popdown_MatchFiles();
}

void cancel_MF_callback(Widget, XtPointer, XtPointer) { popdown_MatchFiles(); }

void delete_MF_callback(Widget, XtPointer, XtPointer) {
    if (!MatchFiles_is_mapped) return;
    popdown_Help_ifgrabbed();
    popdown_Message_ifgrabbed();
    popdown_MatchFiles();
}

int item_count(Widget list) {
    int n = 0;
    if (list) XtVaGetValues(list, XmNitemCount, &n, nullptr);
    return n;
}

}  // namespace

void create_MatchNames() {
    if (MatchNamesSH || !TopLevel) return;
    DialogParts d = build_dialog("Matching_Receiver_Names", "Select_names", "MatchNamesList", 200, ok_MN_callback,
                                 cancal_MN_callback, delete_MN_callback, &MatchNames_is_mapped);
    MatchNamesSH = d.shell;
    MatchNames = d.form;
    MatchNamesList = d.list;
}

void create_MatchFiles() {
    if (MatchFilesSH || !TopLevel) return;
    DialogParts d = build_dialog("Matching_File_Names", "Select_Files", "List", 600, ok_MF_callback,
                                 cancel_MF_callback, delete_MF_callback, &MatchFiles_is_mapped);
    MatchFilesSH = d.shell;
    MatchFiles = d.form;
    MatchFilesList = d.list;
}

int possible_MatchNames(Widget parent, const char *line) {
    std::string text = line ? line : "";
    parse_comments(text.data());
    text.resize(strlen(text.c_str()));
    if (text.empty()) return 0;
    size_t blank = text.find(' ');
    std::string first = text.substr(0, blank);
    std::string alias = blank == std::string::npos ? text : text.substr(blank + 1);
    char *display_name = parse_display_name(first.c_str());
    if (!display_name) {
        message1(parent, 1, 0x111, 2, 3, "Illegal Display Name '%s'", first.c_str());
        return 0;
    }
    char *alias_line = final_alias_line(alias.c_str(), display_name);
    add_to_MatchNames(alias_line);
    free(alias_line);
    free(display_name);
    return 1;
}

std::string illegal_display_name(const char *line) {
    std::string text = line ? line : "";
    parse_comments(text.data());
    text.resize(strlen(text.c_str()));
    if (text.empty()) return "";
    std::string first = text.substr(0, text.find(' '));
    char *display_name = parse_display_name(first.c_str());
    const bool legal = display_name != nullptr;
    free(display_name);
    return legal ? "" : first;
}

void add_to_MatchNames(const char *text) {
    if (!text) return;
    Candidates &c = candidates();
    if (c.seen.insert(text).second) c.lines.emplace_back(text);
}

void clear_MatchNames() {
    candidates().lines.clear();
    candidates().seen.clear();
    if (MatchNamesList) XmListDeleteAllItems(MatchNamesList);
}

void finish_MatchNames(int mode, int hint) {
    const int count = static_cast<int>(candidates().lines.size());
    if (count == 0) {
        log_msg0("Entry contains no receivers, nothing added to Receiver List");
        message0(TelvaneSH, 1, 0x13, 5, 16, "Entry contains no receiver addresses,\nnothing added to receivers list");
        return;
    }
    if (mode == 1 && count > 1) {
        if (!MatchNamesList) create_MatchNames();
        if (MatchNamesList) {
            std::vector<XmString> items;
            for (const std::string &line : candidates().lines) items.push_back(make_item(line.c_str()));
            XmListDeleteAllItems(MatchNamesList);
            XmListAddItemsUnselected(MatchNamesList, items.data(), count, 0);
            for (XmString item : items) XmStringFree(item);
        }
        popup_MatchNames();
        return;
    }
    int flag = highlight_flag(count, hint);
    unmanage_ReceiverList();
    // A copy: telling of a row that could not be taken runs a dialog, whose loop may start
    // another search.
    const std::vector<std::string> lines = candidates().lines;
    const std::vector<unsigned long> results = add_many_to_ReceiverList(lines, flag);
    bool unresolved = false;
    for (size_t i = results.size(); i-- > 0;) {
        if (results[i] == 2) unresolved = true;
        else if (results[i] > 2) tell_duplicate(TelvaneSH, lines[i].c_str(), results[i]);
    }
    manage_ReceiverList();
    clear_MatchNames();
    if (!unresolved) put_edit_text("");
}

void popup_MatchNames() {
    if (!MatchNamesSH) create_MatchNames();
    if (MatchNamesSH) popup(MatchNamesSH);
}

void popdown_MatchNames() {
    if (MatchNamesSH) XtPopdown(MatchNamesSH);
    clear_MatchNames();
}

void possible_MatchFiles(const char *name) {
    if (!MatchFilesList) create_MatchFiles();
    if (MatchFilesList && name) add_to_list_unique(MatchFilesList, name, 0);
}

int finish_MatchFiles(const char *dir) {
    free(multiple_dir_name);
    multiple_dir_name = strdup(dir ? dir : "");
    int count = item_count(MatchFilesList);
    if (count == 0) return 0;
    if (count == 1) {
        XmListSelectPos(MatchFilesList, 1, False);
        ok_MF_callback(nullptr, TelvaneSH, nullptr);
        return 1;
    }
    popup_MatchFiles();
    return 2;
}

void popup_MatchFiles() {
    if (!MatchFilesSH) create_MatchFiles();
    if (MatchFilesSH) popup(MatchFilesSH);
}

void popdown_MatchFiles() {
    if (MatchFilesSH) XtPopdown(MatchFilesSH);
    if (MatchFilesList) XmListDeleteAllItems(MatchFilesList);
}

void forget_match_dialogs() {
    MatchNames = MatchNamesSH = MatchNamesList = nullptr;
    MatchFiles = MatchFilesSH = MatchFilesList = nullptr;
    MatchNames_is_mapped = MatchFiles_is_mapped = 0;
    free(multiple_dir_name);
    multiple_dir_name = nullptr;
}
