// Reaches receiver displays over TCP with the user's credentials.
#include "receiver_link.h"

#include "byte_order.h"
#include "frame_policy.h"
#include "picture_codec.h"
#include "link_protocol.h"
#include "plain_relay.h"
#include "policy.h"
#include "x11_formats.h"
#include "x11_setup.h"

#include <X11/X.h>
#include <X11/Xauth.h>
#include <xcb/xcbext.h>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace telvane::server {

namespace {

// A TCP connection to addr:port within `limit`; the errno of the failure otherwise.
int tcp_connect(in_addr addr, uint16_t port, std::chrono::milliseconds limit, int &err) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) { err = errno; return -1; }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = addr;
    if (connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS) { err = errno; close(s); return -1; }
        pollfd p{s, POLLOUT, 0};
        int r;
        do { r = poll(&p, 1, static_cast<int>(limit.count())); } while (r < 0 && errno == EINTR);
        if (r == 0) { err = ETIMEDOUT; close(s); return -1; }
        int so = 0;
        socklen_t len = sizeof so;
        getsockopt(s, SOL_SOCKET, SO_ERROR, &so, &len);
        if (so != 0) { err = so; close(s); return -1; }
    }
    int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A receiver that accepts but never answers must not hold this worker forever.
    timeval tv{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>((limit.count() % 1000) * 1000)};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return s;
}

struct Credentials {
    std::string name, data;
};

// The user's credentials for display `number` at `addr`, as Xlib would pick them.
std::optional<Credentials> credentials_for(in_addr addr, int number) {
    std::string num = std::to_string(number);
    const char *names[] = {kMagicCookieName};
    int lens[] = {static_cast<int>(std::strlen(kMagicCookieName))};
    Xauth *a = XauGetBestAuthByAddr(FamilyInternet, 4, reinterpret_cast<const char *>(&addr),
                                    static_cast<unsigned short>(num.size()), num.c_str(), 1,
                                    const_cast<char **>(names), lens);
    if (!a && (ntohl(addr.s_addr) >> 24) == 127) {
        char host[256] = {0};
        gethostname(host, sizeof host - 1);
        a = XauGetBestAuthByAddr(FamilyLocal, static_cast<unsigned short>(std::strlen(host)), host,
                                 static_cast<unsigned short>(num.size()), num.c_str(), 1,
                                 const_cast<char **>(names), lens);
    }
    if (!a) return std::nullopt;
    Credentials c{std::string(a->name, a->name_length), std::string(a->data, a->data_length)};
    XauDisposeAuth(a);
    return c;
}

// Runs the set-up exchange by hand to learn whether the receiver refuses it: xcb only reports
// that it failed, not that the server said no.
bool setup_refused(int fd, const std::optional<Credentials> &cred) {
    SetupRequest req;
    req.order = wire::ByteOrder::Lsb;
    if (cred) { req.auth_name = cred->name; req.auth_data = cred->data; }
    auto bytes = encode_setup_request(req);
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return false;
    uint8_t status = 1;
    return read(fd, &status, 1) == 1 && status == 0;
}

// xcb waits for the set-up reply in poll() without a time limit, whatever the socket's own
// time-outs say. A receiver that takes the connection and never answers is cut off by shutting
// the socket down once `limit` has passed, which ends xcb's wait with a broken connection.
class SetupWatchdog {
public:
    // Without a thread to watch, nothing is started: watching() says so.
    SetupWatchdog(int fd, std::chrono::milliseconds limit) {
        try {
            thread_ = std::thread([this, fd, limit] {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!wake_.wait_for(lock, limit, [this] { return done_; })) {
                    fired_ = true;
                    shutdown(fd, SHUT_RDWR);
                }
            });
        } catch (const std::exception &) {
        }
    }
    bool watching() const { return thread_.joinable(); }
    ~SetupWatchdog() { stop(); }
    SetupWatchdog(const SetupWatchdog &) = delete;
    SetupWatchdog &operator=(const SetupWatchdog &) = delete;

    // Ends the watch; true when it had already cut the socket off.
    bool stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
        return fired_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool fired_ = false;
    std::thread thread_;
};

}  // namespace

namespace {

// The most events a receiver may send before its first answer. An X server that has just
// accepted us has nothing to tell; a stream of them is a receiver that wants to fill our memory.
constexpr int kMaxEventsBeforeAnswer = 1000;

// Waits until `deadline` for the answer to request `sequence`, throwing away (and counting)
// whatever events come first: xcb's own wait has no time limit and keeps every event. Returns
// the reply, or nothing when the receiver did not answer in time, answered out of turn (a reply
// under another request's number, which xcb reports as no reply at all), sent an error, broke
// the connection or flooded events; `why` then says which.
XcbReply<void> bounded_reply(xcb_connection_t *c, unsigned sequence, std::chrono::steady_clock::time_point deadline,
                             int &events, std::string &why) {
    xcb_flush(c);
    for (;;) {
        while (xcb_generic_event_t *ev = xcb_poll_for_event(c)) {
            std::free(ev);
            if (++events > kMaxEventsBeforeAnswer) { why = "it sends events without end"; return {}; }
        }
        if (xcb_connection_has_error(c)) { why = "the connection broke"; return {}; }
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (xcb_poll_for_reply(c, sequence, &reply, &error)) {
            std::free(error);
            if (!reply) why = error ? "it answers with an error" : "it answers out of turn";
            return XcbReply<void>(reply);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) { why = "no answer within the time limit"; return {}; }
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) { why = "poll failed"; return {}; }
    }
}

