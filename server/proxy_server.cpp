// The event loop of telvane-server: listeners, relayed connections, receivers and signals.
#include "proxy_server.h"

#include "authority.h"
#include "link_protocol.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#ifndef TELVANE_VERSION
#define TELVANE_VERSION "0"
#endif

namespace telvane::server {

namespace {

enum Kind : uint64_t { kListener = 1, kSignal, kCompletion, kOwnUpstream, kClient, kUpstream, kReceiver, kInput,
                       kReplication, kService };
constexpr uint64_t key(uint64_t id, Kind k) { return (id << 4) | k; }

// Bytes queued towards one side before the proxy stops reading from the other side.
constexpr size_t kBackpressure = 8u << 20;
constexpr size_t kReadChunk = 256u << 10;

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The most descriptors one message carries (the kernel's limit for SCM_RIGHTS).
constexpr size_t kMaxFdsPerMessage = 253;
// Descriptors queued on one connection before the proxy stops reading from its sender: each
// costs a slot in our descriptor table, which every other connection needs as well.
constexpr size_t kMaxQueuedFds = 512;

// Writes as much of `q` to `fd` as the socket takes, each descriptor with its own byte; false on
// a write error. The queue's own bytes and its lent ones go in one call.
bool drain(int fd, ByteQueue &q) {
    static std::vector<int> fds;
    while (!q.empty()) {
        const size_t len = q.next_write(q.size(), fds, kMaxFdsPerMessage);
        if (len == 0) return true;
        const size_t own = std::min(len, q.owned_size());
        iovec iov[2] = {{const_cast<uint8_t *>(q.data()), own},
                        {const_cast<uint8_t *>(q.lent_data()), len - own}};
        ssize_t n;
        if (fds.empty() && (own == len || own == 0)) {
            n = ::send(fd, own ? iov[0].iov_base : iov[1].iov_base, len, MSG_NOSIGNAL);
        } else {
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
            msghdr m{};
            m.msg_iov = own ? iov : iov + 1;
            m.msg_iovlen = (own && len > own) ? 2 : 1;
            if (!fds.empty()) {
                m.msg_control = control;
                m.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
                cmsghdr *cm = CMSG_FIRSTHDR(&m);
                cm->cmsg_level = SOL_SOCKET;
                cm->cmsg_type = SCM_RIGHTS;
                cm->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
                std::memcpy(CMSG_DATA(cm), fds.data(), sizeof(int) * fds.size());
            }
            n = ::sendmsg(fd, &m, MSG_NOSIGNAL);
        }
        if (n > 0) { q.written(static_cast<size_t>(n), fds.size()); continue; }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    return true;
}

// Reads what `fd` has into `buf`. Descriptors that came with the bytes are handed to `keep`
// (closed there when the connection cannot pass them on). Returns recv's result; -1 with
// EPROTO when descriptors were lost because too many came at once.
template <typename Keep>
ssize_t receive(int fd, std::vector<uint8_t> &buf, Keep &&keep) {
    iovec iov{buf.data(), buf.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd, &m, MSG_CMSG_CLOEXEC);
    if (n < 0) return n;
    for (cmsghdr *cm = CMSG_FIRSTHDR(&m); cm; cm = CMSG_NXTHDR(&m, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int one;
            std::memcpy(&one, CMSG_DATA(cm) + i * sizeof(int), sizeof one);
            keep(Fd(one));
        }
    }
    if (m.msg_flags & MSG_CTRUNC) {
        errno = EPROTO;
        return -1;
    }
    return n;
}

// True for a socket that can carry descriptors (a local one).
bool passes_fds(int fd) {
    int domain = 0;
    socklen_t len = sizeof domain;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX;
}

// Who is on the other end of an accepted socket, as upstream's host access would judge it.
PeerIdentity identify_peer(int fd) {
    PeerIdentity peer;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len) == 0 && ss.ss_family == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(ss).sin_addr;
        peer.local = false;
        peer.address.assign(reinterpret_cast<const char *>(&a), 4);
        return peer;
    }
    if (ss.ss_family == AF_INET6) {
        const auto &a = reinterpret_cast<const sockaddr_in6 &>(ss).sin6_addr;
        peer.local = false;
        peer.address.assign(reinterpret_cast<const char *>(&a), 16);
        return peer;
    }
    ucred cred{};
    socklen_t cl = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cl) != 0) return peer;
    // Its program, whose name X servers look at (counts_as_local).
    if (FILE *f = std::fopen(("/proc/" + std::to_string(cred.pid) + "/cmdline").c_str(), "re")) {
        char text[256] = {0};
        if (std::fgets(text, sizeof text, f)) peer.command = text;   // stops at argv[0]'s end
        std::fclose(f);
    }
    std::vector<char> buf(16384);
    passwd pw{}, *pwp = nullptr;
    if (getpwuid_r(cred.uid, &pw, buf.data(), buf.size(), &pwp) != 0 || !pwp) return peer;
    peer.user = pw.pw_name;
    int count = 64;
    std::vector<gid_t> gids(static_cast<size_t>(count));
    // Too small a list is answered with the size it needs.
    if (getgrouplist(peer.user.c_str(), cred.gid, gids.data(), &count) < 0) {
        gids.resize(static_cast<size_t>(count));
        if (getgrouplist(peer.user.c_str(), cred.gid, gids.data(), &count) < 0) count = 0;
    }
    for (int i = 0; i < count; ++i) {
        group gr{}, *grp = nullptr;
        if (getgrgid_r(gids[static_cast<size_t>(i)], &gr, buf.data(), buf.size(), &grp) == 0 && grp)
            peer.groups.emplace_back(gr.gr_name);
    }
    return peer;
}

