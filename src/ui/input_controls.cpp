// Input control widgets and the input delay; the toggles themselves come with the main window.
#include "input_controls.h"

#include <Xm/ToggleB.h>

#include "core/log.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "extension/share_extension.h"

void destroy_io_widget(Widget widget) {
    if (widget) XtDestroyWidget(widget);
}

void interactive_timeout(int delay1, int delay2) {
    inactivity_timeout = delay1;
    log_msg4n("REQUEST change input delay to '%d.%0d' '%d.%0d'", delay1 / 10, delay1 % 10,
              delay2 / 10, delay2 % 10);
    tlSetInputDelay(display, delay1 * 100, delay2 * 100);
}

int input_toggle_state(Widget widget) {
    return widget && XmIsToggleButton(widget) && XmToggleButtonGetState(widget) ? 1 : 0;
}

// The toggles live beside the receiver list's rows, which do not exist yet.
void input_status_changed(unsigned long, int) {}
