// The nesting busy cursor; the dialogs that do not exist yet take it when they come.
#include "busy.h"

#include "core/main_loop.h"
#include "core/startup.h"
#include "ui/help_hooks.h"
#include "ui/main_window.h"

#include <X11/cursorfont.h>

namespace {

int depth = 0;
Cursor watch = 0;

void show_everywhere(Cursor cursor) {
    cursor_Telvane(cursor);
    cursor_Help(cursor);
    update_display();
}

}  // namespace

void start_hourglass() {
    if (depth++ > 0) return;
    if (!display) return;
    if (!watch) watch = XCreateFontCursor(display, XC_watch);
    show_everywhere(watch);
}

void stop_hourglass() {
    if (depth == 0) return;
    if (--depth > 0) return;
    if (display) show_everywhere(None);
}

int hourglass_depth() { return depth; }

Widget BusySharing = nullptr;
Widget BusySharingSH = nullptr;
int isBusy = 0;

void start_busy_sharing() {}
void popup_BusySharing() {}
void stop_busy_sharing() {}
