// Window properties of shared windows: sharing marks, title marks and dialog hints.
#include "window_properties.h"

#include "core/log.h"
#include "core/startup.h"
#include "registry/share_registry.h"
#include "registry/title_text.h"
#include "registry/window_selection.h"
#include "ui/window_status_dialog.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <optional>
#include <string>

namespace {

Atom intern(const char *name) { return XInternAtom(display, name, False); }

// Current toolkits (GTK, Qt) and window managers show _NET_WM_NAME, in UTF-8, rather than
// WM_NAME; a shared window's mark goes on both titles it has.
Atom net_wm_name() { return intern("_NET_WM_NAME"); }

// A title property as the window has it: its bytes, of type `type`, read as `encoding`.
struct Title {
    std::string bytes;
    Atom type = None;
    TitleEncoding encoding = TitleEncoding::Latin1;
};

// Longer titles are left alone rather than cut short when they are written back.
constexpr long kMaxTitleLongs = 16384;

// Title property `property` of `window` in whichever of the three title encodings it is written.
// Nothing when the window has no such title, or one of another type or format.
std::optional<Title> fetch_title(Window window, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    std::optional<Title> title;
    if (XGetWindowProperty(display, window, property, 0, kMaxTitleLongs, False, AnyPropertyType, &type, &format,
                           &items, &after, &data) == Success &&
        type != None && format == 8 && after == 0) {
        const std::pair<Atom, TitleEncoding> encodings[] = {{XA_STRING, TitleEncoding::Latin1},
                                                            {intern("COMPOUND_TEXT"), TitleEncoding::CompoundText},
                                                            {intern("UTF8_STRING"), TitleEncoding::Utf8}};
        for (auto [known, encoding] : encodings)
            if (type == known)
                title = Title{data ? std::string(reinterpret_cast<char *>(data), items) : std::string(), type, encoding};
    }
    if (data) XFree(data);
    return title;
}

void store_title(Window window, Atom property, const Title &title) {
    XChangeProperty(display, window, property, title.type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(title.bytes.data()), static_cast<int>(title.bytes.size()));
}

// `title` marked, or with its mark taken off (nothing when it carries none), in its own type.
std::optional<Title> remarked(const std::optional<Title> &title, bool marking) {
    if (!title) return std::nullopt;
    auto bytes = marking ? marked_title(title->bytes, title->encoding, prepend_str, append_str)
                         : unmarked_title(title->bytes, title->encoding, prepend_str, append_str);
    if (!bytes) return std::nullopt;
    return Title{std::move(*bytes), title->type, title->encoding};
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

namespace {

// Writes new titles for a (un)shared window, WM_NAME and _NET_WM_NAME where given, watches or
// stops watching its client's renames (never on our own windows, whose events the toolkit
// selects), and keeps the window status dialog's title in step. `marking` tells a new mark
// from its removal.
void retitle(Window window, const std::optional<Title> &title, const std::optional<Title> &net_title, bool marking) {
    log_msg1n(marking ? "SET shared-from (WM_NAME change) on window (0x%x)"
                      : "UNSET shared-from (WM_NAME change) on window (0x%x)",
              static_cast<int>(window));
    if (title) store_title(window, XA_WM_NAME, *title);
    if (net_title) store_title(window, net_wm_name(), *net_title);
    if (!is_own_window(window)) {
        log_msg1n(marking ? "SET select-input (PropertyChangeMask) on window (0x%x)"
                          : "UNSET select-input  on window (0x%x)",
                  static_cast<int>(window));
        update_event_selection(window, marking ? PropertyChangeMask : 0, marking ? 0 : PropertyChangeMask);
    }
    if (window == windowListId) window_receiver_namechange();
}

}  // namespace

// Each title is read and written in its own encoding and type, so that a COMPOUND_TEXT or
// UTF8_STRING WM_NAME (which XFetchName does not read) is marked too and comes back as it was.
// A window whose WM_NAME cannot be read still has its _NET_WM_NAME marked: that is the title
// its window manager shows.
void set_shared_from(Window window) {
    if (preventWindowTitleChange || !display || !window) return;
    auto name = fetch_title(window, XA_WM_NAME);
    // A window without _NET_WM_NAME gets none: its window manager shows WM_NAME.
    auto net = fetch_title(window, net_wm_name());
    if (!name && !net) return;
    retitle(window, remarked(name, true), remarked(net, true), true);
}

int has_title(Window window) { return display && window && fetch_title(window, XA_WM_NAME) ? 1 : 0; }

std::string window_name_text(Window window) {
    XTextProperty name{};
    if (!display || !window || !XGetWMName(display, window, &name) || !name.value) return {};
    std::string out;
    char **list = nullptr;
    int count = 0;
    if (XmbTextPropertyToTextList(display, &name, &list, &count) >= Success && list) {
        for (int i = 0; i < count; ++i) out += list[i];
        XFreeStringList(list);
    }
    XFree(name.value);
    return out;
}

void unset_shared_from(Window window) {
    if (preventWindowTitleChange || !display || !window) return;
    auto rest = remarked(fetch_title(window, XA_WM_NAME), false);
    auto net_rest = remarked(fetch_title(window, net_wm_name()), false);
    if (rest || net_rest) retitle(window, rest, net_rest, false);
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
    auto title = fetch_title(p.window, p.atom);
    // Our own marking comes back as a property change too; the prefix stops the loop. Each
    // title is marked again alone, so that the other keeps its one mark.
    if (!title || title_marked(title->bytes, title->encoding, prepend_str)) return;
    auto again = remarked(title, true);
    retitle(p.window, net ? std::nullopt : again, net ? again : std::nullopt, true);
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
