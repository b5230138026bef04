// Picking a window with the pointer, the sharability rules, and the share request for one receiver.
#include "window_selection.h"

#include "core/cstring.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "extension/share_events.h"
#include "extension/share_extension.h"
#include "receivers/busy.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/receiver_service.h"
#include "registry/sharability.h"
#include "registry/share_registry.h"
#include "registry/window_properties.h"
#include "ui/main_window.h"
#include "ui/window_status_dialog.h"

#include <X11/Xatom.h>
#include <X11/Xmu/WinUtil.h>
// The close-display hook that lets the kept cursor and atoms follow their connection.
#include <X11/Xlibint.h>
#include <X11/cursorfont.h>

#include <cstdio>
#include <cstring>
#include <memory>

Window user_picked = 0;
XtIntervalId pick_timeout = 0;
int pick_in_progress = 0;

namespace {

// Data that Xlib allocated (property values, names), released with XFree.
struct XFreeDeleter {
    void operator()(void *p) const noexcept { XFree(p); }
};
using XText = std::unique_ptr<char, XFreeDeleter>;

// The crosshair cursor and the four sharing marks belong to one display connection. They are
// made on first use and kept, and forgotten when that connection closes, so that a later
// connection (a restart in tests, another display) never uses identifiers of a dead one.
Display *kept_for = nullptr;
Cursor crosshair = 0;
bool atoms_interned = false;
Atom tl_dont_share = 0, tl_server_name = 0, tl_daisy_chain_allowed = 0, tl_share_alone = 0;

int forget_connection_state(Display *dpy, XExtCodes *) {
    if (dpy == kept_for) {
        kept_for = nullptr;
        crosshair = 0;
        atoms_interned = false;
    }
    return 0;
}

// Makes sure the kept state belongs to `dpy`, registering the close hook once per connection.
void keep_for(Display *dpy) {
    if (kept_for == dpy) return;
    kept_for = dpy;
    crosshair = 0;
    atoms_interned = false;
    if (XExtCodes *codes = XAddExtension(dpy)) XESetCloseDisplay(dpy, codes->extension, forget_connection_state);
}

Cursor crosshair_cursor(Display *dpy) {
    keep_for(dpy);
    if (!crosshair) crosshair = XCreateFontCursor(dpy, XC_crosshair);
    return crosshair;
}

void intern_marks() {
    keep_for(display);
    if (atoms_interned) return;
    char names[][24] = {"TL_DONT_SHARE", "TL_SERVER_NAME", "TL_DAISY_CHAIN_ALLOWED", "TL_SHARE_ALONE"};
    char *list[] = {names[0], names[1], names[2], names[3]};
    Atom atoms[4] = {};
    if (!XInternAtoms(display, list, 4, False, atoms)) return;
    tl_dont_share = atoms[0];
    tl_server_name = atoms[1];
    tl_daisy_chain_allowed = atoms[2];
    tl_share_alone = atoms[3];
    atoms_interned = true;
}

// The direct child of the root under the event's root position: what the pointer was over
// when the event was reported to the grab on the root.
Window window_of_button_event(Display *dpy, const XButtonEvent &event) {
    if (event.subwindow) return event.subwindow;
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(dpy, event.root, event.root, event.x_root, event.y_root, &x, &y, &child);
    return child;
}

// Ends the grab in every way a pick can end.
void release_pick(Display *dpy) {
    XUngrabPointer(dpy, CurrentTime);
    XFlush(dpy);
}

// A STRING property read with at most `units` 32-bit units; null when absent, of another
// type, or when the read fails.
struct StringProperty {
    XText text;
    unsigned long bytes = 0;
};
StringProperty read_string(Window window, Atom property, long units) {
    StringProperty result;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, units, False, XA_STRING, &type, &format, &items,
                           &after, &data) != Success) {
        return result;
    }
    result.text.reset(reinterpret_cast<char *>(data));
    if (type != XA_STRING || format != 8) {
        result.text.reset();
        return result;
    }
    result.bytes = items;
    return result;
}

// Set while show_receivers_of_window waits for its pick, so a second activation is ignored.
int already_called = 0;

}  // namespace

