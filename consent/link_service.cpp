// Accepts display links, decides on them in the main loop, and relays each on its own thread.
#include "link_service.h"

#include "link_filter.h"
#include "link_relay.h"
#include "net.h"
#include "service.h"
#include "texts.h"
#include "untrusted_auth.h"

#include <X11/Xauth.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace telvane::consent {

namespace {

std::uint32_t key_of(const Ipv4Address &a) {
    return (std::uint32_t{a[0]} << 24) | (std::uint32_t{a[1]} << 16) | (std::uint32_t{a[2]} << 8) | a[3];
}

std::string read_small_file(const std::string &path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return text;
    char buf[8192];
    ssize_t n;
    while (text.size() < (1u << 20) && (n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

void set_timeouts(int fd, std::chrono::seconds limit) {
    timeval tv{static_cast<time_t>(limit.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A connection to display `display` of this host through its local socket (the file, then the
// abstract name Linux servers also offer); -1 when neither takes it.
int connect_display(const std::string &dir, int display) {
    const std::string path = dir + "/X" + std::to_string(display);
    for (int abstract = 0; abstract < 2; ++abstract) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        if (path.size() + 1 >= sizeof sa.sun_path) { close(fd); return -1; }
        std::memcpy(sa.sun_path + abstract, path.c_str(), path.size());
        const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + abstract + path.size() + (abstract ? 0 : 1));
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), len) == 0) return fd;
        close(fd);
    }
    return -1;
}

// This user's credentials for display `display` of this host, as Xlib would pick them for its
// local socket; none when the authority file has none (the display may not want any).
tlslink::SetupAuth local_credentials(int display) {
    tlslink::SetupAuth auth;
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    const std::string num = std::to_string(display);
    static const char cookie[] = "MIT-MAGIC-COOKIE-1";
    const char *names[] = {cookie};
    int lens[] = {static_cast<int>(sizeof cookie - 1)};
    Xauth *a = XauGetBestAuthByAddr(FamilyLocal, static_cast<unsigned short>(std::strlen(host)), host,
                                    static_cast<unsigned short>(num.size()), num.c_str(), 1,
                                    const_cast<char **>(names), lens);
    if (a) {
        auth.name.assign(a->name, a->name_length);
        auth.data.assign(a->data, a->data_length);
        XauDisposeAuth(a);
    }
    return auth;
}

}  // namespace

LinkService::LinkService(XtAppContext app, UniqueFd listener, LinkSettings settings, RecentYes &recent, Ask ask)
    : app_(app), listener_(std::move(listener)), settings_(std::move(settings)), recent_(recent), ask_(std::move(ask)) {
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0) { news_read_ = UniqueFd(p[0]); news_write_ = UniqueFd(p[1]); }
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0) { stop_read_ = UniqueFd(p[0]); stop_write_ = UniqueFd(p[1]); }
    listener_input_ = XtAppAddInput(app_, listener_.get(), reinterpret_cast<XtPointer>(XtInputReadMask),
                                    listener_ready, this);
    news_input_ = XtAppAddInput(app_, news_read_.get(), reinterpret_cast<XtPointer>(XtInputReadMask), news_ready, this);
}

LinkService::~LinkService() {
    if (listener_input_) XtRemoveInput(listener_input_);
    if (news_input_) XtRemoveInput(news_input_);
    if (watch_timer_) XtRemoveTimeOut(watch_timer_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto &[id, l] : links_) {
            if (l.verdict == Verdict::Pending) l.verdict = Verdict::Refuse;
            // A peer that says nothing would hold its thread until its read time-out.
            if (places_.in_handshake(id)) shutdown(l.fd.get(), SHUT_RDWR);
        }
    }
    decided_.notify_all();
    (void)!write(stop_write_.get(), "s", 1);
    std::vector<LinkId> ids;
    for (auto &[id, l] : links_) {
        if (l.thread.joinable()) l.thread.join();
        ids.push_back(id);
    }
    // The main loop hears no more news: the links' ends are logged here.
    for (LinkId id : ids) ended(id);
}

void LinkService::listener_ready(XtPointer client, int *, XtInputId *) {
    static_cast<LinkService *>(client)->accept_pending();
}

void LinkService::news_ready(XtPointer client, int *, XtInputId *) {
    auto *self = static_cast<LinkService *>(client);
    char msg[9];
    while (read(self->news_read_.get(), msg, sizeof msg) == static_cast<ssize_t>(sizeof msg)) {
        LinkId id;
        std::memcpy(&id, msg + 1, sizeof id);
        if (msg[0] == 'q') self->question_ready(id);
        else self->ended(id);
    }
}

void LinkService::post(char kind, LinkId id) {
    char msg[9];
    msg[0] = kind;
    std::memcpy(msg + 1, &id, sizeof id);
    // Nine bytes into a pipe are written whole or not at all; a full pipe means the main loop
    // is gone, and nobody is left to tell.
    (void)!write(news_write_.get(), msg, sizeof msg);
}

