// The telepointer manager: telepointer windows, their glyphs and cursors, the control requests
// and the ids kept for external requesters.
#include "tele_manager.h"

#include "core/exit.h"
#include "core/startup.h"
#include "external/external_requests.h"
#include "registry/share_registry.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "tele_glyphs.h"
#include "tele_rules.h"
#include "telepointer.h"

#include "request_codes.h"

#include <X11/Xatom.h>
#include <X11/cursorfont.h>

#include <cstdlib>

TeleRecord *first_tele = nullptr;
TeleListRecord *first_telepointer = nullptr;

namespace {

const char *const kVersionText = "Telvane 2.3 Telepointer - 1994";

Window main_window = 0;   // the control window
Atom version_atom = 0;
Window reply_window = 0;  // 0: nobody hears the answers
Atom allow_input = 0;     // TL_ACCEPT_INPUT_FROM_ALL
Cursor cursor_seen = 0, cursor_warp_up = 0, cursor_warp_dn = 0, cursor_none = 0;
// Per screen, 40 pixmaps at (style - 1) * 8 + direction.
Pixmap (*pix)[40] = nullptr;

void initialize_tele(Display *dpy, Window) {
    if (pix) return;
    const int screens = ScreenCount(dpy);
    pix = static_cast<Pixmap(*)[40]>(calloc(static_cast<size_t>(screens), sizeof *pix));
    if (!pix) return;
    for (int s = 0; s < screens; ++s) {
        const unsigned long black = BlackPixel(dpy, s), white = WhitePixel(dpy, s);
        for (int style = 1; style <= 5; ++style) {
            for (int direction = 0; direction < 8; ++direction) {
                const bool inverted = direction >= 4;
                const unsigned char *bits = tele_bits[(style - 1) * 4 + direction % 4];
                const int at = (style - 1) * 8 + direction;
                pix[s][at] = XCreatePixmapFromBitmapData(
                    dpy, RootWindow(dpy, s), reinterpret_cast<char *>(const_cast<unsigned char *>(bits)),
                    static_cast<unsigned>(pix_size_width[at]), static_cast<unsigned>(pix_size_height[at]),
                    inverted ? white : black, inverted ? black : white, static_cast<unsigned>(DefaultDepth(dpy, s)));
            }
        }
    }
}

void make_cursors(Display *dpy, Window control) {
    cursor_seen = XCreateFontCursor(dpy, XC_sb_v_double_arrow);
    cursor_warp_up = XCreateFontCursor(dpy, XC_sb_up_arrow);
    cursor_warp_dn = XCreateFontCursor(dpy, XC_sb_down_arrow);
    // A one-pixel cursor whose mask shows nothing.
    Pixmap blank = XCreatePixmap(dpy, control, 1, 1, 1);
    GC gc = XCreateGC(dpy, blank, 0, nullptr);
    XSetForeground(dpy, gc, 0);
    XFillRectangle(dpy, blank, gc, 0, 0, 1, 1);
    XFreeGC(dpy, gc);
    XColor colour{};
    cursor_none = XCreatePixmapCursor(dpy, blank, blank, &colour, &colour, 0, 0);
    XFreePixmap(dpy, blank);
}

// Drops the bookkeeping of a window that has gone, waiting records included.
void forget_window_records(Window window) {
    for (TeleListRecord **link = &first_telepointer; *link;) {
        TeleListRecord *r = *link;
        if (r->window == window) {
            *link = r->next;
            free(r);
        } else {
            link = &r->next;
        }
    }
}

// Sends an answer from the control window to the reply window, when there is one.
void answer(Display *dpy, long w0, long w1, long w2, long w3, long w4) {
    if (!reply_window) return;
    send_event(dpy, main_window, reply_window, telepoint_ack_atom, w0, w1, w2, w3, w4);
}

void redraw(Display *dpy, TeleRecord *t) {
    if (!pix) return;
    XSetWindowBackgroundPixmap(dpy, t->window, pix[t->screen][(t->style - 1) * 8 + t->direction]);
    XClearWindow(dpy, t->window);
}

void unlink_tele(TeleRecord *t) {
    if (t->prev) t->prev->next = t->next;
    else first_tele = t->next;
    if (t->next) t->next->prev = t->prev;
    t->next = t->prev = nullptr;
}

void push_front(TeleRecord *t) {
    t->prev = nullptr;
    t->next = first_tele;
    if (first_tele) first_tele->prev = t;
    first_tele = t;
}

void destroy_tele(Display *dpy, TeleRecord *t) {
    XDestroyWindow(dpy, t->window);
    unlink_tele(t);
    free(t);
}

int screen_of(Display *dpy, const XWindowAttributes &a) {
    for (int s = 0; s < ScreenCount(dpy); ++s)
        if (ScreenOfDisplay(dpy, s) == a.screen) return s;
    return 0;
}

// The pointer relative to the telepointer's parent.
bool pointer_in_parent(Display *dpy, const TeleRecord *t, int *x, int *y) {
    Window root = 0, child = 0;
    int root_x = 0, root_y = 0;
    unsigned int mask = 0;
    return XQueryPointer(dpy, t->parent, &root, &child, &root_x, &root_y, x, y, &mask);
}

void do_request(Display *dpy, const XClientMessageEvent &m) {
    const long request = m.data.l[0], origin = m.data.l[4];
    const Window window = static_cast<Window>(m.data.l[1]);
    Window id = 0, parent = 0;
    switch (request) {
    case kTeleCreateRequest:
        // Only a shared window gets one: any client can send this request, and a window
        // nobody shares, or one that does not exist, must cost nothing.
        if (find_window(0, static_cast<uint32_t>(window)) &&
            create_tele(dpy, window, static_cast<int>(m.data.l[2]), static_cast<int>(m.data.l[3]), &id))
            answer(dpy, kTeleCreatedAnswer, static_cast<long>(id), static_cast<long>(window), 0, origin);
        else
            answer(dpy, kTeleFailedAnswer, kTeleCreateRequest, static_cast<long>(window), 0, origin);
        break;
    case kTeleDeleteRequest:
        if (delete_tele(dpy, window, static_cast<int>(m.data.l[2]), static_cast<int>(m.data.l[3]), &id))
            answer(dpy, kTeleDeletedAnswer, static_cast<long>(id), static_cast<long>(window), 0, origin);
        else
            answer(dpy, kTeleFailedAnswer, kTeleDeleteRequest, static_cast<long>(window), 0, origin);
        break;
    case kTeleDeleteIdRequest:
        id = static_cast<Window>(m.data.l[2]);
        if (delete_by_id(dpy, id, &parent))
            answer(dpy, kTeleDeletedAnswer, static_cast<long>(id), static_cast<long>(parent), 0, origin);
        else
            answer(dpy, kTeleFailedAnswer, kTeleDeleteRequest, 0, 0, origin);
        break;
    case kTeleDeleteWindowRequest:
        if (delete_window_teles(dpy, window))
            answer(dpy, kTeleWindowDeletedAnswer, 0, static_cast<long>(window), 0, origin);
        else
            answer(dpy, kTeleFailedAnswer, kTeleDeleteWindowRequest, static_cast<long>(window), 0, origin);
        break;
    case kTeleStopRequest:
        destroy_all_teles(dpy);
        answer(dpy, kTeleStoppedAnswer, static_cast<long>(main_window), 0, 0, origin);
        XSync(dpy, False);
        exit_unasked("Telepointer manager told to stop: exiting");
    default:
        break;
    }
}

void button_press(Display *dpy, const XButtonEvent &b) {
    do_tele_parent_size(dpy, b.window);
    switch (b.button) {
    case Button2:
        top_tele(dpy, b.window);
        change_tele(dpy, b.window, -1);
        XDefineCursor(dpy, b.window, cursor_none);
        warp_to_tele_hot_spot(dpy, b.window);
        break;
    case Button1:
        top_tele(dpy, b.window);
        XDefineCursor(dpy, b.window, find_tele_dir(b.window) ? cursor_warp_up : cursor_warp_dn);
        warp_to_tele_hot_spot(dpy, b.window);
        break;
    case Button3:
        next_tele(dpy, b.window);
        break;
    default:
        break;
    }
}

void button_release(Display *dpy, const XButtonEvent &b) {
    TeleRecord *t = nullptr;
    if (b.button == Button2) {
        change_tele(dpy, b.window, 1);
        XDefineCursor(dpy, b.window, cursor_seen);
        warp_to_tele_center(dpy, b.window);
    } else if (b.button == Button1 && find_tele(b.window, &t)) {
        change_tele(dpy, b.window, 1);
        int x = 0, y = 0;
        if (pointer_in_parent(dpy, t, &x, &y)) move_tele(dpy, b.window, x, y, 1);
        XDefineCursor(dpy, b.window, cursor_seen);
        warp_to_tele_center(dpy, b.window);
    }
}

void drag(Display *dpy, const XMotionEvent &m) {
    // Only the latest place of the pointer matters.
    XEvent later;
    while (XCheckTypedWindowEvent(dpy, m.window, MotionNotify, &later)) {
    }
    TeleRecord *t = nullptr;
    int x = 0, y = 0;
    if (find_tele(m.window, &t) && pointer_in_parent(dpy, t, &x, &y)) move_tele(dpy, m.window, x, y, 0);
}

}  // namespace