// This machine's own addresses as host entries: a listed one lets local clients in.
std::vector<HostEntry> own_addresses() {
    std::vector<HostEntry> out;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        if (i->ifa_addr->sa_family == AF_INET) {
            const auto &a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr;
            out.push_back({kFamilyInternet, std::string(reinterpret_cast<const char *>(&a), 4)});
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            const auto &a = reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr)->sin6_addr;
            out.push_back({kFamilyInternet6, std::string(reinterpret_cast<const char *>(&a), 16)});
        }
    }
    freeifaddrs(list);
    return out;
}

std::string printable_address(const PeerIdentity &peer) {
    if (peer.local) return "local user " + (peer.user.empty() ? std::string("?") : peer.user);
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(peer.address.size() == 4 ? AF_INET : AF_INET6, peer.address.data(), text, sizeof text);
    return text;
}

std::string host_name() {
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    return host;
}

}  // namespace

// One relayed client: its socket, its socket to upstream and its protocol state.
struct ProxyServer::Connection final : ShareRequestHandler {
    Connection(uint64_t id_, Fd client_, Fd upstream_, const ConnectionProtocol::Config &cfg, ShareService *svc)
        : id(id_), client(std::move(client_)), upstream(std::move(upstream_)), proto(cfg, this), service(svc),
          local(cfg.passes_fds) {}

    LocalAnswer on_share_request(const wire::ShareRequest &req, size_t total, uint64_t seq) override {
        return service ? service->handle(id, req, total, seq, proto.order()) : LocalAnswer::none();
    }

    uint64_t id;
    Fd client;
    Fd upstream;
    ConnectionProtocol proto;
    ShareService *service;
    bool local;                 // the client can take descriptors
    bool closing = false;       // flush what the client is owed, then close
    bool upstream_ended = false;   // upstream closed its end; the socket is out of the poll set
    bool failed = false;        // close at the end of this round
    uint32_t client_mask = 0;
    uint32_t upstream_mask = 0;
};

ProxyServer::ProxyServer(const ServerOptions &options) : options_(options) {}

ProxyServer::~ProxyServer() {
    if (service_) service_->shutdown();
    if (upstream_) upstream_->unmark_roots(identity_);
    connections_.clear();
    service_.reset();
    // Stop answering on every name before giving the number up, so that a server that claims
    // it next never shares a name with us.
    listeners_.clear();
    if (!socket_path_.empty()) unlink(socket_path_.c_str());
    if (!lock_path_.empty()) unlink(lock_path_.c_str());
    if (published_cookie_) withdraw_cookie(options_.display);
}

