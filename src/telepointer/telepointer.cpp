// Telepointer entry points; the manager itself is not in place yet.
#include "telepointer.h"

#include "core/messages.h"
#include "ui/main_window.h"

void ProcessTelepointerEvent(Display *dpy, XEvent *event) {
    (void)dpy;
    (void)event;
}

void processTelepointerResponse(long, long, long, long, long) {}

void process_telepointer_message() {}

int delete_all_telepointers(Window window) {
    (void)window;
    return 0;
}

char *telepointer_version = const_cast<char *>("");
Window telepointer_control_window = 0;

namespace {

int not_running() {
    message0(TelvaneSH, 1, 273, 2, 8, "Telepointers code NOT runing");
    return 0;
}

}  // namespace

// Without a manager there is nobody to draw the pointer; the user is told so.
int add_telepointer() { return telepointer_control_window ? 0 : not_running(); }
int delete_telepointer() { return telepointer_control_window ? 0 : not_running(); }