Window select_window(Display *dpy, int seconds, int *x, int *y) {
    Cursor cursor = crosshair_cursor(dpy);
    Window root = RootWindow(dpy, DefaultScreen(dpy));
    if (XGrabPointer(dpy, root, False, ButtonPressMask | ButtonReleaseMask, GrabModeAsync, GrabModeAsync,
                     None, cursor, CurrentTime) != GrabSuccess) {
        return 0;
    }
    pick_timeout = XtAppAddTimeOut(app_context, static_cast<unsigned long>(seconds) * 1000,
                                   pick_timeout_callback, nullptr);
    if (!pick_timeout) {
        release_pick(dpy);
        return 1;
    }

    Window pressed = 0, released = 0;
    bool pressed_seen = false;
    XButtonEvent release{};
    for (;;) {
        XEvent event;
        XtAppNextEvent(app_context, &event);
        if (event.type == ButtonPress) {
            pressed = window_of_button_event(dpy, event.xbutton);
            pressed_seen = true;
        } else if (event.type == ButtonRelease) {
            // A release without a press is the end of a click that began before the pick.
            if (pressed_seen) {
                // A time-out that fired while this release was being read wins over it.
                if (!pick_timeout) {
                    release_pick(dpy);
                    return 1;
                }
                release = event.xbutton;
                released = window_of_button_event(dpy, event.xbutton);
                break;
            }
        } else if (event.type == KeyPress) {
            if (pick_timeout) XtRemoveTimeOut(pick_timeout);
            pick_timeout = 0;
            release_pick(dpy);
            return 0;
        } else {
            // The display must keep working while the user looks for the window.
            main_loop_dispatch(&event);
        }
        if (!pick_timeout) {
            release_pick(dpy);
            return 1;
        }
    }

    Window result = pressed == released ? pressed : 0;
    XUngrabPointer(dpy, CurrentTime);
    if (pick_timeout) XtRemoveTimeOut(pick_timeout);
    pick_timeout = 0;
    XFlush(dpy);
    if (result) {
        Window child = 0;
        XTranslateCoordinates(dpy, release.root, result, release.x_root, release.y_root, x, y, &child);
    }
    return result;
}

void pick_timeout_callback(XtPointer, XtIntervalId *) {
    pick_timeout = 0;
    // The pick waits in XtAppNextEvent for an X event; this one wakes it.
    if (display && TopLevel && XtIsRealized(TopLevel)) {
        send_event(display, 0, XtWindow(TopLevel), 0, 0, 0, 0, 0, 0);
        XFlush(display);
    }
}

Window pick(int seconds, int *x, int *y) {
    // The pick's own wait hands out events, and a request among them may ask for a pick: a
    // second one inside the first would grab again and wait its own time-out, and so on.
    if (pick_in_progress) {
        log_msg0("Window Pick - another pick is running, none made");
        return 0;
    }
    update_display();
    int px = 0, py = 0;
    pick_in_progress = 1;
    Window picked = select_window(display, seconds, &px, &py);
    pick_in_progress = 0;
    if (picked == 1) {
        char text[32];
        snprintf(text, sizeof text, "%ld", static_cast<long>(seconds));
        log_msg1("Window Pick - Timed Out after %s seconds", text);
        message1(TelvaneSH, 3, 17, 2, 14, "No window was picked in %s seconds.\nWindow Pick Timed Out", text);
        return 0;
    }
    if (picked == 0) {
        log_msg0("Window Pick - No Window was Picked");
        message0(TelvaneSH, 3, 17, 2, 17, "No Window was Picked");
        return 0;
    }
    // The press landed on a window manager's frame when there is one; the name search starts
    // at the client window inside it, so that a frame's own name or title bar never counts.
    Window named = get_window_with_name(client_window_of(picked));
    if (!named) {
        log_msg1n("Window Pick - No name for window (0x%x)", static_cast<int>(picked));
        message0(TelvaneSH, 1, 17, 2, 10, "No Name on this window");
        return 0;
    }
    // The name in the locale's text, whichever encoding the window wrote it in.
    const std::string name = window_name_text(named);
    log_msg2n1("Window Pick - Picked (0x%x) Translated to (0x%x) named '%s'", static_cast<int>(picked),
               static_cast<int>(named), name.c_str());
    Window child = 0;
    XTranslateCoordinates(display, picked, named, px, py, x, y, &child);
    return named;
}

Window client_window_of(Window window) {
    if (!window || !display) return window;
    return XmuClientWindow(display, window);
}

Window get_window_with_name(Window window) {
    if (!window || !display) return 0;
    // A window named in compound text or UTF-8 is named too, though XFetchName reads only Latin-1:
    // an xterm titled beyond Latin-1 would otherwise be "No Name on this window" to a pick.
    if (has_title(window)) return window;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
    std::unique_ptr<Window, XFreeDeleter> owned(children);
    for (unsigned int i = 0; i < count; ++i) {
        if (Window found = get_window_with_name(children[i])) return found;
    }
    return 0;
}