std::unique_ptr<ProxyServer> ProxyServer::create(const ServerOptions &options, std::string &error) {
    std::unique_ptr<ProxyServer> s(new ProxyServer(options));
    if (!s->setup(error)) return nullptr;
    return s;
}

bool ProxyServer::claim_display(std::string &error) {
    const std::string n = std::to_string(options_.display);
    lock_path_ = "/tmp/.X" + n + "-lock";
    // The lock appears with its process id already in it: an X server that found it empty
    // would take it for a broken lock, remove it and claim the number as well.
    const std::string temp_path = "/tmp/.tX" + n + "-lock." + std::to_string(getpid());
    {
        unlink(temp_path.c_str());
        int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
        if (fd < 0) {
            error = "cannot write " + temp_path + ": " + std::strerror(errno);
            lock_path_.clear();
            return false;
        }
        char text[16];
        int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
        bool written = write(fd, text, static_cast<size_t>(len)) == len;
        close(fd);
        if (!written) {
            unlink(temp_path.c_str());
            error = "cannot write " + temp_path;
            lock_path_.clear();
            return false;
        }
    }
    bool locked = false;
    for (int attempt = 0; attempt < 2 && !locked; ++attempt) {
        if (link(temp_path.c_str(), lock_path_.c_str()) == 0) {
            locked = true;
            break;
        }
        // A lock left by a process that is gone may be taken over.
        std::string old;
        if (FILE *f = std::fopen(lock_path_.c_str(), "r")) {
            char buf[32] = {0};
            old = std::fgets(buf, sizeof buf, f) ? buf : "";
            std::fclose(f);
        }
        int pid = std::atoi(old.c_str());
        if (attempt == 0 && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) {
            unlink(lock_path_.c_str());
            continue;
        }
        break;
    }
    unlink(temp_path.c_str());
    if (!locked) {
        error = "display :" + n + " is in use";
        lock_path_.clear();
        return false;
    }

    mkdir("/tmp/.X11-unix", 01777);
    socket_path_ = "/tmp/.X11-unix/X" + n;
    unlink(socket_path_.c_str());
    // Listens on `path` or its abstract twin; 0, or the errno of the failed call.
    auto listen_unix = [&](const std::string &path, bool abstract) -> int {
        Fd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        size_t off = abstract ? 1 : 0;
        std::memcpy(a.sun_path + off, path.c_str(), path.size());
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + off + path.size() + (abstract ? 0 : 1));
        if (bind(s.get(), reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(s.get(), 128) != 0) return errno;
        if (!abstract) chmod(path.c_str(), 0777);
        listeners_.push_back(std::move(s));
        return 0;
    };
    if (int e = listen_unix(socket_path_, false)) {
        error = "cannot listen on " + socket_path_ + ": " + std::strerror(e);
        socket_path_.clear();
        return false;
    }
    // Clients try the abstract name first. When another process holds it (a server whose lock
    // lives in another /tmp, say), they would reach that process instead of us: the number is
    // taken, as an X server would say too.
    if (listen_unix(socket_path_, true) == EADDRINUSE) {
        error = "display :" + n + " is in use (abstract socket " + socket_path_ + ")";
        return false;
    }
    if (options_.listen_tcp) {
        Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        int one = 1;
        setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(6000 + options_.display));
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s.get(), 128) != 0) {
            error = "cannot listen on TCP port " + std::to_string(6000 + options_.display) + ": " + std::strerror(errno);
            return false;
        }
        listeners_.push_back(std::move(s));
    }
    return true;
}