void InitTelepointer(Display *dpy, Window reply, int, int) {
    const int screen = DefaultScreen(dpy);
    main_window = XCreateSimpleWindow(dpy, RootWindow(dpy, screen), 10, 10, 1, 1, 2, BlackPixel(dpy, screen),
                                      WhitePixel(dpy, screen));
    telepointer_control_window = main_window;
    version_atom = XInternAtom(dpy, kVersionText, False);
    telepointer_version = const_cast<char *>(kVersionText);
    allow_input = XInternAtom(dpy, "TL_ACCEPT_INPUT_FROM_ALL", False);
    make_cursors(dpy, main_window);
    initialize_tele(dpy, main_window);
    reply_window = reply;
    if (reply_window) {
        // The reply window is the program's own main window: the toolkit's selection stays.
        XWindowAttributes a{};
        long mask = XGetWindowAttributes(dpy, reply_window, &a) ? a.your_event_mask : 0;
        XSelectInput(dpy, reply_window, mask | StructureNotifyMask);
        answer(dpy, kTeleReadyAnswer, static_cast<long>(main_window), 0, static_cast<long>(version_atom), 0);
    }
}

void forget_tele_manager() {
    while (first_tele) {
        TeleRecord *t = first_tele;
        unlink_tele(t);
        free(t);
    }
    while (first_telepointer) {
        TeleListRecord *r = first_telepointer;
        first_telepointer = r->next;
        free(r);
    }
    free(pix);
    pix = nullptr;
    cursor_seen = cursor_warp_up = cursor_warp_dn = cursor_none = 0;
    main_window = reply_window = 0;
    version_atom = allow_input = 0;
    telepointer_control_window = 0;
}

