// External requests: the commands other programs send, their replies and properties, and the
// replies that wait for a share's outcome.
#include "external_requests.h"

#include "core/cstring.h"
#include "core/messages.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "external/remote_auth.h"
#include "external/request_gate.h"
#include "extension/share_extension.h"
#include "receivers/busy.h"
#include "receivers/match_dialogs.h"
#include "receivers/receiver_list.h"
#include "registry/hostatoms.h"
#include "registry/share_registry.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "telepointer/tele_manager.h"
#include "telepointer/telepointer.h"
#include "ui/input_controls.h"
#include "ui/main_window.h"

#include "request_codes.h"

#include <X11/Xatom.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

PendingReply *clTool_pend_list = nullptr;

using namespace telvane::request_codes;

namespace {

// The most a requester's property is read for: 1000 32-bit units.
constexpr long kPropertyUnits = 1000;

// What a command returns when it has made its own replies, or they come later.
constexpr int kAnswered = -1;

Atom external_request_atom = 0;

// The name of an atom a requester gave, or null when the server has no such atom. The error
// that answers an unknown atom is the expected refusal here, so it is kept out of the
// program's error log.
int ignore_error(Display *, XErrorEvent *) { return 0; }
char *requested_atom_name(Atom atom) {
    if (!atom) return nullptr;
    XSync(display, False);
    XErrorHandler outer = XSetErrorHandler(ignore_error);
    char *name = XGetAtomName(display, atom);
    XSync(display, False);
    XSetErrorHandler(outer);
    return name;
}

Window main_window_id() { return TopLevel && XtIsRealized(TopLevel) ? XtWindow(TopLevel) : 0; }

// Reads a property of the requester; false when it is missing or cannot be read. `data` is
// XFree'd by the caller.
bool read_property(uint32_t requester, Atom property, Atom *type, int *format, unsigned long *items,
                   unsigned char **data) {
    *data = nullptr;
    if (!requester || !property) return false;
    unsigned long after = 0;
    if (XGetWindowProperty(display, requester, property, 0, kPropertyUnits, False, AnyPropertyType, type, format,
                           items, &after, data) != Success) {
        *data = nullptr;
        return false;
    }
    if (*type == None) {
        if (*data) XFree(*data);
        *data = nullptr;
        return false;
    }
    return true;
}

// The receiver's name as the registry has it, or "".
const char *host_name(Atom host) {
    char *name = nullptr, *alias = nullptr;
    return find_hostatom_names(host, &name, &alias) && name ? name : "";
}

void set_host_name(uint32_t requester, Atom host, bool with_zero) {
    const char *name = host_name(host);
    XChangeProperty(display, requester, host, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(name), static_cast<int>(strlen(name) + (with_zero ? 1 : 0)));
}

void final_reply(long requester, long w2, long w3, int status, long x = 0, long y = 0) {
    if (!requester) return;
    sendStatusMessage(static_cast<unsigned long>(requester), w3, w2, status, x, y);
    log_msg5n("sendStatusMessage([%d][%d][%d][%d][%d])", static_cast<int>(w3), static_cast<int>(w2), status,
              static_cast<int>(x), static_cast<int>(y));
}

// Asks the telepointer manager, on the external requester's behalf.
void tele_request(long code, long window, long a, long b) {
    send_event(display, main_window_id(), telepointer_control_window, telepoint_req_atom, code, window, a, b,
               kTeleFromRequester);
}

int access_check(long w2, long w3) {
    int result = verify_auth(static_cast<int32_t>(w2), static_cast<uint32_t>(w3));
    log_msg2n(result ? "REMOTE Access 'OK', UID(%d), Host(%u)" : "REMOTE Access 'DENIED', UID(%d), Host(%u)",
              static_cast<int>(w2), static_cast<int>(w3));
    return result;
}

// kShareApplication and kShareWindow; `window` is the client window that `w2` stands for.
int share_command(long command, long requester, long w2, long w3, uint32_t window) {
    const auto host = static_cast<uint32_t>(w3);
    int mode = command == kShareApplication ? SHARE_APPLICATION : SHARE_SINGLE;
    if (!validate_receiver(host, static_cast<uint32_t>(requester))) return kInvalidReceiver;
    if (find_host_window_tag(host, window)) return kAlreadyShared;
    if (!check_for_sharable_window(window, &mode)) return kUnsharable;
    const bool answer_now = saveStatusMessage(static_cast<uint32_t>(requester), host, window) == 1;
    share_please(window, host, mode, 1);
    stop_busy_sharing();
    log_msg1n1a(command == kShareApplication ? "REMOTE share window(0x%x) to host '%s'" : "REMOTE share_alone window(0x%x) to host '%s'",
                static_cast<int>(w2), host);
    return answer_now ? int{kDone} : kAnswered;
}

int options_command(long w4) {
    int b4 = 0, b3 = 0, b2 = 0, b1 = 0, b0 = 0;
    unsigned value = 0;
    decode_OptsMask(&b4, &b3, &b2, &b1, &b0, &value, static_cast<unsigned long>(w4));
    if (b2) {
        setLogging(1);
        log_msg0("Set Loggin Options: On");
    } else if (b1) {
        setLogging(0);
        log_msg0("Set Loggin Options: Off");
    }
    if (b0) {
        interactive_timeout(static_cast<int>(value), static_cast<int>(value));
        log_msg4n("REMOTE set delay time to '%d.%0d' '%d.%0d'", static_cast<int>(value / 10),
                  static_cast<int>(value % 10), static_cast<int>(value / 10), static_cast<int>(value % 10));
    }
    return kDone;
}

// kTelepointerDelete; returns the status and the window its reply names.
int delete_teles_command(long w2, long w3, long w4, long *named) {
    const auto window = static_cast<Window>(w2);
    Window id = 0;
    *named = w2;
    if (w4 == kTeleEarliest) {
        id = findLatestTele(window);
        if (!id) {
            log_msg1n("No telepointers in window(0x%x)", static_cast<int>(w2));
            return kNoSuchTelepointer;
        }
    } else if (w2 != 0) {
        if (!findLatestTele(window)) {
            log_msg1n("No telepointers in window(0x%x)", static_cast<int>(w2));
            return kNoSuchTelepointer;
        }
        if (w3 == kTeleAll) {
            log_msg1n("Delete all telepointers on window(0x%x)", static_cast<int>(w2));
            tele_request(kTeleDeleteWindowRequest, w2, kTeleAll, w4);
        } else {
            log_msg4n("Delete telepointer on window(0x%x) at (%d, %d)", static_cast<int>(w2), static_cast<int>(w3),
                      static_cast<int>(w4), 0);
            tele_request(kTeleDeleteRequest, w2, w3, w4);
        }
        return kDone;
    } else {
        id = static_cast<Window>(w3);
    }
    const Window parent = getWIDfromTID(id);
    if (!parent) {
        log_msg1n("No telepointer with id (0x%x)", static_cast<int>(id));
        return kNoSuchTelepointer;
    }
    log_msg2n("Delete telepointer on window(0x%x) id (0x%x)", static_cast<int>(parent), static_cast<int>(id));
    tele_request(kTeleDeleteIdRequest, static_cast<long>(parent), static_cast<long>(id), w4);
    *named = static_cast<long>(parent);
    return kDone;
}

// A requester's receiver name that is no display name. The user is told of it only once the
// request is answered, so that a script gets its refusal at once rather than when somebody
// closes the message.
std::string illegal_receiver_name;

// Tells the user of an illegal receiver name that a request refused; runs when the request is
// done, whichever way it ended.
struct TellIllegalName {
    ~TellIllegalName() {
        if (illegal_receiver_name.empty()) return;
        const std::string name = std::move(illegal_receiver_name);
        illegal_receiver_name.clear();
        message1(TopLevel, 1, 0x111, 2, 3, "Illegal Display Name '%s'", name.c_str());
    }
};

int access_command(long requester, long w2, long w3) {
    // Its own final reply, logged as every final reply is.
    const int result = access_check(w2, w3);
    final_reply(requester, TLCMDConnector_is_visible, result, result);
    return kAnswered;
}

int pick_command(long requester, long w3) {
    int x = 0, y = 0;
    Window picked = pick(10, &x, &y);
    if (picked) {
        log_msg1n("REMOTE request to PICK window (0x%x)", static_cast<int>(picked));
        final_reply(requester, static_cast<long>(picked), w3, kDone, x, y);
    } else {
        log_msg0("ERROR on REMOTE request to PICK window.");
        final_reply(requester, 0, w3, kNothingPicked);
    }
    return kAnswered;
}

int share_same_command(uint32_t requester, long w2, long w3) {
    const int status = processShareSameCmd(requester, w2, w3);
    if (status == kDone) {
        log_msg0("Share Same windows SUCCESSFUL");
        return kAnswered;
    }
    log_msg1n("ERROR[%d] on REMOTE Share Same windows", status);
    return status;
}

int unshare_command(long window, long w3) {
    uint32_t tag = find_host_window_tag(static_cast<uint32_t>(w3), static_cast<uint32_t>(window));
    if (tag) {
        tlUnshareWindow(display, static_cast<Window>(window), static_cast<Atom>(w3), tag);
        main_loop_empty_tl();
        log_msg1n1a("Unshared window(0x%x) from host '%s'", static_cast<int>(window), static_cast<Atom>(w3));
    } else {
        log_msg1n1a("Cannot Unshare window(0x%x) is not shared to '%s'", static_cast<int>(window), static_cast<Atom>(w3));
    }
    return kDone;
}

int input_command(long w2, long w3) {
    if (!find_is_host_sharing(static_cast<uint32_t>(w3))) {
        log_msg1a("Cannot Change Input State, host'%s' not shared to", static_cast<Atom>(w3));
        return kReceiverNotShared;
    }
    if (w2 == kInputAllow) {
        tlAllowInput(display, static_cast<Atom>(w3));
        log_msg1a("REMOTE Allow Input on host'%s'", static_cast<Atom>(w3));
    } else {
        tlDisallowInput(display, static_cast<Atom>(w3));
        log_msg1a("REMOTE Disallow Input to host'%s'", static_cast<Atom>(w3));
    }
    return kDone;
}

int daisy_chain_command(long window) {
    if (!find_window(0, static_cast<uint32_t>(window))) {
        log_msg1n("Cannot allow daisyChain on window(0x%x), not shared", static_cast<int>(window));
        return kDaisyWindowNotShared;
    }
    set_daisy_chain(static_cast<Window>(window));
    log_msg1n("Allow daisyChain on window(0x%x)", static_cast<int>(window));
    return kDone;
}

// A telepointer is answered by the manager once it exists.
int add_tele_command(uint32_t requester, long window, long w3, long w4) {
    if (!find_window(0, static_cast<uint32_t>(window))) {
        log_msg1n("Cannot add telepointer, window(0x%x) not shared ", static_cast<int>(window));
        return kTeleWindowNotShared;
    }
    if (w3 == kTeleCentre) {
        int x = 0, y = 0;
        find_win_center(static_cast<Window>(window), &x, &y);
        w3 = x;
        w4 = y;
    }
    addtoTeleList(0, static_cast<Window>(window), requester);
    tele_request(kTeleCreateRequest, window, w3, w4);
    log_msg1n("Added telepointer to window(0x%x)", static_cast<int>(window));
    return kAnswered;
}

int list_teles_command(uint32_t requester, long window) {
    sendTeleInfo(static_cast<Window>(window), requester);
    log_msg1n("Get Telepointer Status:win(0x%x)", static_cast<int>(window));
    return kAnswered;
}

int reload_access_command() {
    if (initialize_auth_file()) {
        log_msg0("ERROR:INVALID REMOTE Access Authorization Data.");
        return kAccessFileBad;
    }
    log_msg0("Updated REMOTE Access Authorization Data.");
    return kDone;
}

int sender_status_command(uint32_t requester, long w2, long w3) {
    SenderStatus *list = nullptr;
    int count = getSenderStatus(static_cast<uint32_t>(w2), static_cast<uint32_t>(w3), &list);
    if (count == 0) {
        log_msg1n1a("Get Sender Status, NO SHARING to win[%d], [%s]", static_cast<int>(w2), static_cast<Atom>(w3));
        freeSenderStatus(list);
        return kNothingShared;
    }
    log_msg1n1a("Get Sender Status, win[%d], [%s]", static_cast<int>(w2), static_cast<Atom>(w3));
    report_SenderStatus(list, requester, static_cast<uint32_t>(w2), static_cast<uint32_t>(w3), count);
    freeSenderStatus(list);
    return kAnswered;
}

// Carries out one command; returns the status of its final reply, or kAnswered. `window` is the
// client window that `w2` stands for in the commands about a window.
int obey_command(long command, long requester, long w2, long w3, long w4, long window) {
    const auto req = static_cast<uint32_t>(requester);
    switch (command) {
    case kAccessCheck: return access_command(requester, w2, w3);
    case kPick: return pick_command(requester, w3);
    case kSelectedReceivers: {
        const int status = send_receivers_selected_to_CL(req);
        return status == kDone ? kAnswered : status;
    }
    case kShareApplication:
    case kShareWindow:
        // Negative: answered when the share's outcome is known.
        return share_command(command, requester, w2, w3, static_cast<uint32_t>(window));
    case kShareSameWindows: return share_same_command(req, w2, w3);
    case kUnshare: return unshare_command(window, w3);
    case kDisconnect:
        disconnect_callback(static_cast<Atom>(w3), nullptr, nullptr);
        return kDone;
    case kInput: return input_command(w2, w3);
    case kDelayOrLogging: return options_command(w4);
    case kDaisyChain: return daisy_chain_command(window);
    case kTelepointerAdd: return add_tele_command(req, window, w3, w4);
    case kTelepointerDelete: {
        long named = w2;
        const int status = delete_teles_command(window, w3, w4, &named);
        final_reply(requester, named, w3, status);
        return kAnswered;
    }
    case kTelepointerList: return list_teles_command(req, window);
    case kReloadAccess: return reload_access_command();
    case kSenderStatus: return sender_status_command(req, w2, w3);
    default:
        log_msg0("UNKNOWN COMMAND LINE REQUEST!");
        return kUnknownCommand;
    }
}

void obey_request(const RequestWords &r) { processExternalCommand(r.w[0], r.w[1], r.w[2], r.w[3], r.w[4]); }
bool picking() { return pick_in_progress != 0; }

}  // namespace

