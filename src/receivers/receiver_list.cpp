// The receiver list's operations on the selected rows: sharing, unsharing, disconnecting,
// deleting, moving, editing, saving, joining and identifying.
#include "receiver_list.h"

#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "extension/share_events.h"
#include "extension/share_extension.h"
#include "receivers/address_book.h"
#include "receivers/address_text.h"
#include "receivers/busy.h"
#include "receivers/save_list.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/receiver_service.h"
#include "registry/share_registry.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "ui/list_utils.h"
#include "ui/main_window.h"

#include "request_codes.h"
#include "share_wire.h"

#include <Xm/List.h>
#include <Xm/ToggleB.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Set when a delete kept a row because its receiver still shares windows.
int callback_flag = 0;
// A second press of Share or Unshare while the first waits for its pick is ignored.
int share_running = 0;
int unshare_running = 0;

constexpr int kMaxTags = 100;
constexpr int kMaxWindows = 1000;

// The selection copied, so that operations may change the list while they walk it.
struct Selection {
    int count = 0;
    XmStringTable items = nullptr;
    Selection() { replicate_receivers_selected(&count, &items); }
    ~Selection() { free_replicated_list(count, items); }
    Selection(const Selection &) = delete;
    Selection &operator=(const Selection &) = delete;
};

struct Row {
    Atom host = 0;
    char *name = nullptr;
    char *alias = nullptr;
};

Row row_of(XmString item) {
    Row r;
    r.host = Alias_to_hostatom(item, &r.name, &r.alias);
    return r;
}

int list_item_count() {
    int n = 0;
    if (ReceiverList) XtVaGetValues(ReceiverList, XmNitemCount, &n, nullptr);
    return n;
}

void toggle_off(Widget toggle) {
    if (toggle) XmToggleButtonSetState(toggle, False, False);
}

void cancel_pending(Atom host) {
    if (ClosePendingConnection(host)) log_msg1a("Cancel pending sharing request to '%s'", host);
}

void unshare_all_from(Atom host) {
    log_msg1a("REQUEST unshare ALL windows from '%s'", host);
    tlUnshareWindow(display, 0, host, 0);
    out_of_memory_local = 0;
    main_loop_empty_tl();
}

// Deletes one receiver's row and record unless it still shares; then it only notes the
// refusal. Iterator callback for Delete.
void clear_callback(Atom host, char *, char *alias) {
    cancel_pending(host);
    if (find_is_host_sharing(static_cast<uint32_t>(host))) {
        callback_flag = 1;
        return;
    }
    // The alias text belongs to the record, so the row goes first.
    if (ReceiverList && alias) delete_item_str(ReceiverList, alias);
    delete_hostatom(host);
}

void disconnect_every(Atom host, char *name, char *alias) { disconnect_callback(host, name, alias); }

// Share Same Windows' tag table.
uint32_t same_tags[kMaxTags];
int same_tag_count = 0;

void collect_tag(uint32_t tag, uint32_t, uint32_t) {
    for (int i = 0; i < same_tag_count; ++i)
        if (same_tags[i] == tag) return;
    if (same_tag_count < kMaxTags) same_tags[same_tag_count++] = tag;
}

// Identify's window tables and the curtains, one per screen, kept once made.
uint32_t shown_windows[kMaxWindows];
Window shown_tops[kMaxWindows];
int shown_count = 0;
std::vector<Window> curtain_window;
Display *curtains_on = nullptr;

void collect_window(uint32_t, uint32_t, uint32_t, uint32_t window) {
    for (int i = 0; i < shown_count; ++i)
        if (shown_windows[i] == window) return;
    if (shown_count < kMaxWindows) shown_windows[shown_count++] = window;
}

// The child of the root window that holds `window`, or 0 when it is gone.
Window topmost_window(Display *dpy, Window window) {
    Window current = window;
    for (;;) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned int n = 0;
        if (!XQueryTree(dpy, current, &root, &parent, &children, &n)) return 0;
        if (children) XFree(children);
        if (parent == root || parent == 0) return current;
        current = parent;
    }
}

