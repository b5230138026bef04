// Share events: log lines, record changes, requester answers and the grouped problem reports.
#include "share_events.h"

#include "core/cstring.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "extension/share_extension.h"
#include "external/external_requests.h"
#include "registry/hostatoms.h"
#include "registry/share_registry.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "telepointer/telepointer.h"
#include "ui/input_controls.h"
#include "ui/main_window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

char *refused_connection = nullptr, *no_ip_addr = nullptr, *no_connect = nullptr,
     *no_Xserver = nullptr, *no_permission = nullptr, *refused_windows = nullptr,
     *bad_colors = nullptr, *to_small_colormap = nullptr, *no_colormap = nullptr,
     *bad_gc = nullptr, *bad_fonts = nullptr, *server_timeout = nullptr,
     *prop_changed = nullptr, *io_timeout = nullptr, *out_of_mem = nullptr,
     *conn_refused_local = nullptr, *dhx_client = nullptr, *cant_share = nullptr;
int unexpected_events = 0;
int out_of_memory_local = 0;

namespace {

int recursion_flag = 0;

char **const all_lists[] = {&refused_connection, &no_ip_addr,       &no_connect,   &no_Xserver,
                            &no_permission,      &refused_windows,  &bad_colors,   &to_small_colormap,
                            &no_colormap,        &bad_gc,           &bad_fonts,    &server_timeout,
                            &prop_changed,       &io_timeout,       &out_of_mem,   &conn_refused_local,
                            &dhx_client,         &cant_share};

int recompute_pending() {
    bool any = unexpected_events != 0;
    for (char **list : all_lists) any = any || *list != nullptr;
    event_messages_pending = any ? 1 : 0;
    return event_messages_pending;
}

bool in_list(Atom host, const Atom *list, int count) {
    for (int i = 0; i < count; ++i) {
        if (list[i] == host) return true;
    }
    return false;
}

// The receiver's display name and alias text; both "Unknown" for a receiver not on record.
struct Names {
    char *name;
    char *alias;
};
Names names_of(Atom host) {
    Names n{nullptr, nullptr};
    find_hostatom_names(host, &n.name, &n.alias);
    static char unknown[] = "Unknown";
    if (!n.name) n.name = unknown;
    if (!n.alias) n.alias = unknown;
    return n;
}

void answer(Atom host, int code) { sendEXTStatusMessage(host, code, 0); }

// A failed connection: the reason is in the event's detail.
void connection_failed(const TelvaneEvent &e, const Names &n) {
    const int code = status_answer(1, e.detail, n.name);
    switch (e.detail) {
    case 0:
        log_msg1("STATUS connection refused by '%s'", n.name);
        add_multiple_messages(&refused_connection, n.alias);
        break;
    case 1:
        log_msg1("STATUS Telvane cannot convert host name '%s' to an IP address", n.name);
        add_multiple_messages(&no_ip_addr, n.alias);
        break;
    case 2:
        log_msg1("STATUS No physical connection to receiver '%s'", n.name);
        add_multiple_messages(&no_connect, n.alias);
        break;
    case 3:
        log_msg1("STATUS No X server running on receiver '%s'", n.name);
        add_multiple_messages(&no_Xserver, n.alias);
        break;
    case 4:
        log_msg1("STATUS Access permission denied by receiver '%s'", n.name);
        add_multiple_messages(&no_permission, n.alias);
        break;
    default:
        if (code == 9) {
            log_msg0("STATUS local server ran out of malloc() space");
            add_multiple_messages(&out_of_mem, "local");
        } else {
            log_msg1("STATUS Telvane cannot connect to '%s' as XOpenDisplay failed", n.name);
            add_multiple_messages(&refused_connection, n.alias);
        }
        break;
    }
    answer(e.host, code);
}

// The name of the font whose atom a bad-font event carries; "FONT: unknown" for none.
CString font_name(Atom atom) {
    if (atom == 0 || !display) return CString(dup_cstring("FONT: unknown"));
    char *name = XGetAtomName(display, atom);
    if (!name) return CString(dup_cstring("FONT: unknown"));
    CString copy(dup_cstring(name));
    XFree(name);
    return copy;
}

// Takes a list's text for showing: the list is empty again when its dialog is up.
CString take(char **list) {
    CString text(*list);
    *list = nullptr;
    return text;
}

}  // namespace

int status_answer(int status, unsigned detail, const char *name) {
    switch (status) {
    case 0: return 0;
    case 10: return 16;  // the server timed out
    case 12: return 17;  // input/output error on the connection
    case 1: break;
    default: return -1;
    }
    // Refused, no address for the name, no physical connection, no X server, no permission.
    static const int by_detail[] = {12, 15, 13, 14, 11};
    if (detail < std::size(by_detail)) return by_detail[detail];
    // The server gives reason 101 when our own server could not make room for the new
    // connection. Any display name whose last character is the digit 0 ("host:0", but also
    // "host:3.0") is then taken to be that local shortage; the rule is the program's own.
    const size_t length = name ? strlen(name) : 0;
    if (detail == 101 && length > 0 && name[length - 1] == '0') return 9;
    return 12;
}