void take_external_request(const XClientMessageEvent &m) {
    const RequestGate gate{obey_request, picking, log_msg0, monotonic_ms};
    take_request(m.format, RequestWords{{m.data.l[0], m.data.l[1], m.data.l[2], m.data.l[3], m.data.l[4]}}, gate);
}

void processExternalCommand(long command, long requester, long w2, long w3, long w4) {
    const TellIllegalName tell_afterwards;
    log_msg5n("Process Ext Cmd:([%d][%d][%d][%d][%d])", static_cast<int>(command), static_cast<int>(requester),
              static_cast<int>(w2), static_cast<int>(w3), static_cast<int>(w4));
    // A window manager's frame named by the requester stands for the client window inside it.
    const bool about_window = command == kShareApplication || command == kShareWindow || command == kUnshare ||
                              (command >= kDaisyChain && command <= kTelepointerList);
    const auto window = static_cast<long>(about_window ? client_window_of(static_cast<Window>(w2)) : w2);
    const int status = obey_command(command, requester, w2, w3, w4, window);
    if (status != kAnswered) final_reply(requester, w2, w3, status);
}

void publish_request_state() {
    const Window main = main_window_id();
    if (!main) return;
    long takes = enableCommandLine ? 1 : 0;
    XChangeProperty(display, main, XInternAtom(display, kTakesRequestsProperty, False), XA_INTEGER, 32,
                    PropModeReplace, reinterpret_cast<unsigned char *>(&takes), 1);
}

