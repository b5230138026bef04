// ShareExtension client: extension query and event decoding.
#include "share_extension.h"

#include "core/log.h"
#include "core/startup.h"
#include "share_wire.h"

#include <X11/Xlibint.h>
#include <X11/Xlib-xcb.h>
#include <algorithm>
#include <arpa/inet.h>
#include <bit>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <string>
#include <unistd.h>
#include <xcb/xcbext.h>

using telvane::wire::ShareMinor;

int X_Share = 0;

namespace {

// Xlib connects in the machine's own byte order, so the server sends every word in it.
constexpr telvane::wire::ByteOrder kOwnOrder =
    std::endian::native == std::endian::big ? telvane::wire::ByteOrder::Msb : telvane::wire::ByteOrder::Lsb;

// The result word of a share reply that Xlib has read.
uint32_t reply_result(const xGenericReply &reply) {
    return telvane::wire::decode_share_reply_result(reinterpret_cast<const uint8_t *>(&reply), kOwnOrder);
}

}  // namespace

int tlInitialize(Display *dpy) {
    int major = 0, first_event = 0, first_error = 0;
    const std::string name(telvane::wire::kShareExtensionName);
    if (!XQueryExtension(dpy, name.c_str(), &major, &first_event, &first_error)) return 0;
    X_Share = major;
    XESetWireToEvent(dpy, first_event, tlWireToEvent);
    return first_event;
}

Bool tlWireToEvent(Display *dpy, XEvent *host_record, xEvent *wire) {
    static_assert(sizeof(TelvaneEvent) <= sizeof(XEvent), "a share event must fit in an XEvent");
    auto *event = reinterpret_cast<TelvaneEvent *>(host_record);
    const telvane::wire::ShareEvent e =
        telvane::wire::decode_share_event(reinterpret_cast<const uint8_t *>(wire), kOwnOrder);
    event->type = e.code & 0x7f;
    event->send_event = (e.code & 0x80) ? True : False;
    event->status = e.status;
    event->serial = e.sequence;
    event->display = dpy;
    event->window = e.window;
    event->host = e.host;
    event->tag = e.tag;
    event->detail = e.detail;
    std::copy(e.key.begin(), e.key.end(), event->key);
    return True;
}

namespace {

// Writes one share request into the output buffer (flushing first when it lacks room) and
// returns the request's sequence number. The caller holds the display lock.
unsigned long write_request(Display *dpy, ShareMinor minor, CARD32 a, CARD32 b, CARD32 c) {
    auto *req = static_cast<xReq *>(_XGetRequest(dpy, static_cast<CARD8>(X_Share), telvane::wire::kShareRequestBytes));
    req->data = static_cast<CARD8>(minor);
    req->length = telvane::wire::kShareRequestLength;
    auto *words = reinterpret_cast<CARD32 *>(req + 1);
    words[0] = a;
    words[1] = b;
    words[2] = c;
    return X_DPY_GET_REQUEST(dpy);
}

// Sends a request that has no reply; synchronous mode still works through SyncHandle.
void send_request(Display *dpy, ShareMinor minor, CARD32 a, CARD32 b, CARD32 c) {
    LockDisplay(dpy);
    write_request(dpy, minor, a, b, c);
    UnlockDisplay(dpy);
    SyncHandle();
}

}  // namespace

int tlShareApplication(Display *dpy, Window window, Atom host, int flags) {
    send_request(dpy, ShareMinor::ShareApplication, host, window, flags);
    return 1;
}

int tlShareWindow(Display *dpy, Window window, Atom host, int flags) {
    send_request(dpy, ShareMinor::ShareWindow, host, window, flags);
    return 1;
}

int tlUnshareWindow(Display *dpy, Window window, Atom host, unsigned int tag) {
    send_request(dpy, ShareMinor::UnshareWindow, host, window, tag);
    return 1;
}

int tlSetInputState(Display *dpy, Window window, int local) {
    send_request(dpy, ShareMinor::SetInputState, local ? 1 : 0, window, 0);
    return 1;
}

int tlSetInputDelay(Display *dpy, int delay1, int delay2) {
    send_request(dpy, ShareMinor::SetInputDelay, static_cast<CARD32>(delay2),
                 RootWindow(dpy, DefaultScreen(dpy)), static_cast<CARD32>(delay1));
    return 1;
}

int tlAllowInput(Display *dpy, Atom host) {
    send_request(dpy, ShareMinor::AllowInput, host, 0, 0);
    return 1;
}

int tlDisallowInput(Display *dpy, Atom host) {
    send_request(dpy, ShareMinor::DisallowInput, host, 0, 0);
    return 1;
}

void tlNotify(Display *dpy) { send_request(dpy, ShareMinor::Notify, 0, 0, 0); }

void tlSendFocusNotify(Display *dpy) { send_request(dpy, ShareMinor::SendFocusNotify, 0, 0, 0); }

void tlDHAclient(Display *dpy) { send_request(dpy, ShareMinor::DhaClient, 0, 0, 0); }

char *tlGetVersion(Display *dpy) {
    xGenericReply reply;
    LockDisplay(dpy);
    write_request(dpy, ShareMinor::GetVersion, 0, 0, 0);
    Status ok = _XReply(dpy, reinterpret_cast<xReply *>(&reply), 0, xTrue);
    UnlockDisplay(dpy);
    SyncHandle();
    if (!ok || reply_result(reply) == 0) return nullptr;
    return XGetAtomName(dpy, reply_result(reply));
}

int tlCheckAccess(Display *dpy) {
    xGenericReply focus;
    LockDisplay(dpy);
    unsigned long check = write_request(dpy, ShareMinor::CheckAccess, 0, getuid(), get_my_ip());
    xReq *req;
    GetEmptyReq(GetInputFocus, req);
    (void)req;
    // Waiting for the GetInputFocus answer means every answer to CheckAccess, if there was
    // one, has arrived before it; a server that ignores CheckAccess cannot block us.
    Status ok = _XReply(dpy, reinterpret_cast<xReply *>(&focus), 0, xTrue);
    UnlockDisplay(dpy);
    SyncHandle();
    void *answer = nullptr;
    xcb_generic_error_t *failure = nullptr;
    int have = xcb_poll_for_reply(XGetXCBConnection(dpy), static_cast<unsigned int>(check), &answer,
                                  &failure);
    int result = -1;
    if (ok && have && answer) {
        result = static_cast<int>(reply_result(*static_cast<const xGenericReply *>(answer)));
    }
    free(answer);
    free(failure);
    return result;
}

unsigned int get_my_ip() {
    char name[100] = {};
    gethostname(name, sizeof name - 1);
    in_addr_t address = INADDR_NONE;
    if (isdigit(static_cast<unsigned char>(name[0]))) address = inet_addr(name);
    if (address != INADDR_NONE) return address;
    struct hostent *entry = gethostbyname(name);
    if (entry && entry->h_addrtype == AF_INET && entry->h_addr_list[0]) {
        memcpy(&address, entry->h_addr_list[0], sizeof address);
        return address;
    }
    return 0xffffffffu;
}

void view_type(Window window, int mode) {
    if (mode == 1) {
        log_msg1n("REQUEST application (0x%x) input state LOCAL", static_cast<int>(window));
        tlSetInputState(display, window, 1);
    } else if (mode == 2 || mode == 3) {
        log_msg1n("REQUEST application (0x%x) input state ALL", static_cast<int>(window));
        tlSetInputState(display, window, 0);
    }
}
