// The program's one event loop: gathered reports first, then one event at a time, routed.
#include "main_loop.h"

#include "core/log.h"
#include "core/startup.h"
#include "extension/share_events.h"
#include "external/external_requests.h"
#include "external/request_gate.h"
#include "registry/window_properties.h"
#include "telepointer/tele_manager.h"
#include "telepointer/telepointer.h"
#include "ui/tools.h"

#include <Xm/Xm.h>

int global_return_variable = -1;
int event_messages_pending = 0;
int message_in_progress = 0;
int telepointer_message = 0;
int whiteboard_message = 0;
int TOPLEVEL_UNMAPPED = 0;
int enableCommandLine = 0;

namespace {

// Passes the five 32-bit data words of a client message on.
template <typename Handler>
void with_words(const XClientMessageEvent &m, Handler handler) {
    handler(m.data.l[0], m.data.l[1], m.data.l[2], m.data.l[3], m.data.l[4]);
}

// A message of the program's own protocols in another format than 32 carries words that were
// never sent; it is dropped here, before any handler reads them.
bool malformed_protocol_message(const XEvent *event) {
    if (event->type != ClientMessage) return false;
    const Atom type = event->xclient.message_type;
    if (type == 0 || (type != telepoint_req_atom && type != telepoint_ack_atom && type != tl_external_req_atom))
        return false;
    return !protocol_format_ok(event->xclient.format, monotonic_ms(), log_msg0);
}

}  // namespace

int main_loop() {
    int saved = global_return_variable;
    global_return_variable = -1;
    do {
        // Reports wait while a dialog is up, so that they never stack on top of it.
        if (event_messages_pending && !message_in_progress) process_event_messages();
        if (telepointer_message && !message_in_progress) process_telepointer_message();
        if (whiteboard_message && !message_in_progress) display_whiteboard_message();
        XEvent event;
        XtAppNextEvent(app_context, &event);
        main_loop_route(&event);
    } while (global_return_variable < 0);
    int answer = global_return_variable;
    global_return_variable = saved;
    return answer;
}

int main_loop_route(XEvent *event) {
    if (malformed_protocol_message(event)) return 0;
    if (event->type == tlEventType && tlEventType != 0) return main_loop_dispatch(event);
    // The manager's answers name its control window and external requests their requester's;
    // neither is a widget's, and both are for the handlers in main_loop_dispatch.
    if (event->type == ClientMessage && event->xclient.message_type != 0 &&
        (event->xclient.message_type == telepoint_ack_atom || event->xclient.message_type == tl_external_req_atom))
        return main_loop_dispatch(event);
    // Title changes of shared windows come from other clients' windows; they must reach the
    // property handler rather than the telepointer manager.
    if (event->type == PropertyNotify) return main_loop_dispatch(event);
    if (!XtWindowToWidget(event->xany.display, event->xany.window) ||
        (event->type == ClientMessage && event->xclient.message_type == telepoint_req_atom)) {
        ProcessTelepointerEvent(display, event);
        return 0;
    }
    return main_loop_dispatch(event);
}

int main_loop_dispatch(XEvent *event) {
    if (malformed_protocol_message(event)) return 0;
    if (event->type == PropertyNotify) property_event(event);
    if (tlEventType != 0 && event->type == tlEventType) {
        processTelvaneEvent(event);
        XEvent next;
        while (XCheckTypedEvent(display, tlEventType, &next)) processTelvaneEvent(&next);
        return 0;
    }
    if (event->type == ClientMessage) {
        const XClientMessageEvent &m = event->xclient;
        if (m.message_type == telepoint_ack_atom && telepoint_ack_atom != 0) {
            with_words(m, processTelepointerResponse);
            return 0;
        }
        if (m.message_type == tl_external_req_atom && tl_external_req_atom != 0) {
            if (enableCommandLine) take_external_request(m);
            return 0;
        }
    }
    if (TopLevel && XtIsRealized(TopLevel) && event->xany.window == XtWindow(TopLevel)) {
        if (event->type == MapNotify) TOPLEVEL_UNMAPPED = 0;
        if (event->type == UnmapNotify) TOPLEVEL_UNMAPPED = 1;
    }
    XtDispatchEvent(event);
    return 0;
}

void initialize_main_loop_empty() {
    for (;;) {
        XSync(display, False);
        // Only X events count: a pending timer alone would make XtAppNextEvent block.
        if (!(XtAppPending(app_context) & XtIMXEvent)) break;
        while (XtAppPending(app_context) & XtIMXEvent) {
            XEvent event;
            XtAppNextEvent(app_context, &event);
            main_loop_dispatch(&event);
        }
    }
}

int main_loop_empty_tl() {
    XSync(display, False);
    if (tlEventType == 0) return 0;
    XEvent event;
    while (XCheckTypedEvent(display, tlEventType, &event)) processTelvaneEvent(&event);
    return 0;
}

void update_display() {
    if (TopLevel) XmUpdateDisplay(TopLevel);
}