int sendStatusMessage(unsigned long requester, long r0, long r1, long r2, long r3, long r4) {
    if (!requester) return 1;
    return send_event(display, main_window_id(), requester, tl_external_req_atom, r0, r1, r2, r3, r4);
}

int saveStatusMessage(uint32_t requester, uint32_t host, uint32_t window) {
    if (find_is_host_sharing(host) == 1) return 1;
    auto *record = static_cast<PendingReply *>(malloc(sizeof(PendingReply)));
    // Without memory the requester is answered at once rather than never.
    if (!record) return 1;
    *record = PendingReply{requester, host, window, nullptr};
    PendingReply **tail = &clTool_pend_list;
    while (*tail) tail = &(*tail)->next;
    *tail = record;
    return 0;
}

void sendEXTStatusMessage(unsigned long host, int status, unsigned long window) {
    for (PendingReply **link = &clTool_pend_list; *link;) {
        PendingReply *r = *link;
        if (r->host == host && (window == 0 || r->window == window)) {
            sendStatusMessage(r->requester, r->host, r->window, status, 0, 0);
            *link = r->next;
            free(r);
        } else {
            link = &r->next;
        }
    }
}

void initializeStatusPend() {
    while (clTool_pend_list) {
        PendingReply *next = clTool_pend_list->next;
        free(clTool_pend_list);
        clTool_pend_list = next;
    }
}

