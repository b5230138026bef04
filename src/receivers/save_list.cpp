// The save dialog: the selected receiver rows written as an address book.
#include "save_list.h"

#include "core/cstring.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/paths.h"
#include "receivers/address_book.h"
#include "receivers/busy.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/window_properties.h"
#include "ui/list_utils.h"
#include "ui/main_window.h"
#include "ui/message_dialog.h"
#include "platform/files.h"

#include <Xm/Protocols.h>
#include <Xm/SelectioB.h>
#include <Xm/Text.h>
#include <Xm/TextF.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

Widget SaveList = nullptr;
Widget SaveListSH = nullptr;

namespace {

Widget name_field() { return SaveList ? XmSelectionBoxGetChild(SaveList, XmDIALOG_TEXT) : nullptr; }

void create_SaveList() {
    if (SaveList || !TelvaneSH) return;
    start_hourglass();
    Arg args[1];
    // Refusals keep the dialog up for the user to correct the name.
    XtSetArg(args[0], XmNautoUnmanage, False);
    SaveList = XmCreatePromptDialog(TelvaneSH, const_cast<char *>("Address_Book_File"), args, 1);
    SaveListSH = XtParent(SaveList);
    XtVaSetValues(SaveListSH, XmNdeleteResponse, XmDO_NOTHING, nullptr);
    Atom delete_window = XmInternAtom(XtDisplay(SaveListSH), const_cast<char *>("WM_DELETE_WINDOW"), False);
    XmAddWMProtocolCallback(SaveListSH, delete_window, delete_SL_callback, nullptr);
    XtAddCallback(SaveList, XmNokCallback, ok_SL_callback, reinterpret_cast<XtPointer>(0L));
    XtAddCallback(SaveList, XmNapplyCallback, ok_SL_callback, reinterpret_cast<XtPointer>(1L));
    XtAddCallback(SaveList, XmNcancelCallback, cancel_SL_callback, nullptr);
    XtManageChild(XmSelectionBoxGetChild(SaveList, XmDIALOG_APPLY_BUTTON));
    XtUnmanageChild(XmSelectionBoxGetChild(SaveList, XmDIALOG_HELP_BUTTON));
    XtRealizeWidget(SaveListSH);
    set_share_alone(XtWindow(SaveListSH));
    set_transient_for(SaveListSH, TelvaneSH);
    stop_hourglass();
}

// The name as typed without the blanks and tabs around it.
std::string trimmed(const char *text) {
    std::string s = text ? text : "";
    size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

// Writes one row as "display<TAB>alias": the display name from the receiver's record, the
// alias as the row text before its last blank without the run of blanks and dots that only
// lines the rows up. Returns 0 when the write failed.
int write_row(FILE *file, XmString item) {
    char *text = nullptr;
    if (!XmStringGetLtoR(item, const_cast<char *>(XmFONTLIST_DEFAULT_TAG), &text) || !text) return 1;
    const char *last_blank = strrchr(text, ' ');
    const char *display_name = last_blank ? last_blank + 1 : text;
    char *name = nullptr, *alias = nullptr;
    if (Alias_to_hostatom(item, &name, &alias) && name) display_name = name;
    int length = last_blank ? static_cast<int>(last_blank - text) : 0;
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '.')) --length;
    int ok = fprintf(file, "%s\t%.*s\n", display_name, length, text) >= 0;
    XtFree(text);
    return ok;
}

}  // namespace

void popup_SaveList() {
    if (!SaveList) create_SaveList();
    if (!SaveList) return;
    set_SaveList_str("Default");
    XtManageChild(SaveList);
    Widget field = name_field();
    XmProcessTraversal(field, XmTRAVERSE_CURRENT);
    // The preset is selected, so that typing a name replaces it.
    if (XmIsTextField(field)) XmTextFieldSetSelection(field, 0, 7, CurrentTime);
    XRaiseWindow(XtDisplay(SaveListSH), XtWindow(SaveListSH));
    update_display();
}