void make_curtains(Display *dpy) {
    if (curtains_on == dpy && !curtain_window.empty()) return;
    curtain_window.clear();
    curtains_on = dpy;
    for (int s = 0; s < ScreenCount(dpy); ++s) {
        XSetWindowAttributes attributes{};
        attributes.background_pixmap = ParentRelative;
        Window curtain = XCreateWindow(dpy, RootWindow(dpy, s), 0, 0, DisplayWidth(dpy, s), DisplayHeight(dpy, s),
                                       0, CopyFromParent, InputOutput, CopyFromParent, CWBackPixmap, &attributes);
        set_override_window_manager(curtain);
        set_dont_share(curtain);
        curtain_window.push_back(curtain);
    }
}

// Waits, about 10 seconds at most, for the window manager to confirm a restacking.
int wait_for_window_configuration(Display *dpy, Window window) {
    XSync(dpy, False);
    for (int i = 0; i < 101; ++i) {
        XEvent event;
        if (XCheckTypedWindowEvent(dpy, window, ConfigureNotify, &event)) return 1;
        pollfd fd{ConnectionNumber(dpy), POLLIN, 0};
        poll(&fd, 1, 100);
        XSync(dpy, False);
    }
    log_msg0("Timed out waiting for Window Manager to reconfigure windows");
    return 0;
}

bool is_kept(Window top) {
    for (int i = 0; i < shown_count; ++i)
        if (shown_windows[i] && shown_tops[i] == top) return true;
    return false;
}

}  // namespace

void share_to_receivers(Widget, XtPointer client_data, XtPointer) {
    int mode = static_cast<int>(reinterpret_cast<long>(client_data));
    set_button(ShareButton);
    if (share_running) return;
    share_running = 1;
    int selected = 0;
    XmStringTable items = nullptr;
    find_receivers_selected(&selected, &items);
    if (selected == 0) {
        toggle_off(ShareButton);
        if (list_item_count() == 0)
            message0(TelvaneSH, 1, 0x11, 2, 22, "Nobody In Receiver List");
        else
            message0(TelvaneSH, 1, 0x11, 2, 11, "Nobody Selected to Share to");
        share_running = 0;
        return;
    }
    int x = 0, y = 0;
    Window window = pick(10, &x, &y);
    window = unset_button(ShareButton, window, x, y);
    if (!window || !check_for_sharable_window(window, &mode)) {
        share_running = 0;
        return;
    }
    // The pick ran a nested loop, so the selection is read again now.
    Selection selection;
    char *names = nullptr;
    int asked = 0;
    for (int i = 0; i < selection.count; ++i) {
        Row row = row_of(selection.items[i]);
        if (!row.host) continue;
        if (is_this_us(row.name) || is_this_sender(row.name) ||
            find_host_window_tag(static_cast<uint32_t>(row.host), static_cast<uint32_t>(window))) {
            add_multiple_messages(&names, row.alias);
            continue;
        }
        ++asked;
        share_please(window, row.host, mode, 1);
    }
    stop_busy_sharing();
    if (names) {
        message1(TelvaneSH, asked ? 3 : 1, 0x113, 5, 1,
                 "The following users:\n%s\n\nalready have the window you're sharing", names);
        free(names);
    }
    share_running = 0;
}

