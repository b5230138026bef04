// Opens encrypted display links to receiver hosts' telvane-consent and relays them to xcb.
#include "receiver_gateway.h"

#include "link_protocol.h"
#include "link_relay.h"
#include "packet_gate.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace telvane::server {

namespace {

// Workers pin receivers side by side; the file is read and appended under this lock.
std::mutex &known_receivers_lock() {
    static std::mutex m;
    return m;
}

std::string read_file(const std::string &path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return text;
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[8192];
        ssize_t n;
        // A file of known receivers is a few lines; a huge one is read only as far as 1 MB.
        while (text.size() < (1u << 20) && (n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

// The user's name as the consent question shows it: the full name from the password entry up
// to its first comma, or login@host.
std::string user_identity() {
    const passwd *pw = getpwuid(getuid());
    std::string name;
    if (pw && pw->pw_gecos) name = std::string(pw->pw_gecos).substr(0, std::string(pw->pw_gecos).find(','));
    if (name.empty()) {
        char host[256] = {0};
        gethostname(host, sizeof host - 1);
        name = std::string(pw ? pw->pw_name : "unknown") + "@" + host;
    }
    return name.substr(0, tlslink::kMaxIdentity);
}

void set_timeouts(int fd, std::chrono::milliseconds limit) {
    timeval tv{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>((limit.count() % 1000) * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// What the receiver's key says, with its file kept current: a new receiver is remembered.
// Empty when the key is accepted; otherwise the reason to trace.
std::string check_pin(const GatewaySettings &s, const std::string &address, const std::string &fingerprint) {
    std::lock_guard<std::mutex> lock(known_receivers_lock());
    const auto entries = tlslink::read_peer_lines(read_file(s.known_receivers_path), false);
    const tlslink::PinVerdict v = tlslink::judge_receiver(entries, address, fingerprint);
    if (v.kind == tlslink::PinVerdict::Kind::Known) return {};
    if (v.kind == tlslink::PinVerdict::Kind::Changed) {
        return "the key of receiver " + address + " has changed: it shows " + fingerprint + ", " +
               s.known_receivers_path + " line " + std::to_string(v.line) + " has " + v.pinned +
               "; if the receiver was given a new key, delete that line";
    }
    int fd = open(s.known_receivers_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        const std::string line = tlslink::known_receiver_line(address, fingerprint);
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) { /* remembered next time */ }
        close(fd);
    }
    return {};
}

// Our TLS context, with the key loaded or made on first use; null when there can be none.
SSL_CTX *our_context(const GatewaySettings &s) {
    GatewayKey &k = *s.key;
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!k.tried) {
        k.tried = true;
        if (s.folder.empty()) {
            k.error = "HOME is not set";
        } else {
            k.identity = tlslink::load_or_create_identity(s.folder, "telvane-server " + s.sender_identity, k.error);
            if (k.identity) k.context = tlslink::make_link_context(*k.identity, false);
            if (k.identity && !k.context) k.error = "cannot set up TLS: " + tlslink::last_tls_error();
        }
    }
    return k.context.get();
}

GatewayAttempt failed(wire::ConnectFailure f, std::string why) {
    GatewayAttempt a;
    a.kind = GatewayAttempt::Kind::Failed;
    a.failure = f;
    a.reason = std::move(why);
    return a;
}

}  // namespace

GatewaySettings load_gateway_settings(ReceiverRoads roads, std::string &error) {
    GatewaySettings s;
    s.roads = roads;
    s.sender_identity = user_identity();
    const char *home = std::getenv("HOME");
    if (!home || !*home) {
        error = "HOME is not set, so there is no key for encrypted links";
        return s;
    }
    s.folder = std::string(home) + "/.Telvane";
    s.known_receivers_path = s.folder + "/" + tlslink::kKnownReceiversFile;
    return s;
}

bool is_pinned(const GatewaySettings &settings, const std::string &address) {
    if (settings.known_receivers_path.empty()) return false;
    std::lock_guard<std::mutex> lock(known_receivers_lock());
    const auto entries = tlslink::read_peer_lines(read_file(settings.known_receivers_path), false);
    return std::any_of(entries.begin(), entries.end(), [&](const tlslink::PeerEntry &e) { return e.key == address; });
}

GatewayAttempt open_gateway(int tcp_fd, in_addr addr, int display, std::chrono::milliseconds limit,
                            const GatewaySettings &settings) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &addr, text, sizeof text);
    const std::string address = text;
    SSL_CTX *context = our_context(settings);
    if (!context) {
        close(tcp_fd);
        return failed(wire::ConnectFailure::AuthorizationRejected,
                      "no key of our own for an encrypted link: " + settings.key->error);
    }
    tlslink::Ssl ssl(SSL_new(context));
    if (!ssl || SSL_set_fd(ssl.get(), tcp_fd) != 1) {
        close(tcp_fd);
        return failed(wire::ConnectFailure::NoRoute, "no memory for TLS");
    }
    // From here on the socket goes with `owner` unless the relay takes it.
    struct Closer { int fd; ~Closer() { if (fd >= 0) close(fd); } } owner{tcp_fd};
    set_timeouts(tcp_fd, limit);
    if (SSL_connect(ssl.get()) != 1)
        return failed(wire::ConnectFailure::AuthorizationRejected, "TLS handshake with " + address + " failed: " + tlslink::last_tls_error());
    const std::string fingerprint = tlslink::peer_fingerprint(ssl.get());
    if (fingerprint.empty()) return failed(wire::ConnectFailure::AuthorizationRejected, "receiver " + address + " showed no key");
    if (std::string why = check_pin(settings, address, fingerprint); !why.empty()) {
        GatewayAttempt changed = failed(wire::ConnectFailure::ReceiverKeyChanged, why);
        changed.fingerprint = fingerprint;
        return changed;
    }

    sockaddr_in self{};
    socklen_t self_len = sizeof self;
    getsockname(tcp_fd, reinterpret_cast<sockaddr *>(&self), &self_len);
    tlslink::Hello hello{self.sin_addr.s_addr, static_cast<uint16_t>(display), settings.sender_identity};
    if (!tlslink::write_all(ssl.get(), tlslink::encode_hello(hello)))
        return failed(wire::ConnectFailure::NoRoute, "the link to " + address + " broke: " + tlslink::last_tls_error());
    // The X set-up goes out right behind the opening words, without waiting for the answer: the
    // relay takes the answer as the first byte out of the link, and the set-up's reply follows it
    // only when the answer was yes. That saves the link one round trip.
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return failed(wire::ConnectFailure::NoRoute, std::string("no local socket: ") + std::strerror(errno));
    // Room for a whole large picture in the socket pair (as far as the system allows), so that
    // the server writes a frame at once and the relay reads it in a few reads, rather than both
    // taking turns every 200 kB.
    const int pair_room = 4 << 20;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &pair_room, sizeof pair_room);
    const timeval none{0, 0};
    setsockopt(tcp_fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    setsockopt(tcp_fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    auto answer = std::make_shared<std::promise<char>>();
    try {
        SSL *raw = ssl.get();
        std::thread([raw, tcp = tcp_fd, local = pair[1], answer, address] {
            tlslink::Ssl owned(raw);
            tlslink::RelayCounts counts;
            std::string why;
            bool answered = false;
            // xcb gets the receiver's packets whole, so that one stopped halfway stalls nobody.
            PacketGate gate;
            tlslink::RelayStart start;
            start.guard = &gate;
            start.answer = [&](char a) {
                answer->set_value(a);
                answered = true;
                return static_cast<tlslink::LinkAnswer>(a) == tlslink::LinkAnswer::Linked;
            };
            tlslink::relay_link(local, owned.get(), -1, counts, why, start);
            if (!gate.refusal().empty())
                std::fprintf(stderr, "telvane-server: receiver %s sent %s; its link is closed\n", address.c_str(),
                             gate.refusal().c_str());
            if (!answered) answer->set_value(0);
            close(local);
            owned.reset();
            close(tcp);
        }).detach();
        ssl.release();
        owner.fd = -1;
    } catch (const std::exception &) {
        close(pair[0]);
        close(pair[1]);
        return failed(wire::ConnectFailure::NoRoute, "no thread to relay the link");
    }
    GatewayAttempt a;
    a.kind = GatewayAttempt::Kind::Linked;
    a.fd = pair[0];
    a.answer = answer->get_future().share();
    a.reason = "link to " + address + " encrypted, receiver key " + tlslink::short_fingerprint(fingerprint);
    return a;
}

GatewayAttempt refusal(const GatewayAttempt &linked, const std::string &address, int display,
                       std::chrono::milliseconds limit) {
    const char a = linked.answer.valid() && linked.answer.wait_for(limit) == std::future_status::ready
                       ? linked.answer.get() : 0;
    switch (static_cast<tlslink::LinkAnswer>(a)) {
    case tlslink::LinkAnswer::Linked:
        return failed(wire::ConnectFailure::NoXServer, "the display behind the link refused the set-up");
    case tlslink::LinkAnswer::NoDisplay:
        return failed(wire::ConnectFailure::NoXServer, "receiver " + address + " has no display :" + std::to_string(display));
    case tlslink::LinkAnswer::Busy:
        return failed(wire::ConnectFailure::NoRoute, "receiver " + address + " takes no more links");
    case tlslink::LinkAnswer::Refused:
        return failed(wire::ConnectFailure::AuthorizationRejected, "the user at receiver " + address + " said no");
    default:
        return failed(wire::ConnectFailure::AuthorizationRejected, "receiver " + address + " gave no answer");
    }
}

}  // namespace telvane::server
