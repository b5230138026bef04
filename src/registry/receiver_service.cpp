// The consent handshake with receiver hosts and the share requests that wait for its answer.
#include "receiver_service.h"

#include "core/cstring.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/startup.h"
#include "external/external_requests.h"
#include "receivers/busy.h"
#include "registry/host_identity.h"
#include "registry/hostatoms.h"
#include "registry/window_properties.h"
#include "registry/window_selection.h"
#include "ui/input_controls.h"
#include "ui/main_window.h"

#include "consent_wire.h"
#include "request_codes.h"

#include <X11/Xlib-xcb.h>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

PendingReceiver *pending_list = nullptr;
int receiver_connect_timeout_ms = 20000;

using namespace telvane::consent_wire;
using namespace telvane::request_codes;

namespace {

// This display host's address as the services see it; all bits set until found.
uint32_t hostinetaddr = 0xffffffffu;

constexpr size_t DISPLAY_NAME_MAX = 103;

// A socket that is closed unless it is handed on.
class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

PendingReceiver *find_pending(unsigned long host) {
    for (PendingReceiver *p = pending_list; p; p = p->next) {
        if (p->host == host) return p;
    }
    return nullptr;
}

// The record of `host` whose answer has been read, or null. While it exists no second
// question to that host is started, so it is the one AnswerFunc is working on.
PendingReceiver *answered_record(unsigned long host) {
    PendingReceiver *record = find_pending(host);
    return record && !record->input_id ? record : nullptr;
}

void free_queue(PendingShare *share) {
    while (share) {
        PendingShare *next = share->next;
        delete share;
        share = next;
    }
}

// Ends one record's question; the same rules as ClosePendingConnection, for exactly this
// record. Returns 1 when its question was still outstanding.
int close_record(PendingReceiver *record) {
    PendingReceiver **link = &pending_list;
    while (*link && *link != record) link = &(*link)->next;
    if (!*link) return 0;
    *link = record->next;
    free_queue(record->windows);
    record->windows = nullptr;
    if (!record->input_id) {
        close(record->fd);
        delete record;
        return 0;
    }
    sendEXTStatusMessage(record->host, kShareWithdrawn, 0);
    XtRemoveInput(record->input_id);
    input_status_changed(record->host, -1);
    close(record->fd);
    delete record;
    return 1;
}

// Connects within receiver_connect_timeout_ms. Returns 0, or the errno of the failure
// (ETIMEDOUT when the bound passed). The socket is left blocking.
int connect_bounded(int fd, uint32_t address) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kConsentPort);
    to.sin_addr.s_addr = address;
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int ready;
            do {
                ready = poll(&p, 1, receiver_connect_timeout_ms);
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t length = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    return error;
}

// Who is sharing, as the receiver's user is told: the full name from the password entry,
// else login@host.
std::string identity() {
    std::string text;
    if (passwd *entry = getpwuid(getuid())) {
        if (entry->pw_gecos) {
            text = entry->pw_gecos;
            text = text.substr(0, text.find(','));
        }
        if (text.empty()) {
            text = std::string(entry->pw_name ? entry->pw_name : "") + "@" +
                   (my_display_hostname ? my_display_hostname : "");
        }
    }
    if (text.size() > kMaxIdentity) text.resize(kMaxIdentity);
    return text;
}

// Writes everything or gives up; a service that is gone shows up as a refusal later.
void write_all(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= static_cast<size_t>(n);
    }
}

unsigned long resource_mask() {
    return xcb_get_setup(XGetXCBConnection(display))->resource_id_mask;
}

}  // namespace

