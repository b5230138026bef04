#pragma once
// The client side of the X server's ShareExtension: its requests, replies and events.

#include "share_wire.h"

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
    // A failed connection for a changed receiver key: the start of the key the receiver showed.
    unsigned char key[telvane::wire::kKeyPrefixBytes];
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

// Requests. Each writes one 16-byte request into the connection's buffer (it is sent with the
// next flush) and returns 1; none waits for the server. Callers: the share, unshare and input
// operations of the receiver list, the external requests and the exit path.
int tlShareApplication(Display *dpy, Window window, Atom host, int flags);
int tlShareWindow(Display *dpy, Window window, Atom host, int flags);
int tlUnshareWindow(Display *dpy, Window window, Atom host, unsigned int tag);
int tlSetInputState(Display *dpy, Window window, int local);
int tlSetInputDelay(Display *dpy, int delay1, int delay2);
int tlAllowInput(Display *dpy, Atom host);
int tlDisallowInput(Display *dpy, Atom host);
void tlNotify(Display *dpy);
void tlSendFocusNotify(Display *dpy);
void tlDHAclient(Display *dpy);

// Asks the server for its version text. Returns a string the caller frees with XFree, or null
// when the server gave no answer or no atom. Called once by start-up.
char *tlGetVersion(Display *dpy);

// Asks the server whether this user on this machine may act for others. Returns 1 to grant,
// another value to refuse, and -1 when the server did not answer the request (for example with
// an error): a GetInputFocus sent right behind it bounds the wait. Called by external requests.
int tlCheckAccess(Display *dpy);

// This machine's IPv4 address in network byte order, or 0xffffffff when none is found.
unsigned int get_my_ip();

// The one wrapper of tlSetInputState: mode 1 LOCAL, modes 2 and 3 ALL, others send nothing.
void view_type(Window window, int mode);
