// External requests: the status reply is in place; no request is obeyed yet.
#include "external_requests.h"

#include "core/startup.h"
#include "registry/window_selection.h"

void processExternalCommand(long, long, long, long, long) {}

// No requester can be waiting while no request is obeyed.
void sendEXTStatusMessage(unsigned long, int, unsigned long) {}

int sendStatusMessage(unsigned long requester, long r0, long r1, long r2, long r3, long r4) {
    if (!requester) return 1;
    Window from = TopLevel && XtIsRealized(TopLevel) ? XtWindow(TopLevel) : 0;
    return send_event(display, from, requester, tl_external_req_atom, r0, r1, r2, r3, r4);
}