int validate_receiver(uint32_t host, uint32_t requester) {
    char *name = nullptr, *alias = nullptr;
    if (find_hostatom_names(host, &name, &alias)) return 1;
    if (CLadd_receiver(requester, host, 1, 0) == kDone) {
        log_msg1a("ADDED HOST '%s' TO RECEIVERLIST", host);
        return 1;
    }
    log_msg1a("ERROR ADDING HOST '%s' TO RECEIVERLIST", host);
    return 0;
}

int CLadd_receiver(uint32_t requester, uint32_t host, int, int flag) {
    char *atom_name = requested_atom_name(host);
    if (!atom_name) return kInvalidReceiver;
    char name[256];
    int result = kInvalidReceiver;
    if (getHostnameFromCLwinID(requester, host, name) == 0) {
        std::string illegal = illegal_display_name(name);
        if (!illegal.empty()) {
            illegal_receiver_name = illegal;  // told once the request is answered
        } else if (possible_MatchNames(TopLevel, name)) {
            finish_MatchNames(1, flag != 0);
            result = kDone;
        }
    }
    XFree(atom_name);
    return result;
}

int getHostnameFromCLwinID(uint32_t requester, Atom property, char *buffer) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned char *data = nullptr;
    if (!read_property(requester, property, &type, &format, &items, &data)) return 1;
    bool ok = format == 8 && items > 0 && items < 256 && memchr(data, '\0', items) == nullptr;
    // A name followed by its terminating zero counts as the name.
    if (!ok && format == 8 && items > 0 && items <= 256 && data[items - 1] == '\0' &&
        memchr(data, '\0', items - 1) == nullptr) {
        ok = items > 1;
        --items;
    }
    if (ok) {
        memcpy(buffer, data, items);
        buffer[items] = '\0';
    }
    XFree(data);
    return ok ? 0 : 1;
}

