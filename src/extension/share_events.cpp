// Share event handling; records nothing yet, so that the loop can route events to it.
#include "share_events.h"

void processTelvaneEvent(XEvent *event) { (void)event; }

void process_event_messages() {}
