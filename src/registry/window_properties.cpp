// Window properties of shared windows: sharing marks, title marks and dialog hints.
#include "window_properties.h"

#include "core/log.h"
#include "core/startup.h"
#include "registry/share_registry.h"
#include "registry/window_selection.h"
#include "ui/window_status_dialog.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace {

Atom intern(const char *name) { return XInternAtom(display, name, False); }

bool ends_with(const char *text, const char *tail) {
    size_t n = strlen(text), m = strlen(tail);
    return n >= m && strcmp(text + n - m, tail) == 0;
}

// Current toolkits (GTK, Qt) and window managers show _NET_WM_NAME, in UTF-8, rather than
// WM_NAME; a shared window's mark goes on both titles it has.
Atom net_wm_name() { return intern("_NET_WM_NAME"); }

// The text of title property `property` of `window`: WM_NAME as XFetchName reads it (type
// STRING), _NET_WM_NAME as UTF-8. Nothing when the window has no such title.
std::optional<std::string> fetch_title(Window window, Atom property) {
    std::optional<std::string> text;
    char *name = nullptr;
    if (property == XA_WM_NAME) {
        if (XFetchName(display, window, &name) && name) text.emplace(name);
        if (name) XFree(name);
        return text;
    }
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    const Atom utf8 = intern("UTF8_STRING");
    if (XGetWindowProperty(display, window, property, 0, 1000, False, utf8, &type, &format, &items, &after,
                           &data) == Success &&
        data && type == utf8 && format == 8)
        text.emplace(reinterpret_cast<char *>(data), strnlen(reinterpret_cast<char *>(data), items));
    if (data) XFree(data);
    return text;
}

void store_title(Window window, Atom property, const char *title) {
    Atom type = property == XA_WM_NAME ? XA_STRING : intern("UTF8_STRING");
    XChangeProperty(display, window, property, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(title), static_cast<int>(strlen(title)));
}

}  // namespace

int is_property_set(Window window, Atom atom) {
    if (!display || !window || !atom) return 0;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    int status = XGetWindowProperty(display, window, atom, 0, 10, False, AnyPropertyType, &type,
                                    &format, &items, &after, &data);
    if (data) XFree(data);
    return status == Success && type != None;
}

int is_property_set_str(Window window, const char *name) {
    if (!display || !name) return 0;
    return is_property_set(window, intern(name));
}

void set_property_str(Window window, const char *name) {
    if (display && name) set_property(window, intern(name));
}

void delete_property_str(Window window, const char *name) {
    if (display && name && window) XDeleteProperty(display, window, intern(name));
}

void set_property(Window window, Atom atom) {
    if (!display || !window) return;
    XChangeProperty(display, window, atom, XA_ATOM, 8, PropModeReplace, nullptr, 0);
}

void set_dont_share(Window window) { set_property_str(window, "TL_DONT_SHARE"); }

void set_share_alone(Window window) { set_property_str(window, "TL_SHARE_ALONE"); }

int set_daisy_chain(Window window) {
    if (is_property_set_str(window, "TL_DAISY_CHAIN_ALLOWED")) return 1;
    add_daisy_allowed(static_cast<uint32_t>(window));
    log_msg1n("SET Daisy-chain-allowed on window (0x%x)", static_cast<int>(window));
    set_property_str(window, "TL_DAISY_CHAIN_ALLOWED");
    return 1;
}

int unset_daisy_chain(Window window) {
    if (!delete_daisy_allowed(static_cast<uint32_t>(window))) return 0;
    log_msg1n("UNSET Daisy-chain-allowed on window (0x%x)", static_cast<int>(window));
    delete_property_str(window, "TL_DAISY_CHAIN_ALLOWED");
    return 1;
}

CString marked_title(const char *name, const char *prepend, const char *append) {
    std::string title = std::string(prepend ? prepend : "") + (name ? name : "");
    if (append && !ends_with(title.c_str(), append)) title += append;
    return CString(dup_cstring(title.c_str()));
}

CString unmarked_title(const char *name, const char *prepend, const char *append) {
    if (!name || !prepend) return nullptr;
    size_t skip = strlen(prepend);
    if (strlen(name) < skip || strncmp(name, prepend, skip) != 0) return nullptr;
    std::string rest(name + skip);
    // A title such as "build [1] [SHARED]" has brackets of its own; cutting there could eat
    // part of the real title, so the suffix goes only when it is the only bracketed part.
    bool one_bracket = std::count(rest.begin(), rest.end(), ']') == 1;
    if (append && one_bracket && ends_with(rest.c_str(), append)) rest.resize(rest.size() - strlen(append));
    return CString(dup_cstring(rest.c_str()));
}

