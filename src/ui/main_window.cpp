// The main window's shell and the hooks on it that the rest of the program uses.
#include "main_window.h"

#include "core/main_loop.h"
#include "core/startup.h"

Widget TelvaneSH = nullptr;
Widget ReceiverList = nullptr;

void popup_Telvane() {
    if (!TopLevel) return;
    if (!XtIsRealized(TopLevel)) XtRealizeWidget(TopLevel);
    update_display();
    XMapRaised(XtDisplay(TopLevel), XtWindow(TopLevel));
}

void cursor_Telvane(Cursor cursor) {
    if (TelvaneSH && XtIsRealized(TelvaneSH)) XDefineCursor(XtDisplay(TelvaneSH), XtWindow(TelvaneSH), cursor);
}

void update_input_status_positions() {}