int add_multiple_messages(char **list, const char *text) {
    if (!list) return recompute_pending();
    if (!text) text = "";
    size_t old = *list ? strlen(*list) : 0;
    size_t room = old + strlen(text) + 2;
    char *grown = static_cast<char *>(realloc(*list, room));
    if (grown) {
        if (old == 0) grown[0] = '\0';
        if (old > 0) strcat(grown, "\n");
        strcat(grown, text);
        *list = grown;
    }
    return recompute_pending();
}

void processTelvaneEvent(XEvent *event) {
    if (!event) return;
    const TelvaneEvent &e = *reinterpret_cast<TelvaneEvent *>(event);
    Atom host = e.host;
    Names n = names_of(host);
    switch (e.status) {
    case 0:
        log_msg1("STATUS connection-made on '%s'", n.name);
        if (user_preference.allow_input) {
            log_msg1("REQUEST allow-input from '%s'", n.name);
            tlAllowInput(display, host);
        }
        input_status_changed(host, 0);
        answer(host, status_answer(0, 0, n.name));
        break;
    case 1:
        connection_failed(e, n);
        break;
    case 2:
        log_msg1("STATUS connection-closed on '%s'", n.name);
        input_status_changed(host, -1);
        delete_all_host_tags(static_cast<uint32_t>(host));
        break;
    case 3:
        log_msg1n1a("STATUS window (0x%x) shared to '%s'", static_cast<int>(e.window), host);
        if (!find_window(0, e.window)) set_shared_from(e.window);
        add_window(static_cast<uint32_t>(host), e.tag, e.window, e.detail,
                   static_cast<uint32_t>(user_picked));
        break;
    case 4:
        log_msg1n1a("STATUS unshare window (0x%x) from '%s'", static_cast<int>(e.window), host);
        delete_window(static_cast<uint32_t>(host), e.tag, e.window);
        if (!find_window(0, e.window)) {
            unset_shared_from(e.window);
            unset_daisy_chain(e.window);
            delete_all_telepointers(e.window);
        }
        break;
    case 5:
        log_msg1n("STATUS window unsharable (0x%x)", static_cast<int>(e.window));
        add_multiple_messages(&refused_windows, n.alias);
        break;
    case 6: {
        CString font = font_name(e.window);
        log_msg2("STATUS bad-font of '%s' on '%s'", font.get(), n.name);
        if (in_list(host, dontReport_Font_host, dontReport_Font_count)) break;
        // Each font and receiver pair is followed by a blank line in the dialog.
        add_multiple_messages(&bad_fonts, font.get());
        add_multiple_messages(&bad_fonts, n.alias);
        add_multiple_messages(&bad_fonts, "");
        break;
    }
    case 7:
        log_msg1("STATUS input allowed from '%s'", n.name);
        input_status_changed(host, 1);
        break;
    case 8:
        log_msg1("STATUS input disallowed from '%s'", n.name);
        input_status_changed(host, 0);
        break;
    case 9:
        log_msg1("STATUS window_property_change on '%s'", n.name);
        add_multiple_messages(&prop_changed, n.alias);
        break;
    case 10:
        log_msg1("STATUS server-timeout  on '%s'", n.name);
        add_multiple_messages(&server_timeout, n.alias);
        answer(host, status_answer(10, 0, n.name));
        break;
    case 11:
        log_msg1("STATUS bad-color on '%s'", n.name);
        if (in_list(host, dontReport_Color_host, dontReport_Color_count)) break;
        add_multiple_messages(&bad_colors, n.alias);
        break;
    case 12:
        log_msg1("STATUS io_error on '%s'", n.name);
        add_multiple_messages(&io_timeout, n.alias);
        answer(host, status_answer(12, 0, n.name));
        break;
    case 13:
        log_msg1("STATUS bad GC function on '%s'", n.name);
        if (in_list(host, dontReport_GC_host, dontReport_GC_count)) break;
        add_multiple_messages(&bad_gc, n.alias);
        break;
    case 14:
        log_msg0("STATUS direct access (plotwell?) client");
        add_multiple_messages(&dhx_client, "");
        break;
    case 15:
        log_msg1("STATUS colormap-too-small on '%s'", n.name);
        if (in_list(host, dontReport_Color_host, dontReport_Color_count)) break;
        add_multiple_messages(&to_small_colormap, n.alias);
        break;
    case 16:
        log_msg1("STATUS no-colormap on '%s'", n.name);
        if (in_list(host, dontReport_Color_host, dontReport_Color_count)) break;
        add_multiple_messages(&no_colormap, n.alias);
        break;
    case 100:
        log_msg1("STATUS window not shared to local host '%s'", n.name);
        add_multiple_messages(&conn_refused_local, n.alias);
        break;
    case 101:
        if (host == 0) {
            if (out_of_memory_local) break;
            log_msg0("STATUS local server ran out of malloc() space");
            add_multiple_messages(&out_of_mem, "local");
            out_of_memory_local = 1;
        } else {
            log_msg1("STATUS receiver '%s' ran out of malloc() space", n.name);
            add_multiple_messages(&out_of_mem, n.alias);
        }
        break;
    case 102:
        log_msg1("STATUS Can't share to '%s'.  It has a direct color display", n.name);
        add_multiple_messages(&cant_share, n.alias);
        break;
    default:
        log_msg1n("STATUS unexpected Telvane event (0x%x)", e.status);
        ++unexpected_events;
        recompute_pending();
        break;
    }
}