void LinkService::accept_pending() {
    for (;;) {
        int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) break;
        UniqueFd accepted(fd);
        const Ipv4Address peer = peer_address(fd);
        const LinkId id = next_id_++;
        const LinkPlaces::Arrival arrival = places_.arrive(id, key_of(peer), LinkClock::now());
        if (arrival.verdict != LinkPlaces::Verdict::Open) {
            // Closed before anything is read, and logged once per burst from its address.
            if (arrival.verdict == LinkPlaces::Verdict::Refused) log_line(link_connections_refused_line(peer));
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (arrival.displaced) {
            // Its thread sees the socket end, fails its handshake and reports as any other.
            Link &old = links_.at(*arrival.displaced);
            old.gave_way = true;
            shutdown(old.fd.get(), SHUT_RDWR);
        }
        Link &l = links_[id];
        l.peer = peer;
        l.fd = std::move(accepted);
        try {
            l.thread = std::thread([this, id, fd, peer] { run(id, fd, peer); });
        } catch (const std::exception &) {
            log_line("telvane-consent: link from " + dotted(peer) + " refused: no thread for it");
            places_.leave(id);
            links_.erase(id);
        }
    }
    cut_slow_handshakes();
}

void LinkService::watch_fired(XtPointer client, XtIntervalId *) {
    auto *self = static_cast<LinkService *>(client);
    self->watch_timer_ = 0;
    self->cut_slow_handshakes();
}

// A socket's own time-out bounds each read, not the whole handshake: a peer that trickles a
// byte now and then would hold its thread for ever. So the main loop cuts off, by shutting the
// socket down, every link that has not said its opening words within the limit.
void LinkService::cut_slow_handshakes() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (LinkId id : places_.overdue(LinkClock::now()))
            if (auto it = links_.find(id); it != links_.end()) shutdown(it->second.fd.get(), SHUT_RDWR);
    }
    if (places_.handshakes() > 0 && !watch_timer_)
        watch_timer_ = XtAppAddTimeOut(app_, static_cast<unsigned long>(kHandshakeWatch.count()), watch_fired, this);
}

void LinkService::question_ready(LinkId id) {
    LinkQuestion q;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = links_.find(id);
        if (it == links_.end()) return;
        q = it->second.question;
    }
    switch (places_.spoke(id)) {
    case LinkPlaces::Verdict::Open: break;
    case LinkPlaces::Verdict::Refused:
        log_line("telvane-consent: link from " + dotted(q.peer) + " refused: too many links open");
        [[fallthrough]];
    case LinkPlaces::Verdict::RefusedQuietly: decide(id, Verdict::Busy); return;
    }
    log_line(link_question_line(q.peer, q.identity, q.display, tlslink::short_fingerprint(q.fingerprint)));
    // The first link from the address to the display a yes was given on uses that yes up, even
    // when something else lets it in: a yes never admits a second link.
    const bool yes = recent_.take(key_of(q.peer), q.display, LinkClock::now());
    switch (decide_link(settings_.mode, remembered(q.fingerprint), yes)) {
    case LinkDecision::Accept: decide(id, Verdict::Accept); return;
    case LinkDecision::Refuse: decide(id, Verdict::Refuse); return;
    case LinkDecision::Ask: break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        links_[id].asked = true;
    }
    if (ask_) ask_(id, q);
    else decide(id, Verdict::Refuse);
}

void LinkService::answer(LinkId id, bool accepted, bool always) {
    LinkQuestion q;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = links_.find(id);
        if (it == links_.end() || it->second.verdict != Verdict::Pending) return;
        q = it->second.question;
    }
    if (accepted && always) remember(q);
    decide(id, accepted ? Verdict::Accept : Verdict::Refuse);
}

void LinkService::decide(LinkId id, Verdict verdict) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = links_.find(id);
        if (it == links_.end() || it->second.verdict != Verdict::Pending) return;
        it->second.verdict = verdict;
    }
    decided_.notify_all();
}

void LinkService::ended(LinkId id) {
    std::thread t;
    std::string line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = links_.find(id);
        if (it == links_.end()) return;
        const Link &l = it->second;
        t = std::move(it->second.thread);
        const std::string why = l.gave_way ? "gave way to a newer connection" : l.why;
        if (places_.leave(id) && !why.empty()) line = "telvane-consent: link from " + dotted(l.peer) + " " + why;
        links_.erase(it);
    }
    if (!line.empty()) log_line(line);
    if (t.joinable()) t.join();
    // The link's buffers were the thread's own; what the allocator kept of them goes back.
    malloc_trim(0);
}

bool LinkService::remembered(const std::string &fingerprint) const {
    if (settings_.allowed_senders_path.empty()) return false;
    return tlslink::sender_remembered(read_small_file(settings_.allowed_senders_path), fingerprint);
}