int CallReceiver(unsigned long host) {
    if (hostinetaddr == 0xffffffffu) {
        hostinetaddr = get_ip_num(my_display_hostname);
        if (hostinetaddr == 0xffffffffu) return -1;
    }
    if (PendingReceiver *record = find_pending(host)) return record->input_id ? record->fd : -1;

    char *name = nullptr, *alias = nullptr;
    if (!find_hostatom_names(host, &name, &alias) || !name) return -1;
    // A longer name is refused rather than cut: a cut name could ask somebody else.
    if (strlen(name) > DISPLAY_NAME_MAX) return -1;
    std::string host_part = name;
    if (size_t colon = host_part.find(':'); colon != std::string::npos) {
        char display_first = host_part[colon + 1];
        // Only the person at display 0 of a host runs the service.
        if (display_first != '\0' && display_first != '0') return -1;
        host_part.resize(colon);
    }

    Socket sock;
    if (sock.get() < 0) return -1;
    uint32_t address = get_ip_num(host_part.c_str());
    if (address == 0xffffffffu) return -1;
    if (int error = connect_bounded(sock.get(), address)) return error == ETIMEDOUT ? -2 : -1;

    auto *record = new PendingReceiver{host, sock.release(), nullptr, 0, pending_list};
    record->input_id = XtAppAddInput(app_context, record->fd, reinterpret_cast<XtPointer>(XtInputReadMask),
                                     AnswerFunc, reinterpret_cast<XtPointer>(host));
    pending_list = record;
    log_msg1a("Waiting for receiver service on '%s'", host);

    std::string who = identity();
    write_all(record->fd, &hostinetaddr, 4);
    write_all(record->fd, who.c_str(), who.size() + 1);

    input_status_changed(host, 2);
    return record->fd;
}

void AnswerFunc(XtPointer client_data, int *fd, XtInputId *input_id) {
    auto host = reinterpret_cast<unsigned long>(client_data);
    PendingReceiver *record = pending_list;
    while (record && record->fd != *fd) record = record->next;
    if (!record) return;

    char answer = kAnswerNo;
    ssize_t n;
    do {
        n = read(record->fd, &answer, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) answer = kAnswerNo;

    XtRemoveInput(record->input_id);
    record->input_id = 0;
    *input_id = 0;
    input_status_changed(host, -1);

    if (answer != kAnswerYes) {
        log_msg1a("Receiver service on '%s' says not OK to share", host);
        char *name = nullptr, *alias = nullptr;
        const char *shown = find_hostatom_names(host, &name, &alias) ? alias : "UNKNOWN";
        message1(TelvaneSH, 1, 273, 2, 31, "Access permission denied by\n receiver(s)\n%s.", shown);
        sendEXTStatusMessage(host, kAccessRefused, 0);
        // The dialog's nested loop may have closed the record already.
        if (PendingReceiver *answered = answered_record(host)) close_record(answered);
        return;
    }

    log_msg1a("Receiver service on '%s' says OK to share", host);
    // Each share handles events, which may end this record from another path; look again
    // before taking the next request.
    while ((record = answered_record(host)) && record->windows) {
        PendingShare *share = record->windows;
        record->windows = share->next;
        Window window = share->window;
        int kind = share->kind;
        delete share;
        share_please(window, host, kind, 0);
    }
    stop_busy_sharing();
    if ((record = answered_record(host))) close_record(record);
}

int ShareWindowPending(unsigned long host, unsigned long window, int kind) {
    PendingReceiver *record = find_pending(host);
    if (!record || !record->input_id) return 0;
    unsigned long mask = resource_mask();
    unsigned long client = client_part(window, mask);
    for (PendingShare *queued = record->windows; queued; queued = queued->next) {
        if (client_part(queued->window, mask) != client) continue;
        // The application share of that client covers this window already.
        if (queued->kind == SHARE_APPLICATION) {
            sendEXTStatusMessage(host, kAlreadyShared, window);
            return 1;
        }
        // This window's application covers the queued window too.
        if (kind == SHARE_APPLICATION) {
            sendEXTStatusMessage(host, kAlreadyShared, window);
            queued->kind = SHARE_APPLICATION;
            return 1;
        }
    }
    record->windows = new PendingShare{window, kind, record->windows};
    return 1;
}

int UnshareWindowPending(unsigned long host, unsigned long window) {
    PendingReceiver *record = find_pending(host);
    if (!record || !record->input_id) return 0;
    PendingShare **link = &record->windows;
    while (*link && (*link)->window != window) link = &(*link)->next;
    if (!*link) return 0;
    sendEXTStatusMessage(host, kShareWithdrawn, window);
    PendingShare *share = *link;
    *link = share->next;
    delete share;
    if (!record->windows) ClosePendingConnection(host);
    return 1;
}

int ClosePendingConnection(unsigned long host) {
    PendingReceiver *record = find_pending(host);
    if (!record) return 0;
    return close_record(record);
}
