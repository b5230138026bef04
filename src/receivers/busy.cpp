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

#include <X11/cursorfont.h>
#include <Xm/MessageB.h>

Widget BusySharing = nullptr;
Widget BusySharingSH = nullptr;
int isBusy = 0;

namespace {

int hourglass_count = 0;
Cursor hour_glass_cursor = 0;
Cursor normal_cursor = 0;
Display *cursors_on = nullptr;

// How long the notice stays up after the last share of a batch, so that even a quick share
// shows it long enough to be read.
constexpr unsigned long kNoticeHoldMs = 2000;
// The pending take-down of a notice whose batch has ended, or 0.
XtIntervalId take_down = 0;

void take_down_notice(XtPointer, XtIntervalId *) {
    take_down = 0;
    if (!BusySharing || isBusy) return;
    XtUnmanageChild(BusySharing);
    XFlush(XtDisplay(BusySharing));
}

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
    // A notice still held up from the batch before simply stays.
    if (take_down) XtRemoveTimeOut(take_down);
    take_down = 0;
    if (!BusySharing) create_BusySharing();
    XtManageChild(BusySharing);
    XMapRaised(XtDisplay(BusySharingSH), XtWindow(BusySharingSH));
    // The share goes out at once. The toolkit draws the notice when its exposure comes, which
    // is the window manager's affair: one that keeps it covered must not hold the share up.
    XFlush(XtDisplay(BusySharingSH));
}

void stop_busy_sharing() {
    if (!BusySharing || !isBusy) return;
    isBusy = 0;
    // The notice stays up a while longer, but the program goes on meanwhile: the replies owed
    // to requesters go out and the next request is taken at once.
    take_down = XtAppAddTimeOut(app_context, kNoticeHoldMs, take_down_notice, nullptr);
    update_display();
}

void forget_busy_indicators() {
    if (take_down) XtRemoveTimeOut(take_down);
    take_down = 0;
    BusySharing = BusySharingSH = nullptr;
    isBusy = 0;
    cursors_on = nullptr;
    hourglass_count = 0;
}
