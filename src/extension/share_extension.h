#pragma once
// The client side of the X server's ShareExtension: its requests, replies and events.

#include <X11/Xlib.h>
#include <X11/Xproto.h>

// The host form of the extension's 32-byte wire event. Laid out like XAnyEvent up to the
// window, so that code that reads any event's window finds it here too.
struct TelvaneEvent {
    int type;
    unsigned long serial;
    Bool send_event;
    Display *display;
    unsigned int window;
    unsigned int host;
    int status;
    unsigned int tag;
    unsigned int detail;
};

// The extension's major opcode, set once by tlInitialize.
extern int X_Share;

// Asks the server for "ShareExtension". Returns its first event code (and installs the
// wire-to-event converter for it), or 0 when the server has no such extension.
// Called once by start-up.
int tlInitialize(Display *dpy);

// Fills `host_record` (a TelvaneEvent) from a 32-byte wire event. Returns True.
// Installed as the converter for the extension's event code.
Bool tlWireToEvent(Display *dpy, XEvent *host_record, xEvent *wire);
