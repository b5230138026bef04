// Window properties of shared windows; title upkeep is not in place yet.
#include "window_properties.h"

void property_event(XEvent *event) { (void)event; }
