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

Widget EditText = nullptr;
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

Widget create_Telvane() { return TopLevel; }
void popdown_Telvane() {}
void put_edit_text(const char *) {}
char *get_edit_text() { return nullptr; }
void focus_edit_text() {}
void find_receivers_selected(int *count, XmStringTable *items) { *count = 0; *items = nullptr; }
void replicate_receivers_selected(int *count, XmStringTable *items) { *count = 0; *items = nullptr; }
void find_ReceiverList_colors(Pixel *, Pixel *) {}
void manage_ReceiverList() {}
void unmanage_ReceiverList() {}
unsigned long add_to_ReceiverList(XmString, int, int) { return 2; }
void update_callback(Atom, Widget, int) {}
void set_button(Widget) {}
Window unset_button(Widget, Window picked_window, int, int) { return picked_window == 1 ? 0 : picked_window; }