void decode_OptsMask(int *b4, int *b3, int *b2, int *b1, int *b0, unsigned *value, unsigned long mask) {
    if (mask & kOptDelay) {
        *b0 = 1;
        *value = static_cast<unsigned>((mask & 0xffffffffu) >> kOptDelayShift);
    }
    if (mask & kOptLoggingOff) *b1 = 1;
    if (mask & kOptLoggingOn) *b2 = 1;
    if (mask & kOptReserved3) *b3 = 1;
    if (mask & kOptReserved4) *b4 = 1;
    log_msg5n("RETURN:decode_OptsMask([%d][%d][%d][%d][%d])", *b4, *b3, *b2, *b1, *b0);
}

Atom *getRhostList(uint32_t requester, int *count) {
    *count = 0;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned char *data = nullptr;
    if (!read_property(requester, tl_external_req_atom, &type, &format, &items, &data) || format != 32) {
        if (data) XFree(data);
        log_msg0("ERROR:get rhost list, NULL at XGetWindowProperty()");
        return nullptr;
    }
    if (items < 2) {
        XFree(data);
        log_msg0("ERROR: less than 2 rhost in share same list");
        return nullptr;
    }
    auto *list = static_cast<Atom *>(malloc(items * sizeof(Atom)));
    if (list) {
        // Xlib hands 32-bit items over as longs.
        const auto *words = reinterpret_cast<const long *>(data);
        for (unsigned long i = 0; i < items; ++i) list[i] = static_cast<Atom>(words[i] & 0xffffffff);
        *count = static_cast<int>(items);
    }
    XFree(data);
    return list;
}

int processShareSameCmd(uint32_t requester, long w2, long w3) {
    Atom *list = nullptr;
    int count = 0;
    if (w2 != kListInProperty && w3 != kListInProperty) {
        list = static_cast<Atom *>(malloc(2 * sizeof(Atom)));
        if (list) {
            list[0] = static_cast<Atom>(w2);
            list[1] = static_cast<Atom>(w3);
            count = 2;
        }
    } else {
        list = getRhostList(requester, &count);
    }
    if (!list) {
        sendStatusMessage(requester, w3, w2, kInvalidReceiver, 0, 0);
        log_msg5n("sendStatusMessage([%d][%d][%d][%d][%d])", static_cast<int>(w3), static_cast<int>(w2),
                  kInvalidReceiver, 0, 0);
        return kInvalidReceiver;
    }
    int result = 0;
    for (int i = 0; i < count;) {
        if (validate_receiver(static_cast<uint32_t>(list[i]), requester)) {
            ++i;
            continue;
        }
        sendStatusMessage(requester, static_cast<long>(list[i]), 0, kInvalidReceiver, 0, 0);
        char *name = requested_atom_name(list[i]);
        CString line(log_format("REMOTE ShareSame ILLEGAL HOST[%s] Status to CLwin[%d]", name ? name : "",
                                static_cast<int>(requester)));
        log_msg0(line.get());
        if (name) XFree(name);
        list[i] = list[count - 1];
        --count;
        result = kInvalidReceiver;
    }
    if (count < 2) {
        if (count == 1) {
            sendStatusMessage(requester, static_cast<long>(list[0]), 0, kShareSameTooFew, 0, 0);
            CString line(log_format("REMOTE ShareSameERROR RECEIVER[%s] Status to CLwin[%d]", host_name(list[0]),
                                    static_cast<int>(requester)));
            log_msg0(line.get());
        }
        free(list);
        return result ? result : int{kShareSameTooFew};
    }
    result = share_same_window(count, list);
    if (result == kDone) {
        for (int i = 0; i < count; ++i)
            if (saveStatusMessage(requester, static_cast<uint32_t>(list[i]), 0) == 1)
                sendStatusMessage(requester, static_cast<long>(list[i]), 0, kDone, 0, 0);
    }
    free(list);
    return result;
}