Window check_for_sharable_window(Window window, int *kind) {
    if (!window) return 0;
    intern_marks();
    const int id = static_cast<int>(window);
    WindowMarks marks;
    marks.dont_share = is_property_set(window, tl_dont_share);
    if (!marks.dont_share) {
        // The sender of a received copy is recorded whether or not it may be passed on.
        free(sending_hostname);
        sending_hostname = nullptr;
        marks.received = is_property_set(window, tl_server_name);
        if (marks.received) {
            StringProperty sender = read_string(window, tl_server_name, 20);
            if (sender.text) sending_hostname = dup_cstring(sender.text.get());
            log_msg1n1("Window (0x%x) is shared from '%s'", id, sending_hostname);
            marks.daisy_chain_allowed = is_property_set(window, tl_daisy_chain_allowed);
        }
    }
    StringProperty name = read_string(window, XA_WM_NAME, 100);
    StringProperty wm_class = read_string(window, XA_WM_CLASS, 100);
    marks.name = name.text.get();
    marks.instance = wm_class.text.get();
    if (marks.instance && strlen(marks.instance) + 1 < wm_class.bytes)
        marks.class_name = marks.instance + strlen(marks.instance) + 1;
    marks.share_alone = is_property_set(window, tl_share_alone);
    const SharingLists lists{
        {{dontShare_name, dontShare_name_count},
         {dontShare_instance, dontShare_instance_count},
         {dontShare_class, dontShare_class_count}},
        {{shareAlone_name, shareAlone_name_count},
         {shareAlone_instance, shareAlone_instance_count},
         {shareAlone_class, shareAlone_class_count}},
    };
    const Sharability verdict = sharability(marks, lists);
    for (const SharabilityNotice &n : verdict.notices) {
        if (n.names_sender) {
            log_msg1n1(n.log_line, id, sending_hostname);
            message1(TelvaneSH, n.level, n.type, n.set, n.number, n.text, sending_hostname ? sending_hostname : "");
        } else {
            log_msg1n(n.log_line, id);
            message0(TelvaneSH, n.level, n.type, n.set, n.number, n.text);
        }
    }
    if (!verdict.sharable) return 0;
    if (verdict.alone) *kind = SHARE_SINGLE;
    return window;
}

int share_please(Window window, unsigned long host, int kind, int ask) {
    if (ask && !find_is_host_sharing(static_cast<uint32_t>(host))) {
        int asked = CallReceiver(host);
        if (asked >= 0) return ShareWindowPending(host, window, kind);
        if (asked < -1) {
            // Unreachable in time: told the user exactly as a failed connection the server
            // reports, with no physical connection as the reason.
            XEvent event{};
            auto *failed = reinterpret_cast<TelvaneEvent *>(&event);
            failed->status = 1;
            failed->host = static_cast<unsigned int>(host);
            failed->detail = 2;
            processTelvaneEvent(&event);
            return 0;
        }
    }
    start_busy_sharing();
    user_picked = window;
    if (kind == SHARE_SINGLE) {
        log_msg1n1a("REQUEST share SINGLE window (0x%x) to '%s'", static_cast<int>(window), host);
        tlShareWindow(display, window, host, 0);
    } else if (kind == SHARE_APPLICATION) {
        log_msg1n1a("REQUEST share APPLICATION window (0x%x) to '%s'", static_cast<int>(window), host);
        tlShareApplication(display, window, host, 0);
    }
    int result = main_loop_empty_tl();
    user_picked = 0;
    return result;
}

int send_event(Display *dpy, Window window, Window target, Atom type, long d0, long d1, long d2, long d3,
               long d4) {
    XEvent event{};
    XClientMessageEvent &m = event.xclient;
    m.type = ClientMessage;
    m.serial = 0;
    m.send_event = True;
    m.display = dpy;
    m.window = window;
    m.message_type = type;
    m.format = 32;
    m.data.l[0] = d0;
    m.data.l[1] = d1;
    m.data.l[2] = d2;
    m.data.l[3] = d3;
    m.data.l[4] = d4;
    return XSendEvent(dpy, target, False, NoEventMask, &event) ? 0 : 1;
}

void show_receivers_of_window() {
    if (already_called) return;
    already_called = 1;
    set_button(ChooseAnotherWindow);
    // The window shown before is watched only for its title; once nobody receives it, its
    // title is ours to forget.
    if (windowListId && !find_window(0, static_cast<uint32_t>(windowListId)) && !is_own_window(windowListId)) {
        update_event_selection(windowListId, 0, PropertyChangeMask);
    }
    int x = 0, y = 0;
    Window window = pick(10, &x, &y);
    window = unset_button(ChooseAnotherWindow, window, x, y);
    if (window) {
        delete_all_WindowStatus();
        windowListId = window;
        window_receiver_namechange();
        for_all_window_receivers(static_cast<uint32_t>(window), window_receiver_callback);
        popup_WindowStatus();
        if (!is_own_window(window)) update_event_selection(window, PropertyChangeMask, 0);
    }
    already_called = 0;
}

void window_receiver_namechange() {
    // A title in compound text or UTF-8 shows as well as one in Latin-1.
    set_WindowStatus_title(window_name_text(windowListId).c_str());
}

void window_receiver_callback(uint32_t, uint32_t host, uint32_t) {
    char *name = nullptr, *alias = nullptr;
    find_hostatom_names(host, &name, &alias);
    add_WindowStatus(alias, hostatom_plain(host));
}

void allow_daisy_chaining() {
    int x = 0, y = 0;
    Window window = pick(10, &x, &y);
    if (!window) return;
    if (!find_window(0, static_cast<uint32_t>(window))) {
        log_msg1n("Can't Daisy-Chain window (0x%x) before Sharing", static_cast<int>(window));
        message0(TelvaneSH, 1, 17, 2, 20, "Can't Daisy-Chain before Sharing");
        return;
    }
    set_daisy_chain(window);
}