bool ProxyServer::setup(std::string &error) {
    epoll_ = Fd(epoll_create1(EPOLL_CLOEXEC));
    service_epoll_ = Fd(epoll_create1(EPOLL_CLOEXEC));
    auto link = UpstreamLink::connect(options_.upstream);
    if (!link) {
        error = "cannot connect to upstream display " + options_.upstream;
        return false;
    }
    upstream_ = std::make_unique<UpstreamLink>(std::move(*link));
    auto exts = upstream_->extensions();
    auto codes = choose_extension_codes(exts);
    if (!codes) {
        error = "upstream leaves no opcode for the share extension";
        return false;
    }
    protocol_config_.codes = *codes;
    for (const auto &e : exts)
        if (e.name == "BIG-REQUESTS") protocol_config_.bigreq_major = e.major;
    extensions_ = exts;

    if (!claim_display(error)) return false;

    if (auto cred = lookup_credentials(options_.upstream)) {
        auth_.have_upstream_credentials = true;
        auth_.upstream_name = cred->name;
        auth_.upstream_data = cred->data;
    }
    if (options_.access_control) {
        // Never more open than upstream: a cookie there means a cookie here for everyone. Without
        // one, clients over TCP still need ours (upstream would judge them by an address the
        // proxy hides), and local clients need it unless upstream's host access lets them in.
        auth_.require_cookie = auth_.have_upstream_credentials && auth_.upstream_name == kMagicCookieName;
        auth_.cookie = random_cookie();
        if (publish_cookie(options_.display, auth_.cookie)) {
            published_cookie_ = true;
        } else if (auth_.require_cookie) {
            error = "cannot write the authority file";
            return false;
        } else {
            std::fprintf(stderr, "telvane-server: cannot write the authority file; clients over TCP cannot get in\n");
            auth_.cookie.clear();
        }
    }
    if (auto access = upstream_->host_access()) host_access_ = std::move(*access);
    AuthPolicy policy = auth_;
    protocol_config_.check_setup = [policy](const SetupRequest &r) { return decide_setup(r, policy); };

    ShareService::Options so;
    so.version_text = "Telvane Server " TELVANE_VERSION;
    so.sender_name = host_name();
    so.trace_path = options_.trace_path;
    so.picture_quality = options_.picture_quality;
    so.connect_limit = std::chrono::milliseconds(options_.connect_timeout_ms);
    so.upstream_display = options_.upstream;
    so.receiver_timeout = std::chrono::seconds(options_.receiver_timeout_s);
    // A name of our own, so that several servers in front of one display keep their marks apart.
    std::string token = random_cookie();
    identity_ = std::string(tlslink::kServerIdentityPrefix);
    for (unsigned char ch : token.substr(0, 8)) {
        static const char digits[] = "0123456789abcdef";
        identity_ += digits[ch >> 4];
        identity_ += digits[ch & 15];
    }
    if (upstream_->mark_roots(identity_)) so.identity = identity_;
    std::string link_error;
    so.gateway = std::make_shared<const GatewaySettings>(load_gateway_settings(options_.roads, link_error));
    if (!link_error.empty())
        std::fprintf(stderr, "telvane-server: no encrypted links to receivers: %s\n", link_error.c_str());
    service_ = std::make_unique<ShareService>(
        upstream_.get(), so, [this](const wire::ShareEvent &ev, const std::vector<uint64_t> &to) { deliver(ev, to); },
        [this](int fd, uint32_t host, bool on) {
            if (on) watch_service(fd, key(host, kReceiver));
            else unwatch(fd);
        });
    service_->set_grab_probe([this] { return server_grabbed(); });

    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal_fd_ = Fd(signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK));

    for (size_t i = 0; i < listeners_.size(); ++i) watch(listeners_[i].get(), key(i, kListener), EPOLLIN);
    watch(signal_fd_.get(), key(0, kSignal), EPOLLIN);
    watch(service_epoll_.get(), key(0, kService), EPOLLIN);
    watch_service(service_->completion_fd(), key(0, kCompletion));
    watch_service(upstream_->fd(), key(0, kOwnUpstream));
    if (service_->input_fd() >= 0) watch_service(service_->input_fd(), key(0, kInput));
    watch_service(service_->replication_fd(), key(0, kReplication));
    return true;
}

void ProxyServer::watch(int fd, uint64_t k, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = k;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev);
}

void ProxyServer::watch_service(int fd, uint64_t k) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = k;
    if (epoll_ctl(service_epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0)
        epoll_ctl(service_epoll_.get(), EPOLL_CTL_MOD, fd, &ev);
}