// Whether a root window of `c` carries the property `identity` (or, with no identity, nothing
// more than that the receiver answers as an X server does). The atom is only looked up, never
// made: a display that has never heard the name is not ours. Nothing when the receiver does not
// answer properly; `why` then says how.
std::optional<bool> carries_identity(xcb_connection_t *c, const std::string &identity,
                                     std::chrono::steady_clock::time_point deadline, std::string &why) {
    // Without an identity to look for, any name serves to see the receiver answer in turn.
    const std::string name = identity.empty() ? "WM_NAME" : identity;
    int events = 0;
    XcbReply<void> a = bounded_reply(
        c, xcb_intern_atom(c, 1, static_cast<uint16_t>(name.size()), name.c_str()).sequence, deadline, events, why);
    if (!a) return std::nullopt;
    const xcb_atom_t atom = static_cast<xcb_intern_atom_reply_t *>(a.get())->atom;
    if (identity.empty() || atom == XCB_ATOM_NONE) return false;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem; xcb_screen_next(&it)) {
        XcbReply<void> p = bounded_reply(
            c, xcb_get_property(c, 0, it.data->root, atom, XCB_ATOM_ANY, 0, 1).sequence, deadline, events, why);
        if (!p) return std::nullopt;
        if (static_cast<xcb_get_property_reply_t *>(p.get())->type != XCB_ATOM_NONE) return true;
    }
    return false;
}

// What the link service behind `c` decodes, asked as its own extension: nothing from a service
// that does not know it (it answers "absent"), or that does not answer in time. Where it offers
// pictures, BIG-REQUESTS is enabled on the way, so that a large picture is one request.
PictureAbility query_pictures(xcb_connection_t *c, std::chrono::steady_clock::time_point deadline, std::string &why) {
    int events = 0;
    const std::string_view name = wire::kPictureExtensionName;
    XcbReply<void> ext = bounded_reply(
        c, xcb_query_extension(c, static_cast<uint16_t>(name.size()), name.data()).sequence, deadline, events, why);
    if (!ext) return {};
    const auto *e = static_cast<const xcb_query_extension_reply_t *>(ext.get());
    if (!e->present || e->major_opcode != wire::kPictureMajor) {
        why = "its link service offers none";
        return {};
    }
    // Its answer comes before the codecs', so asking for the length later does not wait.
    xcb_prefetch_maximum_request_length(c);
    uint8_t query[wire::kQueryCodecsBytes] = {0, static_cast<uint8_t>(wire::PictureMinor::QueryCodecs), 0, 0};
    iovec parts[3] = {};
    parts[2] = {query, sizeof query};
    const xcb_protocol_request_t request{1, nullptr, wire::kPictureMajor, 0};
    const unsigned sequence = xcb_send_request(c, 0, parts + 2, &request);
    XcbReply<void> codecs = bounded_reply(c, sequence, deadline, events, why);
    if (!codecs) return {};
    const PictureAbility out = read_codecs_reply(static_cast<const uint8_t *>(codecs.get()));
    if (out.codecs == 0) {
        why = "its link service decodes none of ours";
        return {};
    }
    xcb_get_maximum_request_length(c);
    why = "codec mask " + std::to_string(out.codecs) + ", up to " + std::to_string(out.max_pixels) + " pixels";
    return out;
}

}  // namespace

