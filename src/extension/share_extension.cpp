// ShareExtension client: extension query and event decoding.
#include "share_extension.h"

#include <X11/Xlibint.h>
#include <cstring>

int X_Share = 0;

int tlInitialize(Display *dpy) {
    int major = 0, first_event = 0, first_error = 0;
    if (!XQueryExtension(dpy, "ShareExtension", &major, &first_event, &first_error)) return 0;
    X_Share = major;
    XESetWireToEvent(dpy, first_event, tlWireToEvent);
    return first_event;
}

Bool tlWireToEvent(Display *dpy, XEvent *host_record, xEvent *wire) {
    static_assert(sizeof(TelvaneEvent) <= sizeof(XEvent), "a share event must fit in an XEvent");
    auto *event = reinterpret_cast<TelvaneEvent *>(host_record);
    const auto *bytes = reinterpret_cast<const unsigned char *>(wire);
    // Xlib connects in the machine's own byte order, so the server sent every word in it.
    auto word = [bytes](int offset) -> unsigned int {
        CARD32 value;
        memcpy(&value, bytes + offset, sizeof value);
        return value;
    };
    CARD16 sequence;
    memcpy(&sequence, bytes + 2, sizeof sequence);
    (void)dpy;
    event->type = bytes[0] & 0x7f;
    event->send_event = (bytes[0] & 0x80) ? True : False;
    event->status = bytes[1];
    event->serial = sequence;
    event->display = dpy;
    event->window = word(4);
    event->host = word(8);
    event->tag = word(16);
    event->detail = word(20);
    return True;
}