void ProxyServer::unwatch(int fd) {
    // A descriptor is in one of the two sets; removing it from the other fails harmlessly.
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    if (service_epoll_) epoll_ctl(service_epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

bool ProxyServer::server_grabbed() const {
    for (const auto &[id, c] : connections_)
        if (!c->failed && c->proto.may_hold_grab()) return true;
    return false;
}

void ProxyServer::follow_grab() {
    const bool grabbed = server_grabbed();
    if (grabbed == service_paused_) return;
    service_paused_ = grabbed;
    // The service's descriptors stay ready while paused; taking their set out of the main one
    // keeps the loop from waking for them.
    epoll_event ev{};
    ev.events = grabbed ? 0u : static_cast<uint32_t>(EPOLLIN);
    ev.data.u64 = key(0, kService);
    epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, service_epoll_.get(), &ev);
    if (grabbed) {
        // A client whose replies wait for its share to be set up may be the one that grabbed:
        // it would never let go. Its replies go now; the share's events follow when they come.
        for (auto &[id, c] : connections_) {
            if (c->failed || !c->proto.held()) continue;
            if (c->proto.release_hold() == ConnectionProtocol::Status::Broken) c->failed = true;
            pump(*c);
        }
    } else {
        service_->grab_over();
    }
}

void ProxyServer::service_work() {
    std::array<epoll_event, 64> events;
    const int n = epoll_wait(service_epoll_.get(), events.data(), static_cast<int>(events.size()), 0);
    for (int i = 0; i < n; ++i) {
        if (server_grabbed()) return;   // what is left stays ready for after the grab
        const uint64_t k = events[i].data.u64;
        const uint64_t id = k >> 4;
        switch (static_cast<Kind>(k & 15)) {
        case kCompletion:
            service_->collect_connections();
            release_settled();
            break;
        case kOwnUpstream:
            service_->upstream_readable();
            if (upstream_->broken()) unwatch(upstream_->fd());
            break;
        case kReceiver:
            if (service_->receiver_readable(static_cast<uint32_t>(id))) receiver_backlog_.insert(static_cast<uint32_t>(id));
            break;
        case kInput:
            if (!service_->input_readable()) unwatch(service_->input_fd());
            break;
        case kReplication: service_->replication_ready(); break;
        default: break;
        }
    }
}

std::optional<int> ProxyServer::connect_upstream() const {
    auto d = parse_display_text(options_.upstream);
    if (!d) return std::nullopt;
    int s;
    if (d->host.empty()) {
        s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string path = "/tmp/.X11-unix/X" + std::to_string(d->display);
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            // Servers started with "-nolisten unix" keep only the abstract name.
            std::memset(a.sun_path, 0, sizeof a.sun_path);
            std::memcpy(a.sun_path + 1, path.c_str(), path.size());
            socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
            if (connect(s, reinterpret_cast<sockaddr *>(&a), len) != 0) { close(s); return std::nullopt; }
        }
    } else {
        std::string host = d->host == "localhost" ? "127.0.0.1" : d->host;
        in_addr addr{};
        if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return std::nullopt;
        s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(6000 + d->display));
        a.sin_addr = addr;
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) { close(s); return std::nullopt; }
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    set_nonblocking(s);
    return s;
}

void ProxyServer::accept_clients(int listen_fd) {
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        Fd client(fd);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on unix sockets
        auto up = connect_upstream();
        if (!up) continue;  // closing the client tells it upstream is gone
        uint64_t id = next_id_++;
        ConnectionProtocol::Config config = protocol_config_;
        config.passes_fds = passes_fds(fd);
        const PeerIdentity peer = identify_peer(fd);
        const std::vector<HostEntry> own = own_addresses();
        config.check_setup = setup_check(peer, own);
        // Upstream takes every request from us as from a local client: what it would refuse
        // this client on a direct connection is refused here.
        config.refused = refused_requests(counts_as_local(peer, own), config.passes_fds, extensions_);
        auto c = std::make_unique<Connection>(id, std::move(client), Fd(*up), config, service_.get());
        Connection &ref = *c;
        connections_[id] = std::move(c);
        watch(ref.client.get(), key(id, kClient), EPOLLIN);
        watch(ref.upstream.get(), key(id, kUpstream), EPOLLIN);
        ref.client_mask = ref.upstream_mask = EPOLLIN;
    }
}