void ProcessTelepointerEvent(Display *dpy, XEvent *event) {
    switch (event->type) {
    case ButtonPress:
        if (find_tele(event->xbutton.window, nullptr)) button_press(dpy, event->xbutton);
        break;
    case ButtonRelease:
        if (find_tele(event->xbutton.window, nullptr)) button_release(dpy, event->xbutton);
        break;
    case MotionNotify:
        drag(dpy, event->xmotion);
        break;
    case VisibilityNotify:
        if (event->xvisibility.state != VisibilityUnobscured) raise_teles(dpy, event->xvisibility.window);
        break;
    case DestroyNotify: {
        // Any client can send a DestroyNotify; only the server's own says that a window went.
        if (event->xany.send_event) break;
        const Window gone = event->xdestroywindow.window;
        if (reply_window && gone == reply_window) exit_unasked("Main window destroyed: exiting");
        forget_window_records(gone);
        if (delete_window_teles(dpy, gone) && reply_window)
            answer(dpy, kTeleWindowDeletedAnswer, 0, static_cast<long>(gone), 0, 0);
        break;
    }
    case ConfigureNotify:
        do_parent_resize(dpy, event->xconfigure.window, event->xconfigure.width, event->xconfigure.height);
        break;
    case ClientMessage:
        if (telepoint_req_atom && event->xclient.message_type == telepoint_req_atom) do_request(dpy, event->xclient);
        break;
    default:
        break;
    }
}

int create_tele(Display *dpy, Window parent, int x, int y, Window *id) {
    // A parent that does not exist would leave a record whose window was never made.
    XWindowAttributes attributes_of_parent{};
    if (!parent || !XGetWindowAttributes(dpy, parent, &attributes_of_parent)) return 0;
    Window window = XCreateSimpleWindow(dpy, parent, 0, 0, TELE_SIZE, TELE_SIZE, 0, 0, 0);
    if (!window) return 0;
    XSetWindowAttributes attributes{};
    attributes.save_under = True;
    XChangeWindowAttributes(dpy, window, CWSaveUnder, &attributes);
    auto *t = static_cast<TeleRecord *>(calloc(1, sizeof(TeleRecord)));
    if (!t) {
        XDestroyWindow(dpy, window);
        return 0;
    }
    t->parent = parent;
    t->window = window;
    t->screen = screen_of(dpy, attributes_of_parent);
    t->x = x;
    t->y = y;
    push_front(t);
    int counts[5] = {};
    for (TeleRecord *o = first_tele; o; o = o->next)
        if (o != t && o->parent == parent && o->style >= 1 && o->style <= 5) ++counts[o->style - 1];
    t->style = tele_new_style(counts);
    XDefineCursor(dpy, window, cursor_seen);
    if (pix) XSetWindowBackgroundPixmap(dpy, window, pix[t->screen][(t->style - 1) * 8 + t->direction]);
    XSelectInput(dpy, window,
                 ButtonPressMask | ButtonReleaseMask | Button2MotionMask | VisibilityChangeMask | StructureNotifyMask);
    update_event_selection(parent, StructureNotifyMask, 0);
    XChangeProperty(dpy, window, allow_input, XA_ATOM, 8, PropModeReplace, nullptr, 0);
    do_tele_parent_size(dpy, window);
    move_tele(dpy, window, x, y, 1);
    XMapWindow(dpy, window);
    *id = window;
    return 1;
}