void unshare_from_receivers(Widget, XtPointer, XtPointer) {
    set_button(UnshareButton);
    if (unshare_running) return;
    unshare_running = 1;
    int selected = 0;
    XmStringTable items = nullptr;
    find_receivers_selected(&selected, &items);
    if (selected == 0) {
        toggle_off(UnshareButton);
        message0(TelvaneSH, 1, 0x11, 2, 11, "Nobody Selected to Unshare From");
        unshare_running = 0;
        return;
    }
    int x = 0, y = 0;
    Window window = pick(10, &x, &y);
    window = unset_button(UnshareButton, window, x, y);
    if (!window) {
        unshare_running = 0;
        return;
    }
    Selection selection;
    for (int i = 0; i < selection.count; ++i) {
        Row row = row_of(selection.items[i]);
        if (!row.host) continue;
        if (UnshareWindowPending(row.host, window)) {
            log_msg1n1a("Cancel request to share window (0x%x) to '%s'", static_cast<int>(window), row.host);
            continue;
        }
        uint32_t tag = find_host_window_tag(static_cast<uint32_t>(row.host), static_cast<uint32_t>(window));
        log_msg1n1a("REQUEST unshare window (0x%x) from '%s'", static_cast<int>(window), row.host);
        tlUnshareWindow(display, window, row.host, tag);
        out_of_memory_local = 0;
        main_loop_empty_tl();
    }
    unshare_running = 0;
}

void disconnect_callback(Atom host, char *, char *alias) {
    cancel_pending(host);
    if (find_is_host_sharing(static_cast<uint32_t>(host))) unshare_all_from(host);
    if (alias && ReceiverList) set_selected_str(ReceiverList, alias, 0);
}

void disconnect_receivers(Widget, XtPointer client_data, XtPointer) {
    if (reinterpret_cast<long>(client_data) == 1) {
        for_all_hostatoms(disconnect_every);
        return;
    }
    Selection selection;
    if (selection.count == 0) {
        message0(TelvaneSH, 1, 0x11, 2, 11, "Nobody Selected to Disconnect From");
        return;
    }
    for (int i = 0; i < selection.count; ++i) {
        Row row = row_of(selection.items[i]);
        if (row.host) disconnect_callback(row.host, row.name, row.alias);
    }
}

void clear_receivers(Widget, XtPointer client_data, XtPointer) {
    bool all = reinterpret_cast<long>(client_data) == 1;
    Selection selection;
    if (!all && selection.count == 0) {
        message0(TelvaneSH, 1, 0x11, 2, 11, "Nobody Selected to Delete");
        return;
    }
    unmanage_ReceiverList();
    start_hourglass();
    callback_flag = 0;
    if (all) {
        for_all_hostatoms(clear_callback);
    } else {
        for (int i = selection.count - 1; i >= 0; --i) {
            Row row = row_of(selection.items[i]);
            if (row.host) clear_callback(row.host, row.name, row.alias);
        }
    }
    update_input_status_positions();
    manage_ReceiverList();
    stop_hourglass();
    if (callback_flag)
        message0(TelvaneSH, 1, 0x13, 5, 2,
                 "Cannot Delete an entry if it's shared to\n\nWindows are Still Shared as Indicated");
}

void move_to_top(Widget, XtPointer, XtPointer) {
    Selection selection;
    if (selection.count == 0) {
        message0(TelvaneSH, 1, 0x11, 2, 11, "Nobody Selected to Move");
        return;
    }
    unmanage_ReceiverList();
    start_hourglass();
    XmListSetPos(ReceiverList, 1);
    for (int i = 0; i < selection.count; ++i) delete_item_Str(ReceiverList, selection.items[i]);
    for (int i = selection.count - 1; i >= 0; --i) {
        XmListAddItemUnselected(ReceiverList, selection.items[i], 1);
        set_selected_Str(ReceiverList, selection.items[i], 1);
        Row row = row_of(selection.items[i]);
        if (row.host) move_hostatom(row.host, 1);
    }
    update_input_status_positions();
    manage_ReceiverList();
    stop_hourglass();
}