// The set-up check for the client `peer`. Whether it needs the proxy's cookie is decided now,
// from who it is; upstream's host list is asked anew for each local client, but not while a
// client holds the server grabbed: upstream would not answer before the grab ends, and the
// grab's end has to pass through this loop.
std::function<SetupVerdict(const SetupRequest &)> ProxyServer::setup_check(const PeerIdentity &peer,
                                                                           const std::vector<HostEntry> &own) {
    AuthPolicy policy = auth_;
    if (!options_.access_control) return [policy](const SetupRequest &r) { return decide_setup(r, policy); };
    if (!policy.require_cookie && peer.local && !server_grabbed())
        if (auto access = upstream_->host_access()) host_access_ = std::move(*access);
    policy.require_cookie = policy.require_cookie || !peer.local || !host_admits(host_access_, peer, own);
    const std::string who = printable_address(peer);
    return [policy, who](const SetupRequest &r) {
        SetupVerdict v = decide_setup(r, policy);
        if (!v.accept)
            std::fprintf(stderr, "telvane-server: refused a client (%s): %s\n", who.c_str(), v.refusal_reason.c_str());
        return v;
    };
}

void ProxyServer::update_interest(Connection &c) {
    uint32_t cm = 0, um = 0;
    if (!c.closing && c.proto.upstream_out().size() < kBackpressure &&
        c.proto.upstream_out().fds_queued() < kMaxQueuedFds)
        cm |= EPOLLIN;
    if (!c.proto.client_out().empty()) cm |= EPOLLOUT;
    if (!c.closing && c.proto.client_out().size() < kBackpressure && c.proto.held_size() < kBackpressure &&
        c.proto.client_out().fds_queued() < kMaxQueuedFds)
        um |= EPOLLIN;
    if (!c.proto.upstream_out().empty()) um |= EPOLLOUT;
    if (c.upstream_ended) um = c.upstream_mask;   // its socket is out of the poll set for good
    if (cm != c.client_mask) {
        c.client_mask = cm;
        epoll_event ev{cm, {.u64 = key(c.id, kClient)}};
        epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.client.get(), &ev);
    }
    if (um != c.upstream_mask) {
        c.upstream_mask = um;
        epoll_event ev{um, {.u64 = key(c.id, kUpstream)}};
        epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.upstream.get(), &ev);
    }
}

void ProxyServer::pump(Connection &c) {
    if (!drain(c.upstream.get(), c.proto.upstream_out())) c.failed = true;
    if (!drain(c.client.get(), c.proto.client_out())) c.failed = true;
    if (c.closing && c.proto.client_out().empty()) c.failed = true;
    if (c.failed) doomed_.push_back(c.id);
    else update_interest(c);
}

// What the socket did not take of the read buffer is copied before the buffer is read into again.
void ProxyServer::settle(Connection &c) {
    c.proto.upstream_out().settle();
    c.proto.client_out().settle();
}

void ProxyServer::on_client(uint64_t id, uint32_t events) {
    auto it = connections_.find(id);
    if (it == connections_.end() || it->second->failed) return;
    Connection &c = *it->second;
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !c.closing) {
        static std::vector<uint8_t> buf(kReadChunk);
        // Descriptors go upstream with the first byte of what they came with, or earlier:
        // the X server keeps them in order until a request takes one.
        ssize_t n = receive(c.client.get(), buf, [&](Fd fd) { c.proto.upstream_out().attach(std::move(fd)); });
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            c.failed = true;
        } else if (n > 0) {
            auto st = c.proto.from_client(buf.data(), static_cast<size_t>(n), true);
            if (st == ConnectionProtocol::Status::Broken) c.failed = true;
            if (st == ConnectionProtocol::Status::CloseAfterFlush) c.closing = true;
        }
    }
    pump(c);
    settle(c);
}