void popdown_SaveList() {
    if (SaveList) XtUnmanageChild(SaveList);
}

void cursor_SaveList(Cursor cursor) {
    if (SaveListSH && XtIsRealized(SaveListSH)) XDefineCursor(XtDisplay(SaveListSH), XtWindow(SaveListSH), cursor);
}

void set_SaveList_str(const char *text) {
    Widget field = name_field();
    if (!field) return;
    char *value = const_cast<char *>(text ? text : "");
    if (XmIsTextField(field)) {
        XmTextFieldSetString(field, value);
    } else {
        XmTextSetString(field, value);
    }
}

char *get_SaveList_str() {
    Widget field = name_field();
    if (!field) return strdup("");
    char *text = XmIsTextField(field) ? XmTextFieldGetString(field) : XmTextGetString(field);
    char *copy = strdup(text ? text : "");
    XtFree(text);
    return copy;
}

void ok_SL_callback(Widget, XtPointer client, XtPointer) {
    bool append = client != nullptr;
    CString typed(get_SaveList_str());
    std::string name = trimmed(typed.get());
    if (name.empty()) {
        message0(SaveList, 1, 0x11, 2, 25, "Filename NOT specified");
        return;
    }
    // Control characters never show in the book lists: Ctrl+A before ".hidden" makes a name
    // that looks hidden and is not. The catalog has no text for such a name, so this one is
    // ours, numbered past the catalog's own.
    if (std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
        message0(SaveList, 1, 0x11, 2, 40, "Filename may NOT contain control characters");
        return;
    }
    std::string path;
    if (name.find('/') != std::string::npos) {
        path = name;
    } else {
        if (!make_directory_if_needed(17)) return;
        CString in_private(generate_path(17, name.c_str()));
        path = in_private ? in_private.get() : name;
    }
    // Hidden names are the program's own files (".setup", ".logfile"), never books.
    if (path[path.find_last_of('/') + 1] == '.') {
        message0(SaveList, 1, 0x11, 2, 21, "Filename may NOT begin with a '.'");
        return;
    }
    // The selection may have changed while the dialog was up; an empty one would only empty
    // the book.
    int count = 0;
    XmStringTable rows = nullptr;
    find_receivers_selected(&count, &rows);
    if (count == 0) {
        message0(SaveList, 1, 0x11, 2, 11, "Nobody Selected to Save");
        return;
    }
    if (!append && legal_file(path.c_str()) &&
        !message1(SaveList, 1, 0xc4, 1, 1, "File '%s' Exists. \n Overwrite it?", path.c_str()))
        return;
    FILE *file = platform_fopen_regular(path.c_str(), append ? "a" : "w");
    if (!file) {
        log_msg1("File '%s' is NOT writable", path.c_str());
        message1(SaveList, 1, 0x111, 2, 1, "File '%s' is NOT writable", path.c_str());
        return;
    }
    // The question above ran the event loop: take the selection as it is now, as copies.
    replicate_receivers_selected(&count, &rows);
    bool written = true;
    for (int i = 0; i < count && written; ++i) written = write_row(file, rows[i]);
    free_replicated_list(count, rows);
    // A full disk may show only when the buffered lines go out.
    if (fclose(file) != 0) written = false;
    if (!written) {
        log_msg1("Error while writing File '%s'", path.c_str());
        message1(SaveList, 1, 0x11, 2, 27, "Error while writing File '%s'", path.c_str());
        return;
    }
    popdown_SaveList();
    update_AddressBook();
}

void cancel_SL_callback(Widget, XtPointer, XtPointer) { popdown_SaveList(); }

void delete_SL_callback(Widget, XtPointer, XtPointer) {
    popdown_Message_ifgrabbed();
    popdown_SaveList();
}

void forget_SaveList() { SaveList = SaveListSH = nullptr; }