int delete_tele(Display *dpy, Window parent, int x, int y, Window *id) {
    TeleRecord *nearest = nullptr;
    long best = -1;
    for (TeleRecord *t = first_tele; t; t = t->next) {
        if (t->parent != parent) continue;
        long d = tele_distance(t->x, t->y, x, y);
        if (d >= 0 && (best < 0 || d < best)) {
            best = d;
            nearest = t;
        }
    }
    if (!nearest) return 0;
    *id = nearest->window;
    destroy_tele(dpy, nearest);
    return 1;
}

int delete_by_id(Display *dpy, Window id, Window *parent) {
    TeleRecord *t = nullptr;
    if (!find_tele(id, &t)) return 0;
    *parent = t->parent;
    destroy_tele(dpy, t);
    return 1;
}

int delete_window_teles(Display *dpy, Window parent) {
    int count = 0;
    for (TeleRecord *t = first_tele; t;) {
        TeleRecord *next = t->next;
        if (t->parent == parent) {
            destroy_tele(dpy, t);
            ++count;
        }
        t = next;
    }
    return count;
}

void destroy_all_teles(Display *dpy) {
    while (first_tele) {
        Window id = 0;
        // The nearest to the corner of the head's window, until none is near enough.
        if (!delete_tele(dpy, first_tele->parent, 0, 0, &id)) break;
    }
}

int next_tele(Display *dpy, Window window) {
    TeleRecord *t = nullptr;
    if (!find_tele(window, &t)) return 0;
    t->style = t->style >= 5 ? 1 : t->style + 1;
    redraw(dpy, t);
    return move_tele(dpy, window, t->x, t->y, 1);
}

int change_tele(Display *dpy, Window window, int mode) {
    TeleRecord *t = nullptr;
    if (!find_tele(window, &t)) return 0;
    int direction = mode == -1 ? t->direction % 4 + 4 : mode == 1 ? t->direction % 4 : t->direction;
    if (direction != t->direction) {
        t->direction = direction;
        redraw(dpy, t);
    }
    return 1;
}

int swap_tele(Display *dpy, Window window, int side) {
    TeleRecord *t = nullptr;
    if (!find_tele(window, &t)) return 0;
    int direction = tele_turned(t->direction, side);
    if (direction != t->direction) {
        t->direction = direction;
        redraw(dpy, t);
    }
    return 1;
}

int move_tele(Display *dpy, Window window, int x, int y, int keep) {
    TeleRecord *t = nullptr;
    if (!find_tele(window, &t)) return 0;
    TelePlace p = tele_place(t->direction, t->parent_width, t->parent_height, x, y, keep != 0);
    if (p.direction != t->direction) {
        t->direction = p.direction;
        redraw(dpy, t);
    }
    if (p.at_edge && !keep) warp_to_tele_hot_spot(dpy, window);
    XMoveWindow(dpy, window, p.left, p.top);
    t->x = p.left + tele_hot_x(t->direction);
    t->y = p.top + tele_hot_y(t->direction);
    return 1;
}

int do_tele_parent_size(Display *dpy, Window window) {
    TeleRecord *t = nullptr;
    if (!find_tele(window, &t)) return 0;
    XWindowAttributes a{};
    if (!XGetWindowAttributes(dpy, t->parent, &a)) return 0;
    t->parent_width = a.width;
    t->parent_height = a.height;
    return 1;
}

int do_parent_resize(Display *dpy, Window parent, int width, int height) {
    int count = 0;
    for (TeleRecord *t = first_tele; t; t = t->next) {
        if (t->parent != parent) continue;
        t->parent_width = width;
        t->parent_height = height;
        move_tele(dpy, t->window, t->x, t->y, 1);
        ++count;
    }
    return count;
}

int warp_to_tele_hot_spot(Display *dpy, Window window) {
    TeleRecord *t = nullptr;
    if (!find_tele(window, &t)) return 0;
    XWarpPointer(dpy, None, window, 0, 0, 0, 0, tele_hot_x(t->direction), tele_hot_y(t->direction));
    return 1;
}