namespace {

struct Report {
    char **list;
    int type;   // kind with its OK button
    int level;
    int set;
    int number;
    const char *text;
};

constexpr int kError = 17, kWarning = 18, kInformation = 19;

// The order in which the reports are shown; the first and the dhx one take other arguments.
const Report kReports[] = {
    {&refused_connection, kError, 1, 2, 2,
     "Connections refused by:\n%s\n\nTry using:\n/usr/bin/X11/xhost %s\non the remote machine."},
    {&no_ip_addr, kError, 1, 2, 28,
     "Telvane cannot convert hostname(s)\n%s\n\nto an IP address because the host\nname could not be found."},
    {&no_connect, kError, 1, 2, 29, "Cannot get a physical connection to receiver(s)\n%s."},
    {&no_Xserver, kError, 1, 2, 30, "No X Server running on receiver(s)\n%s."},
    {&no_permission, kError, 1, 2, 31, "Access permission denied by\n receiver(s)\n%s."},
    {&refused_windows, kError, 1, 2, 9, "Windows not shared to:\n%s\n\nReason Unknown."},
    {&bad_colors, kWarning, 3, 3, 8,
     "Could not Match Colors on:\n%s\n\nBut windows were shared anyway,using different colors."},
    {&to_small_colormap, kWarning, 3, 3, 11,
     "Colormap was to small on:\n%s\n\nBut windows were shared anyway,using different colors."},
    {&no_colormap, kWarning, 1, 3, 10,
     "There was no colormap on:\n%s\n\nBut windows were shared anyway,using different colors."},
    {&bad_gc, kWarning, 3, 3, 9,
     "GC Function was other than COPY:\n%s\n\nBut windows were shared anyway, using different colors."},
    {&bad_fonts, kWarning, 3, 3, 7,
     "Fonts missing on:\n%s\n\nBut windows were shared anyway,using other fonts."},
    {&server_timeout, kWarning, 1, 3, 1,
     "Servers not responding on:\n%s\n\nAll applicatin windows shared to there were UNshared"},
    {&prop_changed, kWarning, 1, 3, 2,
     "User changed a Property on:\n%s\n\nAll application windows shared to there were UNshared"},
    {&io_timeout, kWarning, 1, 3, 3,
     "X Server Connection lost to:\n%s\n\nAll windows shared to there were UNshared"},
    {&out_of_mem, kWarning, 1, 3, 13, "X Server Out of Memory:\n%s\nWindows shared may have been UNshared"},
    {&conn_refused_local, kInformation, 1, 5, 1,
     "The following users:\n%s\n\nalready have the window you're sharing"},
    {&dhx_client, kInformation, 1, 5, 10,
     "X Client uses DIRECT PLOTWELL access:\n\nNo window were shared"},
    {&cant_share, kInformation, 1, 5, 17,
     "Unable to share because receiver '%s' has a direct color display"},
};

}  // namespace

void process_event_messages() {
    if (recursion_flag) return;
    recursion_flag = 1;
    for (const Report &r : kReports) {
        if (!*r.list) continue;
        CString text = take(r.list);
        if (r.list == &refused_connection) {
            message2(TelvaneSH, r.level, r.type, r.set, r.number, r.text, text.get(),
                     my_display_hostname ? my_display_hostname : "");
        } else if (r.list == &dhx_client) {
            message0(TelvaneSH, r.level, r.type, r.set, r.number, r.text);
        } else {
            message1(TelvaneSH, r.level, r.type, r.set, r.number, r.text, text.get());
        }
    }
    if (unexpected_events) {
        char count[80];
        snprintf(count, sizeof count, "%ld", static_cast<long>(unexpected_events));
        unexpected_events = 0;
        message1(TelvaneSH, 1, kError, 199, 199, "%s Unexpected X Events", count);
    }
    recompute_pending();
    recursion_flag = 0;
}
