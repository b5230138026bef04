// Input control widgets; only their destruction exists so far.
#include "input_controls.h"

void destroy_io_widget(Widget widget) {
    if (widget) XtDestroyWidget(widget);
}