int share_same_window(int count, Atom *hosts) {
    if (count < 2) {
        message0(TelvaneSH, 1, 0x11, 2, 16, "Nobody Selected to Join Together");
        return telvane::request_codes::kInvalidReceiver;
    }
    same_tag_count = 0;
    for (int i = 0; i < count; ++i)
        if (hosts[i]) for_all_host_tags(static_cast<uint32_t>(hosts[i]), collect_tag);
    if (same_tag_count == 0) {
        message0(TelvaneSH, 1, 0x13, 5, 7, "Nobody Selected has Shared Windows");
        return telvane::request_codes::kShareSameNothingShared;
    }
    // Sharing drains events, which may change the registry, so the tags are copied first.
    std::vector<uint32_t> tags(same_tags, same_tags + same_tag_count);
    for (int i = 0; i < count; ++i) {
        char *name = nullptr, *alias = nullptr;
        if (!hosts[i] || !find_hostatom_names(hosts[i], &name, &alias) || is_this_us(name)) continue;
        for (uint32_t tag : tags) {
            uint32_t picked = 0, detail = 0;
            if (!find_tag_window(tag, &picked, &detail) || !picked) continue;
            if (find_host_window_tag(static_cast<uint32_t>(hosts[i]), picked)) continue;
            int kind = detail == telvane::wire::kDetailApplicationWindow ? SHARE_APPLICATION
                       : detail == telvane::wire::kDetailSingleWindow    ? SHARE_SINGLE
                                                                          : 0;
            if (kind) share_please(picked, hosts[i], kind, 1);
        }
    }
    stop_busy_sharing();
    return telvane::request_codes::kDone;
}

void share_same_window_callback(Widget, XtPointer, XtPointer) {
    Selection selection;
    std::vector<Atom> hosts;
    for (int i = 0; i < selection.count; ++i) hosts.push_back(row_of(selection.items[i]).host);
    share_same_window(static_cast<int>(hosts.size()), hosts.data());
}

void edit_receiver(Widget, XtPointer, XtPointer) {
    Selection selection;
    if (selection.count == 0) {
        message0(TelvaneSH, 1, 0x11, 2, 23, "No one selected to edit.");
        return;
    }
    char *line = nullptr;
    if (!XmStringGetLtoR(selection.items[0], XmFONTLIST_DEFAULT_TAG, &line) || !line) return;
    Row row = row_of(selection.items[0]);
    if (selection.count > 1 &&
        !message1(TelvaneSH, 1, 0xc4, 1, 6,
                  "We only allow editing 1 item at a time.\n\nShould I use the 1st selected item? \n'%s'", line)) {
        XtFree(line);
        return;
    }
    if (row.host) cancel_pending(row.host);
    if (row.host && find_is_host_sharing(static_cast<uint32_t>(row.host))) {
        message0(TelvaneSH, 1, 0x11, 2, 24, "Selected Item is Busy Sharing");
        XtFree(line);
        return;
    }
    char *current = get_edit_text();
    bool go_on = !current || !*current || message0(TelvaneSH, 1, 0xc4, 1, 7, "Destroy Edit Line Contents?");
    XtFree(current);
    if (!go_on) {
        XtFree(line);
        return;
    }
    char *typed = typed_form_of_row(line);
    put_edit_text(typed ? typed : "");
    free(typed);
    focus_edit_text();
    delete_item_Str(ReceiverList, selection.items[0]);
    if (row.host) delete_hostatom(row.host);
    update_input_status_positions();
    XtFree(line);
}

void save_receivers(Widget, XtPointer, XtPointer) {
    int selected = 0;
    XmStringTable items = nullptr;
    find_receivers_selected(&selected, &items);
    if (selected == 0) {
        message0(TelvaneSH, 1, 0x11, 2, 11, "Nobody Selected to Save");
        return;
    }
    popup_SaveList();
}