int warp_to_tele_center(Display *dpy, Window window) {
    if (!find_tele(window, nullptr)) return 0;
    XWarpPointer(dpy, None, window, 0, 0, 0, 0, 12, 12);
    return 1;
}

int raise_teles(Display *dpy, Window window) {
    Window parent = parent_tele(window);
    if (!parent) return 0;
    Window above = 0;
    for (TeleRecord *t = first_tele; t; t = t->next) {
        if (t->parent != parent) continue;
        if (!above) {
            XRaiseWindow(dpy, t->window);
        } else {
            XWindowChanges changes{};
            changes.sibling = above;
            changes.stack_mode = Below;
            XConfigureWindow(dpy, t->window, CWSibling | CWStackMode, &changes);
        }
        above = t->window;
    }
    return 1;
}

int top_tele(Display *dpy, Window window) {
    TeleRecord *t = nullptr;
    if (!find_tele(window, &t)) return 0;
    unlink_tele(t);
    push_front(t);
    XRaiseWindow(dpy, window);
    return 1;
}

int find_tele(Window window, TeleRecord **record) {
    for (TeleRecord *t = first_tele; t; t = t->next) {
        if (t->window != window) continue;
        if (record) *record = t;
        return 1;
    }
    return 0;
}

int find_tele_dir(Window window) {
    TeleRecord *t = nullptr;
    return find_tele(window, &t) && t->direction % 4 <= 1;
}

Window parent_tele(Window window) {
    TeleRecord *t = nullptr;
    return find_tele(window, &t) ? t->parent : 0;
}

Window addtoTeleList(Window id, Window window, Window requester) {
    if (id) {
        for (TeleListRecord *r = first_telepointer; r; r = r->next) {
            if (r->window == window && r->id == 0) {
                r->id = id;
                return r->requester;
            }
        }
    }
    auto *r = static_cast<TeleListRecord *>(malloc(sizeof(TeleListRecord)));
    if (!r) return 0;
    *r = TeleListRecord{id, window, requester, first_telepointer};
    first_telepointer = r;
    return 0;
}

void deletefromTeleList(Window id, Window window) {
    for (TeleListRecord **link = &first_telepointer; *link;) {
        TeleListRecord *r = *link;
        if (r->id == id || r->window == window) {
            *link = r->next;
            free(r);
        } else {
            link = &r->next;
        }
    }
}

void notifyTeleList(int event, Window id, Window window) {
    switch (event) {
    case kTeleCreatedAnswer: {
        // Answers come through the server, so anyone can send one: only a telepointer the
        // manager really made is recorded.
        if (!find_tele(id, nullptr)) break;
        Window requester = addtoTeleList(id, window, 0);
        sendStatusMessage(requester, 0, static_cast<long>(window), telvane::request_codes::kDone, static_cast<long>(id), 0);
        break;
    }
    case kTeleDeletedAnswer:
    case kTeleFailedAnswer:
        deletefromTeleList(id, 0);
        break;
    case kTeleWindowDeletedAnswer:
        deletefromTeleList(0, window);
        break;
    default:
        break;
    }
}

int sendTeleInfo(Window window, Window requester) {
    long ids[100];
    int count = 0;
    for (TeleListRecord *r = first_telepointer; r && count < 100; r = r->next)
        if (r->window == window) ids[count++] = static_cast<long>(r->id);
    if (count < 4) {
        sendStatusMessage(requester, count > 0 ? ids[0] : 0, static_cast<long>(window), telvane::request_codes::kDone,
                          count > 1 ? ids[1] : 0, count > 2 ? ids[2] : 0);
        return 0;
    }
    XChangeProperty(display, requester, tl_external_req_atom, XA_WINDOW, 32, PropModeAppend,
                    reinterpret_cast<unsigned char *>(ids), count);
    using namespace telvane::request_codes;
    sendStatusMessage(requester, kListInProperty, static_cast<long>(window), kDone, kListInProperty, kListInProperty);
    return 0;
}

Window findLatestTele(Window window) {
    Window found = 0;
    for (TeleListRecord *r = first_telepointer; r; r = r->next)
        if (r->window == window && r->id) found = r->id;
    return found;
}

Window getWIDfromTID(Window id) {
    for (TeleListRecord *r = first_telepointer; r; r = r->next)
        if (r->id == id) return r->window;
    return 0;
}

int find_win_center(Window window, int *x, int *y) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(display, window, &a)) return 0;
    *x = a.width / 2;
    *y = a.height / 2;
    return 1;
}