int send_receivers_selected_to_CL(uint32_t requester) {
    Atom *hosts = nullptr;
    int count = 0;
    if (!get_selected_receivers(&hosts, &count) || count == 0) {
        free(hosts);
        return kNobodySelected;
    }
    for (int i = 0; i < count; ++i) set_host_name(requester, hosts[i], false);
    if (count <= 5) {
        long words[5] = {};
        for (int i = 0; i < count; ++i) words[i] = static_cast<long>(hosts[i]);
        sendStatusMessage(requester, words[0], words[1], words[2], words[3], words[4]);
    } else {
        std::vector<long> items(hosts, hosts + count);
        XChangeProperty(display, requester, tl_external_req_atom, XA_STRING, 32, PropModeReplace,
                        reinterpret_cast<unsigned char *>(items.data()), count);
        sendStatusMessage(requester, kListInProperty, kListInProperty, kListInProperty, kListInProperty,
                          kListInProperty);
    }
    free(hosts);
    return kDone;
}

void report_SenderStatus(SenderStatus *list, uint32_t requester, uint32_t window, uint32_t host, int count) {
    if (count <= 0) {
        sendStatusMessage(requester, host, window, kDone, 0, 0);
        return;
    }
    std::vector<long> items(static_cast<size_t>(count));
    int front = 0, back = count - 1, flagged = 0;
    for (SenderStatus *s = list; s && front <= back; s = s->next) {
        if (s->flag) {
            items[static_cast<size_t>(front++)] = s->id;
            ++flagged;
        } else {
            items[static_cast<size_t>(back--)] = s->id;
        }
    }
    XChangeProperty(display, requester, tl_external_req_atom, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(items.data()), count);
    // Which of the receivers reported are reached without encryption: a list of our own, beside
    // the answer's words, so that requesters that do not know it lose nothing.
    std::vector<long> plain;
    if (host && hostatom_plain(host)) plain.push_back(static_cast<long>(host));
    for (long item : items)
        if (!host && hostatom_plain(static_cast<Atom>(item))) plain.push_back(item);
    XChangeProperty(display, requester, XInternAtom(display, kUnencryptedProperty, False), XA_INTEGER, 32,
                    PropModeReplace, reinterpret_cast<unsigned char *>(plain.data()), static_cast<int>(plain.size()));
    if (host) {
        set_host_name(requester, host, true);
        sendStatusMessage(requester, host, kListInProperty, kDone, getAllowInputStatus(host), flagged);
    } else {
        for (long item : items) set_host_name(requester, static_cast<Atom>(item), true);
        sendStatusMessage(requester, kListInProperty, window, kDone, flagged, getAllowDaisyChain(window));
    }
}

int validate_CL_operation() {
    int access = tlCheckAccess(display);
    if (access != 1) return access;
    if (!external_request_atom) external_request_atom = XInternAtom(display, kRequestAtom, True);
    if (!external_request_atom || XGetSelectionOwner(display, external_request_atom) == None) return 1;
    return 2;
}

void initialize_CL_operation(Widget widget) {
    Atom selection = XInternAtom(display, kRequestAtom, False);
    XSetSelectionOwner(display, selection, XtWindow(widget), CurrentTime);
    if (initialize_auth_file()) log_msg0("ERROR: Init Authorization, INVALID DATA.");
}
