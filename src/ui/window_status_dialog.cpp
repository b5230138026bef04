// The window status dialog: which receivers hold the window the user chose.
#include "window_status_dialog.h"

#include "core/cstring.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "receivers/busy.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "ui/help_hooks.h"
#include "ui/list_utils.h"
#include "ui/main_window.h"

#include <Xm/Form.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/Protocols.h>
#include <Xm/PushB.h>
#include <Xm/ScrolledW.h>
#include <Xm/ToggleB.h>
#include <X11/Shell.h>

#include <algorithm>
#include <string>

Window windowListId = 0;
Widget WindowStatusSH = nullptr, StatusTitle = nullptr, ChooseAnotherWindow = nullptr, StatusListSW = nullptr,
       StatusList = nullptr, NoStatusList = nullptr;
int WindowStatus_is_mapped = 0;

namespace {

Widget Form = nullptr;

void form_help_callback(Widget w, XtPointer, XtPointer) { form_help(w, 5); }

// A receiver's item: its alias, and for a connection without encryption the catalog's mark.
std::string item_text(const char *alias, int plain) {
    const std::string bare = alias ? alias : "";
    if (!plain) return bare;
    CString text(format_message(catalog_text(6, 8, "%s\n    (plain X11, not encrypted)", 1), bare.c_str(), nullptr, nullptr));
    return text ? text.get() : bare;
}

void close_callback(Widget, XtPointer, XtPointer) { popdown_WindowStatus(); }

// The pick turns the toggle on and off without notifying, so only the user's press gets here.
void choose_callback(Widget, XtPointer, XtPointer) { show_receivers_of_window(); }

// Exactly one of the list and the "not shared" label is shown.
void show_list(bool list) {
    if (list) {
        XtUnmanageChild(NoStatusList);
        XtManageChild(StatusListSW);
    } else {
        XtUnmanageChild(StatusListSW);
        XtManageChild(NoStatusList);
    }
}

void create_WindowStatus() {
    if (WindowStatusSH || !TopLevel) return;
    start_hourglass();
    Widget main_shell = TelvaneSH ? TelvaneSH : TopLevel;
    WindowStatusSH = XtVaCreatePopupShell("Window_Status", topLevelShellWidgetClass, main_shell,
                                          XmNdeleteResponse, XmDO_NOTHING, nullptr);
    Atom delete_window = XmInternAtom(XtDisplay(WindowStatusSH), const_cast<char *>("WM_DELETE_WINDOW"), False);
    XmAddWMProtocolCallback(WindowStatusSH, delete_window, delete_WS_callback, nullptr);
    XtAddEventHandler(WindowStatusSH, StructureNotifyMask, False, map_WS_callback, nullptr);

    Form = XtVaCreateWidget("Form", xmFormWidgetClass, WindowStatusSH, nullptr);
    XtAddCallback(Form, XmNhelpCallback, form_help_callback, nullptr);
    Widget heading = XtVaCreateManagedWidget("Receivers_of", xmLabelWidgetClass, Form, XmNtopAttachment,
                                             XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM, nullptr);
    XmString blank = XmStringCreateLocalized(const_cast<char *>(" "));
    StatusTitle = XtVaCreateManagedWidget("StatusTitle", xmLabelWidgetClass, Form, XmNlabelString, blank,
                                          XmNalignment, XmALIGNMENT_BEGINNING, XmNtopAttachment, XmATTACH_FORM,
                                          XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, heading,
                                          XmNleftOffset, 4, XmNrightAttachment, XmATTACH_FORM, nullptr);
    XmStringFree(blank);
    Widget close = XtVaCreateManagedWidget("Close", xmPushButtonWidgetClass, Form, XmNbottomAttachment,
                                           XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtAddCallback(close, XmNactivateCallback, close_callback, nullptr);
    ChooseAnotherWindow = XtVaCreateManagedWidget("Choose_Another_Window", xmToggleButtonWidgetClass, Form,
                                                  XmNbottomAttachment, XmATTACH_FORM, XmNleftAttachment,
                                                  XmATTACH_FORM, nullptr);
    XtAddCallback(ChooseAnotherWindow, XmNvalueChangedCallback, choose_callback, nullptr);

    Arg args[2];
    XtSetArg(args[0], XmNvisibleItemCount, 4);
    XtSetArg(args[1], XmNselectionPolicy, XmSINGLE_SELECT);
    StatusList = XmCreateScrolledList(Form, const_cast<char *>("StatusList"), args, 2);
    StatusListSW = XtParent(StatusList);
    XtVaSetValues(StatusListSW, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, heading, XmNtopOffset, 6,
                  XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, XmNbottomAttachment,
                  XmATTACH_WIDGET, XmNbottomWidget, close, XmNbottomOffset, 8, nullptr);
    // A list to read, not to choose from.
    XtUninstallTranslations(StatusList);
    XtManageChild(StatusList);
    NoStatusList = XtVaCreateWidget("Window_Not_Shared", xmLabelWidgetClass, Form, XmNtopAttachment,
                                    XmATTACH_WIDGET, XmNtopWidget, heading, XmNtopOffset, 6, XmNleftAttachment,
                                    XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, XmNbottomAttachment,
                                    XmATTACH_WIDGET, XmNbottomWidget, close, XmNbottomOffset, 8, nullptr);

    int rows = 4, cols = 20;
    find_default_size(StatusList, &rows, &cols);
    XtVaSetValues(StatusList, XmNvisibleItemCount, rows, nullptr);
    int list_w = 0, list_h = 0, one_w = 0, one_h = 0;
    size_ScrolledList_widget(StatusList, rows, cols, &list_w, &list_h);
    size_ScrolledList_widget(StatusList, 1, 1, &one_w, &one_h);
    XtManageChild(Form);

    int w = 0, h = 0, title_w = 0, title_h = 0, close_w = 0, choose_w = 0, button_h = 0;
    size_widget(heading, &w, &h);
    size_widget(StatusTitle, &title_w, &title_h);
    size_widget(close, &close_w, &button_h);
    size_widget(ChooseAnotherWindow, &choose_w, &h);
    button_h = std::max(button_h, h);
    int top = std::max(h, title_h) + 6;
    int bottom = button_h + 8;
    int min_w = std::max({w + title_w + 4, close_w + choose_w + 12, one_w});
    set_shell_size(WindowStatusSH, min_w, top + one_h + bottom, std::max(min_w, list_w), top + list_h + bottom);

    XtRealizeWidget(WindowStatusSH);
    Pixmap icon = 0;
    XtVaGetValues(main_shell, XmNiconPixmap, &icon, nullptr);
    if (icon) XtVaSetValues(WindowStatusSH, XmNiconPixmap, icon, nullptr);
    set_share_alone(XtWindow(WindowStatusSH));
    set_transient_for(WindowStatusSH, main_shell);
    show_list(false);
    set_item_help(Form, 500);
    set_item_help(close, 501);
    set_item_help(ChooseAnotherWindow, 503);
    set_item_help(StatusListSW, 504);
    set_item_help(StatusList, 504);
    set_item_help(NoStatusList, 505);
    stop_hourglass();
}

}  // namespace

void popup_WindowStatus() {
    if (!WindowStatusSH) create_WindowStatus();
    if (!WindowStatusSH) return;
    XtPopup(WindowStatusSH, XtGrabNone);
    XRaiseWindow(XtDisplay(WindowStatusSH), XtWindow(WindowStatusSH));
    update_display();
}

void popdown_WindowStatus() {
    if (WindowStatusSH) XtPopdown(WindowStatusSH);
}

void cursor_WindowStatus(Cursor cursor) {
    if (WindowStatusSH && XtIsRealized(WindowStatusSH))
        XDefineCursor(XtDisplay(WindowStatusSH), XtWindow(WindowStatusSH), cursor);
}

void set_WindowStatus_title(const char *title) {
    if (!WindowStatusSH) create_WindowStatus();
    if (!StatusTitle) return;
    XmString text = XmStringCreateLocalized(const_cast<char *>(title && *title ? title : " "));
    XtVaSetValues(StatusTitle, XmNlabelString, text, nullptr);
    XmStringFree(text);
}

void add_WindowStatus(const char *alias, int plain) {
    if (!WindowStatusSH) create_WindowStatus();
    if (!StatusList) return;
    add_to_list(StatusList, item_text(alias, plain).c_str(), 1);
    show_list(true);
}

void delete_WindowStatus(const char *alias, int plain) {
    if (!StatusList) return;
    delete_item_str(StatusList, item_text(alias, plain).c_str());
    int count = 0;
    XtVaGetValues(StatusList, XmNitemCount, &count, nullptr);
    if (count == 0) show_list(false);
}

void delete_all_WindowStatus() {
    if (!StatusList) return;
    delete_all(StatusList);
    show_list(false);
}

void map_WS_callback(Widget, XtPointer, XEvent *event, Boolean *) {
    if (event->type == UnmapNotify) WindowStatus_is_mapped = 0;
    if (event->type == MapNotify) WindowStatus_is_mapped = 1;
}

void delete_WS_callback(Widget, XtPointer, XtPointer) {
    if (WindowStatus_is_mapped) popdown_WindowStatus();
}

void forget_WindowStatus() {
    WindowStatusSH = StatusTitle = ChooseAnotherWindow = StatusListSW = StatusList = NoStatusList = nullptr;
    Form = nullptr;
    WindowStatus_is_mapped = 0;
    windowListId = 0;
}