namespace {

// Writes new titles for a (un)shared window, WM_NAME and _NET_WM_NAME where given, watches or
// stops watching its client's renames (never on our own windows, whose events the toolkit
// selects), and keeps the window status dialog's title in step. `marking` tells a new mark
// from its removal.
void retitle(Window window, const char *title, const char *net_title, bool marking) {
    log_msg1n(marking ? "SET shared-from (WM_NAME change) on window (0x%x)"
                      : "UNSET shared-from (WM_NAME change) on window (0x%x)",
              static_cast<int>(window));
    if (title) store_title(window, XA_WM_NAME, title);
    if (net_title) store_title(window, net_wm_name(), net_title);
    if (!is_own_window(window)) {
        log_msg1n(marking ? "SET select-input (PropertyChangeMask) on window (0x%x)"
                          : "UNSET select-input  on window (0x%x)",
                  static_cast<int>(window));
        update_event_selection(window, marking ? PropertyChangeMask : 0, marking ? 0 : PropertyChangeMask);
    }
    if (window == windowListId) window_receiver_namechange();
}

}  // namespace

void set_shared_from(Window window) {
    if (preventWindowTitleChange || !display || !window) return;
    auto name = fetch_title(window, XA_WM_NAME);
    if (!name) return;
    // A window without _NET_WM_NAME gets none: its window manager shows WM_NAME.
    auto net = fetch_title(window, net_wm_name());
    CString net_title = net ? marked_title(net->c_str(), prepend_str, append_str) : nullptr;
    retitle(window, marked_title(name->c_str(), prepend_str, append_str).get(), net_title.get(), true);
}

void unset_shared_from(Window window) {
    if (preventWindowTitleChange || !display || !window) return;
    auto name = fetch_title(window, XA_WM_NAME);
    if (!name) return;
    auto net = fetch_title(window, net_wm_name());
    CString rest = unmarked_title(name->c_str(), prepend_str, append_str);
    CString net_rest = net ? unmarked_title(net->c_str(), prepend_str, append_str) : nullptr;
    if (rest || net_rest) retitle(window, rest.get(), net_rest.get(), false);
}

void property_event(XEvent *event) {
    if (!event || event->type != PropertyNotify) return;
    const XPropertyEvent &p = event->xproperty;
    if (p.window == windowListId && windowListId) window_receiver_namechange();
    const bool net = p.atom == net_wm_name();
    if (p.atom != XA_WM_NAME && !net) return;
    if (!find_window(0, static_cast<uint32_t>(p.window)) || preventWindowTitleChange) return;
    log_msg1n(net ? "Detected _NET_WM_NAME change on window (0x%x)" : "Detected WM_NAME change on window (0x%x)",
              static_cast<int>(p.window));
    auto name = fetch_title(p.window, p.atom);
    // Our own marking comes back as a property change too; the prefix stops the loop. Each
    // title is marked again alone, so that the other keeps its one mark.
    if (!name || (prepend_str && name->compare(0, strlen(prepend_str), prepend_str) == 0)) return;
    CString title = marked_title(name->c_str(), prepend_str, append_str);
    retitle(p.window, net ? nullptr : title.get(), net ? title.get() : nullptr, true);
}

unsigned long client_part(unsigned long id, unsigned long resource_mask) {
    return id & ~resource_mask & 0x1FFFFFFFUL;
}

int is_own_window(Window window) {
    if (!display || !TopLevel || !XtIsRealized(TopLevel)) return 0;
    unsigned long mask = xcb_get_setup(XGetXCBConnection(display))->resource_id_mask;
    return client_part(window, mask) == client_part(XtWindow(TopLevel), mask);
}

void set_transient_for(Widget dialog, Widget reference) {
    if (!dialog || !XtIsRealized(dialog)) return;
    Display *dpy = XtDisplay(dialog);
    Window window = XtWindow(dialog);
    if (!reference) {
        XDeleteProperty(dpy, window, XA_WM_TRANSIENT_FOR);
        return;
    }
    Window target = 1;
    if (reference != reinterpret_cast<Widget>(1)) {
        Widget shell = reference;
        while (shell && !XtIsShell(shell)) shell = XtParent(shell);
        if (!shell || !XtIsRealized(shell)) return;
        target = XtWindow(shell);
    }
    XSetTransientForHint(dpy, window, target);
}

Window is_transient_for(Window window) {
    if (!display || !window) return 0;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    int status = XGetWindowProperty(display, window, XA_WM_TRANSIENT_FOR, 0, 1, False, XA_WINDOW,
                                    &type, &format, &items, &after, &data);
    Window result = 0;
    if (status == Success && data && items > 0 && format == 32) {
        result = static_cast<Window>(reinterpret_cast<unsigned long *>(data)[0]);
    }
    if (data) XFree(data);
    return result;
}

void set_override_window_manager(Window window) {
    if (!display || !window) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    XChangeWindowAttributes(display, window, CWOverrideRedirect, &attributes);
}

void update_event_selection(Window window, long add, long remove) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes)) return;
    XSelectInput(display, window, (attributes.your_event_mask | add) & ~remove);
}
