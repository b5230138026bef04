// Share events: log lines, record changes, requester answers and the grouped problem reports.
#include "share_events.h"

#include "core/cstring.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/paths.h"
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

#include "link_protocol.h"
#include "receiver_address.h"
#include "request_codes.h"
#include "share_wire.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

char *refused_connection = nullptr, *no_ip_addr = nullptr, *no_connect = nullptr,
     *no_Xserver = nullptr, *no_permission = nullptr, *refused_windows = nullptr,
     *bad_colors = nullptr, *to_small_colormap = nullptr, *no_colormap = nullptr,
     *bad_gc = nullptr, *bad_fonts = nullptr, *server_timeout = nullptr,
     *prop_changed = nullptr, *io_timeout = nullptr, *out_of_mem = nullptr,
     *conn_refused_local = nullptr, *dhx_client = nullptr, *cant_share = nullptr;
char *key_changed = nullptr, *link_down = nullptr;
int unexpected_events = 0;
int out_of_memory_local = 0;

namespace {

int recursion_flag = 0;

char **const all_lists[] = {&refused_connection, &no_ip_addr,       &no_connect,   &no_Xserver,
                            &no_permission,      &refused_windows,  &bad_colors,   &to_small_colormap,
                            &no_colormap,        &bad_gc,           &bad_fonts,    &server_timeout,
                            &prop_changed,       &io_timeout,       &out_of_mem,   &conn_refused_local,
                            &dhx_client,         &cant_share,       &key_changed,  &link_down};

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

using telvane::wire::ConnectFailure;
using telvane::wire::ShareStatus;
using namespace telvane::request_codes;

// The known-receivers file in the private folder, as far as its first megabyte; "" when it
// cannot be read.
std::string known_receivers_path() {
    CString path(generate_path(49, telvane::tlslink::kKnownReceiversFile));
    return path ? path.get() : "";
}
std::string read_known_receivers() {
    std::string text;
    const int fd = open(known_receivers_path().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return text;
    struct stat st {};
    char buf[8192];
    ssize_t n;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        while (text.size() < (1u << 20) && (n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// A failed connection: the reason is in the event's detail.
void connection_failed(const TelvaneEvent &e, const Names &n) {
    const int code = status_answer(static_cast<int>(ShareStatus::ConnectionFailed), e.detail, n.name);
    switch (static_cast<ConnectFailure>(e.detail)) {
    using enum ConnectFailure;
    case RefusedByHostAccess:
        log_msg1("STATUS connection refused by '%s'", n.name);
        add_multiple_messages(&refused_connection, n.alias);
        break;
    case NoIpAddress:
        log_msg1("STATUS Telvane cannot convert host name '%s' to an IP address", n.name);
        add_multiple_messages(&no_ip_addr, n.alias);
        break;
    case NoRoute:
        log_msg1("STATUS No physical connection to receiver '%s'", n.name);
        add_multiple_messages(&no_connect, n.alias);
        break;
    case NoXServer:
        log_msg1("STATUS No X server running on receiver '%s'", n.name);
        add_multiple_messages(&no_Xserver, n.alias);
        break;
    case AuthorizationRejected:
        log_msg1("STATUS Access permission denied by receiver '%s'", n.name);
        add_multiple_messages(&no_permission, n.alias);
        break;
    case ReceiverKeyChanged: {
        telvane::wire::KeyPrefix shown{};
        std::copy(std::begin(e.key), std::end(e.key), shown.begin());
        log_msg2("STATUS receiver '%s' shows a changed key (%s)", n.name, telvane::wire::key_prefix_text(shown).c_str());
        // The host atom's own name is the receiver's address already: no name to look up.
        char *address = display ? XGetAtomName(display, e.host) : nullptr;
        add_multiple_messages(&key_changed,
                              changed_key_entry(n.alias, address ? address : n.name, e.key, read_known_receivers()).c_str());
        if (address) XFree(address);
        break;
    }
    case LinkServiceDown:
        log_msg1("STATUS link service down on receiver '%s'", n.name);
        add_multiple_messages(&link_down, n.alias);
        break;
    default:
        if (code == kLocalOutOfMemory) {
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

// A receiver reached: the road it was reached by, its input as the user prefers, the answer
// owed to a requester.
void connection_made(const TelvaneEvent &e, const Names &n) {
    const Atom host = e.host;
    log_msg1("STATUS connection-made on '%s'", n.name);
    // The server tells which road it took; Window Status and the sender status say it.
    set_hostatom_plain(host, e.detail == static_cast<unsigned>(telvane::wire::ConnectRoad::Plain));
    if (hostatom_plain(host)) log_msg1("STATUS connection to '%s' is not encrypted", n.name);
    if (user_preference.allow_input) {
        log_msg1("REQUEST allow-input from '%s'", n.name);
        tlAllowInput(display, host);
    }
    input_status_changed(host, 0);
    answer(host, status_answer(static_cast<int>(ShareStatus::ConnectionMade), 0, n.name));
}

// A window shared to a receiver goes into the records.
void window_shared(const TelvaneEvent &e) {
    log_msg1n1a("STATUS window (0x%x) shared to '%s'", static_cast<int>(e.window), e.host);
    if (!find_window(0, e.window)) set_shared_from(e.window);
    add_window(static_cast<uint32_t>(e.host), e.tag, e.window, e.detail, static_cast<uint32_t>(user_picked));
}

// A window unshared from a receiver; shared to nobody now, it loses its marks and telepointers.
void window_unshared(const TelvaneEvent &e) {
    log_msg1n1a("STATUS unshare window (0x%x) from '%s'", static_cast<int>(e.window), e.host);
    delete_window(static_cast<uint32_t>(e.host), e.tag, e.window);
    if (!find_window(0, e.window)) {
        unset_shared_from(e.window);
        unset_daisy_chain(e.window);
        delete_all_telepointers(e.window);
    }
}

// A font a receiver lacks, reported with the receiver unless the user filtered it out.
void font_missing(const TelvaneEvent &e, const Names &n) {
    CString font = font_name(e.window);
    log_msg2("STATUS bad-font of '%s' on '%s'", font.get(), n.name);
    if (in_list(e.host, dontReport_Font_host, dontReport_Font_count)) return;
    // Each font and receiver pair is followed by a blank line in the dialog.
    add_multiple_messages(&bad_fonts, font.get());
    add_multiple_messages(&bad_fonts, n.alias);
    add_multiple_messages(&bad_fonts, "");
}

// A memory shortage: our own display's (host 0) is reported once, a receiver's each time.
void out_of_memory(Atom host, const Names &n) {
    if (host == 0) {
        if (out_of_memory_local) return;
        log_msg0("STATUS local server ran out of malloc() space");
        add_multiple_messages(&out_of_mem, "local");
        out_of_memory_local = 1;
    } else {
        log_msg1("STATUS receiver '%s' ran out of malloc() space", n.name);
        add_multiple_messages(&out_of_mem, n.alias);
    }
}

// Takes a list's text for showing: the list is empty again when its dialog is up.
CString take(char **list) {
    CString text(*list);
    *list = nullptr;
    return text;
}

}  // namespace

std::string changed_key_entry(const char *alias, const char *name, const unsigned char *shown,
                              std::string_view known_receivers) {
    telvane::wire::KeyPrefix now{};
    std::copy(shown, shown + now.size(), now.begin());
    // The server judged the key against the first line for the receiver's address; so do we.
    const std::string canonical = telvane::names::canonical_display(name);
    const std::string address = canonical.substr(0, canonical.find(':'));
    std::string known;
    for (const telvane::tlslink::PeerEntry &entry : telvane::tlslink::read_peer_lines(known_receivers, false)) {
        if (address.empty() || entry.key != address) continue;
        const std::string line = std::to_string(entry.line);
        CString text(format_message(catalog_text(2, 35, "%s (line %s)", 2),
                                    telvane::wire::key_prefix_text(telvane::wire::key_prefix(entry.fingerprint)).c_str(),
                                    line.c_str(), nullptr));
        if (text) known = text.get();
        break;
    }
    if (known.empty()) known = catalog_text(2, 36, "none: its line has gone", 0);
    CString entry(format_message(catalog_text(2, 34, "%s\n    now shows the key %s\n    known by the key %s", 3),
                                 alias ? alias : "", telvane::wire::key_prefix_text(now).c_str(), known.c_str()));
    return entry ? entry.get() : (alias ? alias : "");
}

int status_answer(int status, unsigned detail, const char *name) {
    switch (static_cast<ShareStatus>(status)) {
    case ShareStatus::ConnectionMade: return kDone;
    case ShareStatus::ServerTimeout: return kServerTimeout;
    case ShareStatus::IoError: return kIoError;
    case ShareStatus::ConnectionFailed: break;
    default: return -1;
    }
    // Refused, no address for the name, no physical connection, no X server, no permission; a
    // changed receiver key is a refusal of access, a link service that is down leaves no display
    // to reach.
    static const int by_detail[] = {kConnectionRefused, kNoIpAddress, kNoPhysicalConnection, kNoXServer,
                                    kAccessRefused, kAccessRefused, kNoXServer};
    if (detail < std::size(by_detail)) return by_detail[detail];
    // The server gives reason 101 when our own server could not make room for the new
    // connection. Any display name whose last character is the digit 0 ("host:0", but also
    // "host:3.0") is then taken to be that local shortage; the rule is the program's own.
    const size_t length = name ? strlen(name) : 0;
    if (detail == static_cast<unsigned>(ConnectFailure::LocalShortage) && length > 0 && name[length - 1] == '0') return kLocalOutOfMemory;
    return kConnectionRefused;
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
    switch (static_cast<ShareStatus>(e.status)) {
    using enum ShareStatus;
    case ConnectionMade:
        connection_made(e, n);
        break;
    case ConnectionFailed:
        connection_failed(e, n);
        break;
    case ConnectionClosed:
        log_msg1("STATUS connection-closed on '%s'", n.name);
        input_status_changed(host, -1);
        delete_all_host_tags(static_cast<uint32_t>(host));
        break;
    case WindowShared:
        window_shared(e);
        break;
    case WindowUnshared:
        window_unshared(e);
        break;
    case WindowUnsharable:
        log_msg1n("STATUS window unsharable (0x%x)", static_cast<int>(e.window));
        add_multiple_messages(&refused_windows, n.alias);
        break;
    case FontMissing:
        font_missing(e, n);
        break;
    case InputAllowed:
        log_msg1("STATUS input allowed from '%s'", n.name);
        input_status_changed(host, 1);
        break;
    case InputDisallowed:
        log_msg1("STATUS input disallowed from '%s'", n.name);
        input_status_changed(host, 0);
        break;
    case PropertyChanged:
        log_msg1("STATUS window_property_change on '%s'", n.name);
        add_multiple_messages(&prop_changed, n.alias);
        break;
    case ServerTimeout:
        log_msg1("STATUS server-timeout  on '%s'", n.name);
        add_multiple_messages(&server_timeout, n.alias);
        answer(host, status_answer(static_cast<int>(ServerTimeout), 0, n.name));
        break;
    case ColorsUnmatched:
        log_msg1("STATUS bad-color on '%s'", n.name);
        if (in_list(host, dontReport_Color_host, dontReport_Color_count)) break;
        add_multiple_messages(&bad_colors, n.alias);
        break;
    case IoError:
        log_msg1("STATUS io_error on '%s'", n.name);
        add_multiple_messages(&io_timeout, n.alias);
        answer(host, status_answer(static_cast<int>(IoError), 0, n.name));
        break;
    case BadGcFunction:
        log_msg1("STATUS bad GC function on '%s'", n.name);
        if (in_list(host, dontReport_GC_host, dontReport_GC_count)) break;
        add_multiple_messages(&bad_gc, n.alias);
        break;
    case DirectAccessClient:
        log_msg0("STATUS direct access (plotwell?) client");
        add_multiple_messages(&dhx_client, "");
        break;
    case ColormapTooSmall:
        log_msg1("STATUS colormap-too-small on '%s'", n.name);
        if (in_list(host, dontReport_Color_host, dontReport_Color_count)) break;
        add_multiple_messages(&to_small_colormap, n.alias);
        break;
    case NoColormap:
        log_msg1("STATUS no-colormap on '%s'", n.name);
        if (in_list(host, dontReport_Color_host, dontReport_Color_count)) break;
        add_multiple_messages(&no_colormap, n.alias);
        break;
    case AlreadySharedLocal:
        log_msg1("STATUS window not shared to local host '%s'", n.name);
        add_multiple_messages(&conn_refused_local, n.alias);
        break;
    case OutOfMemory:
        out_of_memory(host, n);
        break;
    case DirectColorReceiver:
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
    // Two reports of our own, after all the others: a receiver that may be an impostor must
    // not read as one that merely said no, nor one whose link service is down as one switched off.
    {&key_changed, kError, 1, 2, 33,
     "The key of these receivers has changed:\n%s\n\nSomeone may be posing as them: nothing was shared there.\n"
     "If a receiver really was given a new key, delete its line from\n%s\nand share again."},
    {&link_down, kError, 1, 2, 37,
     "The display link service does not answer on receiver(s)\n%s.\n\nTelvane has met them through an encrypted "
     "link, so it shares\nto them through that link only. Start telvane-consent there\nand share again."},
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
        } else if (r.list == &key_changed) {
            message2(TelvaneSH, r.level, r.type, r.set, r.number, r.text, text.get(), known_receivers_path().c_str());
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