void ProxyServer::on_upstream(uint64_t id, uint32_t events) {
    auto it = connections_.find(id);
    if (it == connections_.end() || it->second->failed) return;
    Connection &c = *it->second;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        static std::vector<uint8_t> buf(kReadChunk);
        // A client on TCP cannot take descriptors; requests that would bring one are refused
        // before they reach upstream, so any other is closed here.
        ssize_t n = receive(c.upstream.get(), buf, [&](Fd fd) {
            if (c.local) c.proto.client_out().attach(std::move(fd));
        });
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            // Upstream dropped the client: give it what arrived, then close. The hung-up socket
            // leaves the poll set, where it would wake every wait until the client has read.
            c.closing = true;
            c.upstream_ended = true;
            unwatch(c.upstream.get());
            client_link_ended_ = true;
        } else if (n > 0) {
            auto st = c.proto.from_upstream(buf.data(), static_cast<size_t>(n), true);
            if (st == ConnectionProtocol::Status::Broken) c.failed = true;
            if (st == ConnectionProtocol::Status::CloseAfterFlush) c.closing = true;
        }
    }
    pump(c);
    settle(c);
}

void ProxyServer::deliver(const wire::ShareEvent &ev, const std::vector<uint64_t> &to) {
    for (uint64_t id : to) {
        auto it = connections_.find(id);
        if (it == connections_.end()) continue;
        Connection &c = *it->second;
        if (c.failed || !c.proto.has_sent_share_request()) continue;
        c.proto.queue_event(ev);
        if (!drain(c.client.get(), c.proto.client_out())) {
            c.failed = true;
            doomed_.push_back(id);
        } else {
            update_interest(c);
        }
    }
}

void ProxyServer::release_settled() {
    for (auto &[id, c] : connections_) {
        if (c->failed || !c->proto.held() || service_->holds(id)) continue;
        if (c->proto.release_hold() == ConnectionProtocol::Status::Broken) c->failed = true;
        pump(*c);
    }
}

void ProxyServer::close_connection(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    std::unique_ptr<Connection> c = std::move(it->second);
    connections_.erase(it);
    unwatch(c->client.get());
    unwatch(c->upstream.get());
    if (c->proto.has_sent_share_request() && service_) service_->connection_closed(id);
}

int ProxyServer::run() {
    if (options_.displayfd >= 0) {
        std::string text = std::to_string(options_.display) + "\n";
        (void)!write(options_.displayfd, text.data(), text.size());
        close(options_.displayfd);
    }
    std::vector<epoll_event> events(256);
    for (;;) {
        // Events left in a receiver's queue show on no descriptor: come back for them at once.
        const bool backlog = !receiver_backlog_.empty() && !service_paused_;
        int n = epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), backlog ? 0 : -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t k = events[i].data.u64;
            const uint64_t id = k >> 4;
            switch (static_cast<Kind>(k & 15)) {
            case kListener: accept_clients(listeners_[id].get()); break;
            case kSignal: return 0;
            case kClient: on_client(id, events[i].events); break;
            case kUpstream: on_upstream(id, events[i].events); break;
            case kService:
                if (!server_grabbed()) service_work();
                break;
            default: break;
            }
        }
        while (!doomed_.empty()) {
            auto ids = std::move(doomed_);
            doomed_.clear();
            for (uint64_t id : ids) close_connection(id);
        }
        follow_grab();
        if (!service_paused_) {
            service_->upstream_readable(false);
            for (uint32_t host : std::exchange(receiver_backlog_, {}))
                if (service_->receiver_readable(host)) receiver_backlog_.insert(host);
        }
        if (upstream_gone()) return leave_without_upstream();
    }
}

bool ProxyServer::upstream_gone() {
    if (upstream_->broken() || service_->capture_lost()) return true;
    if (!std::exchange(client_link_ended_, false)) return false;
    // Upstream never closes half of a link, so a closed read side means it is gone.
    pollfd p{upstream_->fd(), POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLRDHUP));
}

int ProxyServer::leave_without_upstream() {
    std::fprintf(stderr, "telvane-server: upstream display %s is gone (%s ended); closing %zu client(s) and exiting\n",
                 options_.upstream.c_str(), service_->capture_lost() ? "the capture link" : "our connection",
                 connections_.size());
    for (auto &[id, c] : connections_) drain(c->client.get(), c->proto.client_out());
    // Closing the sockets also takes them out of the poll set. The lock, the sockets and the
    // cookie go with this object, as on SIGTERM.
    connections_.clear();
    return kExitUpstreamGone;
}

}  // namespace telvane::server