ReceiverConnectResult connect_receiver(const std::string &display_text, std::chrono::milliseconds limit,
                                       const std::string &identity, const GatewaySettings *gateway) {
    ReceiverConnectResult out;
    auto fail = [&](wire::ConnectFailure f, std::string why) {
        out.failure = f;
        out.reason = std::move(why);
        return std::move(out);
    };
    auto d = parse_display_text(display_text);
    if (!d) return fail(wire::ConnectFailure::NoIpAddress, "malformed display name");
    out.screen = d->screen;
    in_addr addr{};
    std::string host = d->host.empty() || d->host == "localhost" ? "127.0.0.1" : d->host;
    if (inet_pton(AF_INET, host.c_str(), &addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *res = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
            return fail(wire::ConnectFailure::NoIpAddress, "no IPv4 address for " + host);
        addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    }
    const uint16_t port = static_cast<uint16_t>(6000 + d->display);
    int err = 0;
    int fd = -1;
    bool linked = false;
    GatewayAttempt link;
    if (gateway) {
        int g = tcp_connect(addr, tlslink::kLinkPort, limit, err);
        char address[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &addr, address, sizeof address);
        if (g >= 0) {
            link = open_gateway(g, addr, d->display, limit, *gateway);
            if (link.kind == GatewayAttempt::Kind::Failed) {
                if (*link.failure == wire::ConnectFailure::ReceiverKeyChanged) out.key = wire::key_prefix(link.fingerprint);
                return fail(*link.failure, link.reason);
            }
            fd = link.fd;
            linked = true;
            out.route = link.reason;
        } else if ((err == ECONNREFUSED || err == ETIMEDOUT) && is_pinned(*gateway, address)) {
            // Whoever stops the link service (or answers the X port in its place) must not turn a
            // receiver met through a link into a plain one.
            return fail(wire::ConnectFailure::LinkServiceDown,
                        "receiver " + std::string(address) + " is in " + gateway->known_receivers_path +
                            " but its link service does not answer (" + std::strerror(err) + "): no plain road to it");
        } else if (err != ECONNREFUSED) {
            // Nothing answers at all, not even a refusal: the plain road would find the same.
            return fail(wire::ConnectFailure::NoRoute, std::strerror(err));
        }
    }
    if (!linked) {
        if (gateway && gateway->roads == ReceiverRoads::Secure)
            return fail(wire::ConnectFailure::AuthorizationRejected,
                        "no encrypted link to " + host + ", and plain links are refused (--receivers secure)");
        fd = tcp_connect(addr, port, limit, err);
        if (fd < 0) return fail(classify_connect_errno(err), std::strerror(err));
        std::string why;
        std::optional<Fd> gated = relay_plain(Fd(fd), display_text, why);
        out.no_thread = !gated;
        if (!gated) return fail(wire::ConnectFailure::NoRoute, why);
        fd = gated->release();
        out.route = "link to " + host + " is plain X11: not encrypted";
        out.plain = true;
    }
    // Through a link, the receiver's service offers its own user's credentials to its display.
    auto cred = linked ? std::nullopt : credentials_for(addr, d->display);
    xcb_auth_info_t auth{};
    if (cred) {
        auth.namelen = static_cast<int>(cred->name.size());
        auth.name = cred->name.data();
        auth.datalen = static_cast<int>(cred->data.size());
        auth.data = cred->data.data();
    }
    // Through a link the set-up's reply waits for the receiver's user, who may take a while.
    SetupWatchdog watchdog(fd, linked ? gateway->answer_limit : limit);
    if (!watchdog.watching()) {
        close(fd);
        out.no_thread = true;
        return fail(wire::ConnectFailure::NoRoute, "no thread to watch the set-up");
    }
    XcbConnection c(xcb_connect_to_fd(fd, cred ? &auth : nullptr));  // owns fd from here on
    if (watchdog.stop())
        return fail(wire::ConnectFailure::NoXServer, "no answer to the set-up within the time limit");
    if ((!c || xcb_connection_has_error(c.get())) && linked) {
        GatewayAttempt why = refusal(link, host, d->display, limit);
        return fail(*why.failure, why.reason);
    }
    if (!c || xcb_connection_has_error(c.get())) {
        int probe = tcp_connect(addr, port, limit, err);
        bool refused = probe >= 0 && setup_refused(probe, cred);
        if (probe >= 0) close(probe);
        if (refused) return fail(classify_setup_refusal(cred.has_value()), "set-up refused");
        return fail(wire::ConnectFailure::NoRoute, "connection broke during set-up");
    }
    // A receiver is whatever the user named: its set-up is read only once it holds together.
    if (!setup_fits(xcb_get_setup(c.get())))
        return fail(wire::ConnectFailure::NoXServer, "the receiver's set-up does not hold together");
    int screens = xcb_setup_roots_length(xcb_get_setup(c.get()));
    if (out.screen >= screens) out.screen = 0;
    std::string why;
    const std::optional<bool> self = carries_identity(c.get(), identity, std::chrono::steady_clock::now() + limit, why);
    if (!self) return fail(wire::ConnectFailure::NoXServer, "the receiver is no X server: " + why);
    if (*self) {
        out.is_self = true;
        out.reason = "the receiver is this display itself";
        return out;
    }
    if (linked) {
        std::string said;
        out.pictures = query_pictures(c.get(), std::chrono::steady_clock::now() + limit, said);
        out.route += "; pictures: " + said;
        if (xcb_connection_has_error(c.get())) return fail(wire::ConnectFailure::NoXServer, "the link broke: " + said);
    }
    // Frames follow the round trip of slow links only: it is measured here, once.
    const auto asked = std::chrono::steady_clock::now();
    int events = 0;
    if (!bounded_reply(c.get(), xcb_get_input_focus(c.get()).sequence, asked + limit, events, why))
        return fail(wire::ConnectFailure::NoXServer, "the receiver is no X server: " + why);
    out.round_trip = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - asked);
    out.route += "; round trip " + std::to_string(out.round_trip.count() / 1000) + " ms" +
                 (out.round_trip >= kPacedRoundTrip ? ": frames follow it" : "");
    out.conn = std::move(c);
    return out;
}

}  // namespace telvane::server