int show_windows_shared_to(Widget, XtPointer, XtPointer) {
    Selection selection;
    if (selection.count == 0) {
        message0(TelvaneSH, 1, 0x11, 2, 11, "Nobody Selected to Show");
        return 1;
    }
    shown_count = 0;
    for (int i = 0; i < selection.count; ++i) {
        Row row = row_of(selection.items[i]);
        if (row.host) for_all_host_windows(static_cast<uint32_t>(row.host), collect_window);
    }
    if (shown_count == 0) {
        message0(TelvaneSH, 1, 0x13, 5, 7, "Nobody Selected has Shared Windows");
        return 1;
    }
    make_curtains(display);
    for (int i = 0; i < shown_count; ++i) shown_tops[i] = topmost_window(display, shown_windows[i]);
    // A dialog shows with its main window, so only the main windows are restacked.
    for (int i = 0; i < shown_count; ++i) {
        Window owner = is_transient_for(shown_windows[i]);
        if (!owner) continue;
        for (int j = 0; j < shown_count; ++j)
            if (j != i && shown_windows[j] && shown_windows[j] == owner) {
                shown_windows[i] = 0;
                break;
            }
    }
    bool restacked = false;
    Window last_restacked = 0;
    for (int s = 0; s < ScreenCount(display); ++s) {
        restacked = false;
        Window root = RootWindow(display, s), parent = 0, *children = nullptr;
        unsigned int n = 0;
        if (!XQueryTree(display, root, &root, &parent, &children, &n)) continue;
        XWindowChanges changes{};
        unsigned int mask = CWStackMode;
        changes.stack_mode = Above;
        bool other_above = false;
        for (int c = static_cast<int>(n) - 1; c >= 0; --c) {
            Window child = children[c];
            if (child == curtain_window[s]) continue;
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(display, child, &attributes) || attributes.map_state != IsViewable) continue;
            if (!is_kept(child)) {
                other_above = true;
                continue;
            }
            if (other_above) {
                if (!is_own_window(child)) update_event_selection(child, StructureNotifyMask, 0);
                XReconfigureWMWindow(display, child, s, mask, &changes);
                restacked = true;
                last_restacked = child;
            }
            // A foreign window met above stays above every later one too: each is put just
            // below the one before, so none is left behind it.
            mask = CWStackMode | CWSibling;
            changes.stack_mode = Below;
            changes.sibling = child;
        }
        if (children) XFree(children);
        XConfigureWindow(display, curtain_window[s], mask, &changes);
    }
    log_msg0(restacked ? "Windows WERE re-stacked 'show_windows_shared_to'"
                       : "Windows were NOT re-stacked 'show_windows_shared_to'");
    if (!omitCurtainWindow) {
        bool timed_out = restacked && !wait_for_window_configuration(display, last_restacked);
        for (Window curtain : curtain_window) XMapWindow(display, curtain);
        XFlush(display);
        if (!timed_out) {
            message0(TelvaneSH, 1, 0x13, 5, 13, "Select OK when you are through viewing receiver's windows.");
        } else {
            log_msg1n("Timed out after %d seconds waiting for the Window manager", 10);
            message0(TelvaneSH, 1, 0x12, 3, 12, "Timed out waiting for the Window manager!\n\nDone Viewing Windows?");
        }
        for (Window curtain : curtain_window) XUnmapWindow(display, curtain);
        XFlush(display);
    }
    for (int i = 0; i < shown_count; ++i) {
        Window top = shown_tops[i];
        if (!top || is_own_window(top)) continue;
        // A window still shared keeps its title watch, and its structure watch for the
        // telepointers in it.
        if (find_window(0, static_cast<uint32_t>(top)))
            update_event_selection(top, PropertyChangeMask, 0);
        else
            update_event_selection(top, 0, PropertyChangeMask | StructureNotifyMask);
    }
    return 1;
}

int get_selected_receivers(Atom **hosts, int *count) {
    int selected = 0;
    XmStringTable items = nullptr;
    find_receivers_selected(&selected, &items);
    *hosts = nullptr;
    *count = 0;
    if (selected == 0) return 0;
    std::vector<Atom> found;
    for (int i = 0; i < selected; ++i) found.push_back(row_of(items[i]).host);
    *hosts = static_cast<Atom *>(malloc(sizeof(Atom) * found.size()));
    if (!*hosts) return 0;
    memcpy(*hosts, found.data(), sizeof(Atom) * found.size());
    *count = selected;
    return selected;
}

void forget_receiver_list() {
    curtain_window.clear();
    curtains_on = nullptr;
    share_running = unshare_running = 0;
}
