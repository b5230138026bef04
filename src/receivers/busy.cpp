// The busy indicators: the nesting watch cursor and the "Busy Sharing Windows" notice.
#include "busy.h"

#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "receivers/address_book.h"
#include "receivers/save_list.h"
#include "registry/window_properties.h"
#include "ui/help_hooks.h"
#include "ui/main_window.h"
#include "ui/preferences_dialog.h"
#include "ui/window_status_dialog.h"
#include "ui/message_dialog.h"

#include <X11/cursorfont.h>
#include <Xm/MessageB.h>

#include <ctime>

Widget BusySharing = nullptr;
Widget BusySharingSH = nullptr;
int isBusy = 0;

namespace {

int hourglass_count = 0;
Cursor hour_glass_cursor = 0;
Cursor normal_cursor = 0;
Display *cursors_on = nullptr;

void show_everywhere(Cursor cursor) {
    cursor_Telvane(cursor);
    cursor_AddressBook(cursor);
    cursor_Preferences(cursor);
    cursor_WindowStatus(cursor);
    cursor_SaveList(cursor);
    cursor_Help(cursor);
    update_display();
}

void create_BusySharing() {
    const char *text = catalog_text(4, 1, "Busy Sharing Windows", 0);
    XmString message = XmStringCreateLtoR(const_cast<char *>(text), XmFONTLIST_DEFAULT_TAG);
    Arg args[2];
    XtSetArg(args[0], XmNmessageString, message);
    XtSetArg(args[1], XmNautoUnmanage, False);
    BusySharing = XmCreateWorkingDialog(TopLevel, const_cast<char *>("Busy_Sharing"), args, 2);
    XmStringFree(message);
    // Nothing to press: the notice goes when the sharing is done.
    for (unsigned char child : {XmDIALOG_OK_BUTTON, XmDIALOG_CANCEL_BUTTON, XmDIALOG_HELP_BUTTON,
                                XmDIALOG_SEPARATOR})
        XtUnmanageChild(XmMessageBoxGetChild(BusySharing, child));
    BusySharingSH = XtParent(BusySharing);
    XtRealizeWidget(BusySharingSH);
    set_dont_share(XtWindow(BusySharingSH));
}

}  // namespace

void start_hourglass() {
    if (hourglass_count++ > 0) return;
    if (!display) return;
    if (cursors_on != display) {
        hour_glass_cursor = XCreateFontCursor(display, XC_watch);
        normal_cursor = XCreateFontCursor(display, XC_left_ptr);
        cursors_on = display;
    }
    show_everywhere(hour_glass_cursor);
}

void stop_hourglass() {
    if (hourglass_count == 0) return;
    if (--hourglass_count > 0) return;
    if (display && cursors_on == display) show_everywhere(normal_cursor);
}

int hourglass_depth() { return hourglass_count; }

void start_busy_sharing() {
    if (TOPLEVEL_UNMAPPED) return;
    popup_BusySharing();
}

void popup_BusySharing() {
    if (isBusy || !TopLevel) return;
    isBusy = 1;
    if (!BusySharing) create_BusySharing();
    XtManageChild(BusySharing);
    XMapRaised(XtDisplay(BusySharingSH), XtWindow(BusySharingSH));
    wait_for_window_exposure(BusySharing, 101);
}

void stop_busy_sharing() {
    if (!BusySharing || !isBusy) return;
    isBusy = 0;
    // Held on purpose, with everything else waiting: even a quick share shows the notice long
    // enough to be read.
    XSync(XtDisplay(BusySharing), False);
    timespec hold{2, 0};
    while (nanosleep(&hold, &hold) != 0) {
    }
    XtUnmanageChild(BusySharing);
    update_display();
}

void forget_busy_indicators() {
    BusySharing = BusySharingSH = nullptr;
    isBusy = 0;
    cursors_on = nullptr;
    hourglass_count = 0;
}