void LinkService::remember(const LinkQuestion &q) const {
    if (settings_.allowed_senders_path.empty()) return;
    int fd = open(settings_.allowed_senders_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        log_line("telvane-consent: cannot remember the sender: " + settings_.allowed_senders_path + ": " + std::strerror(errno));
        return;
    }
    const std::string line = tlslink::allowed_sender_line(q.fingerprint, printable_identity(q.identity));
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        log_line("telvane-consent: cannot remember the sender: " + settings_.allowed_senders_path + ": " + std::strerror(errno));
    close(fd);
}

void LinkService::run(LinkId id, int fd, Ipv4Address peer) {
    const std::string who = "telvane-consent: link from " + dotted(peer);
    // The main loop logs how it ended, or not when its address's burst is logged already.
    auto end = [&](const std::string &why) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            links_.at(id).why = why;
        }
        post('e', id);
    };
    tlslink::Ssl ssl(settings_.context ? SSL_new(settings_.context->get()) : nullptr);
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return end("refused: no TLS");
    set_timeouts(fd, kLinkHandshakeLimit);
    const auto deadline = LinkClock::now() + kLinkHandshakeLimit;
    if (SSL_accept(ssl.get()) != 1) return end("failed: TLS handshake: " + tlslink::last_tls_error());
    const std::string fingerprint = tlslink::peer_fingerprint(ssl.get());
    tlslink::HelloParser hello;
    char buf[256];
    while (hello.feed({}) == tlslink::HelloParser::State::NeedMore) {
        if (LinkClock::now() > deadline) return end("refused: its opening words did not come in time");
        const int n = SSL_read(ssl.get(), buf, sizeof buf);
        if (n <= 0) return end("ended before its opening words");
        hello.feed(std::string_view(buf, static_cast<std::size_t>(n)));
    }
    if (hello.feed({}) == tlslink::HelloParser::State::Bad) return end("refused: " + hello.error());

    Verdict verdict;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        Link &l = links_[id];
        l.question.peer = peer;
        std::memcpy(l.question.sender.data(), &hello.hello().sender_address, 4);
        l.question.identity = hello.hello().identity;
        l.question.fingerprint = fingerprint;
        l.question.display = hello.hello().display;
        post('q', id);
        // The person has the dialog's own time limit; this one only ends a wait nobody will end.
        decided_.wait_for(lock, settings_.answer_limit + std::chrono::seconds(5),
                          [&] { return l.verdict != Verdict::Pending || stopping_; });
        if (l.verdict == Verdict::Pending) l.verdict = Verdict::Refuse;
        verdict = l.verdict;
    }
    auto say = [&](tlslink::LinkAnswer a) {
        const char byte = static_cast<char>(a);
        return SSL_write(ssl.get(), &byte, 1) == 1;
    };
    if (verdict == Verdict::Busy) {
        say(tlslink::LinkAnswer::Busy);
        SSL_shutdown(ssl.get());
        return end("refused: too many links open");
    }
    if (verdict != Verdict::Accept) {
        say(tlslink::LinkAnswer::Refused);
        SSL_shutdown(ssl.get());
        return end("refused");
    }
    const int display = hello.hello().display;
    UniqueFd x(connect_display(settings_.socket_dir, display));
    if (!x) {
        say(tlslink::LinkAnswer::NoDisplay);
        SSL_shutdown(ssl.get());
        return end("refused: no display :" + std::to_string(display) + " here");
    }
    // A display with the SECURITY extension confines the link as an untrusted client, under an
    // authorization of its own that goes once the relay has ended.
    UntrustedAuth grant = UntrustedAuth::make(UniqueFd(connect_display(settings_.socket_dir, display)),
                                              local_credentials(display), kUntrustedAuthLimit);
    if (grant.wall() == UntrustedAuth::Wall::Failed) {
        say(tlslink::LinkAnswer::NoDisplay);
        SSL_shutdown(ssl.get());
        return end("refused: display :" + std::to_string(display) + " made no untrusted authorization: " + grant.note());
    }
    const tlslink::SetupAuth &auth = grant.credentials();
    if (!say(tlslink::LinkAnswer::Linked)) return end("ended before its answer");
    log_line(who + " relayed to display :" + std::to_string(display) + " (" + grant.note() + ")");
    tlslink::RelayCounts counts;
    std::string why;
    // Every request of the sender passes the filter, which also puts our credentials into its
    // set-up. That set-up may have come right behind the opening words.
    LinkLimits limits;
    limits.pictures = settings_.pictures;
    LinkFilter filter(auth, limits);
    tlslink::RelayStart start;
    start.guard = &filter;
    start.limits = tlslink::kReceiverLimits;
    start.early = hello.rest();
    const tlslink::RelayEnd how = tlslink::relay_link(x.get(), ssl.get(), stop_read_.get(), counts, why, start);
    grant.revoke();
    end(std::string(how == tlslink::RelayEnd::Failed ? "failed: " + why : "ended") + " (" +
        std::to_string(counts.wire_in) + " bytes in, " + std::to_string(counts.wire_out) + " out" +
        refusals_text(filter.counts()) + ")");
}

}  // namespace telvane::consent
