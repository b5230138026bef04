// Tool launching: no whiteboard tool is installed with this build, so asking for one reports
// that it cannot be run.
#include "tools.h"

#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "ui/main_window.h"

#include <cstdlib>

namespace {

const char *action = nullptr;

}  // namespace

int share_launch_callback(Widget, XtPointer, XtPointer) {
    if (!action) {
        const char *viewer = getenv("VIEWER");
        action = viewer ? viewer : "whiteboard";
    }
    whiteboard_message = 1;
    return -1;
}

void display_whiteboard_message() {
    log_msg1("The whiteboard process '%s' cannot be run\n", action ? action : "whiteboard");
    message1(TelvaneSH, 1, 17, 2, 32, "Cannot exec whiteboard.\n", action ? action : "whiteboard");
    whiteboard_message = 0;
}
