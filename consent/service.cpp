// Connections, questions and answers, driven by the toolkit's socket inputs and time-outs.
#include "service.h"

#include "net.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace telvane::consent {

namespace {

// Connections taken from the listener in one turn of the loop, so that a flood of them never
// keeps the loop from reading the ones already open.
constexpr int kAcceptBatch = 64;
// How long an answered peer may go on sending before its connection is closed regardless.
// Draining first makes the close orderly, so the peer reads its answer rather than a reset.
constexpr std::chrono::seconds kDrainTime{2};
// After running out of descriptors, accepting is tried again this much later.
constexpr std::chrono::seconds kAcceptRetry{1};

// The write end of the signal pipe; the handler's only way to reach the loop.
int signal_write_fd = -1;

void on_signal(int) {
    int saved = errno;
    char byte = 1;
    (void)!write(signal_write_fd, &byte, 1);
    errno = saved;
}

// Runs `body` from a toolkit callback; nothing it throws may unwind through the toolkit.
template <typename Body>
void guarded(const char *what, Body &&body) {
    try {
        body();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "telvane-consent: %s: %s\n", what, e.what());
    } catch (...) {
        std::fprintf(stderr, "telvane-consent: %s: unexpected failure\n", what);
    }
}

Outcome outcome_of(ParseError error) {
    return error == ParseError::IdentityTooLong ? Outcome::TooLong : Outcome::NoZero;
}

// The number that names an address in the limits and the question line.
uint32_t address_key(const Ipv4Address &a) {
    return uint32_t{a[0]} << 24 | uint32_t{a[1]} << 16 | uint32_t{a[2]} << 8 | a[3];
}

}  // namespace

void log_line(const std::string &line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

ConsentService::ConsentService(XtAppContext app, UniqueFd listener, ServiceSettings settings)
    : app_(app), listener_(std::move(listener)), settings_(settings),
      queue_(std::chrono::duration_cast<std::chrono::milliseconds>(settings.answer_timeout)) {
    set_accepting(true);
    // SIGTERM and SIGINT reach the loop through a pipe, so they are handled between events
    // rather than inside whatever the loop was doing. Installed before main reports that it
    // listens, so a signal sent from then on always ends the service cleanly.
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::fprintf(stderr, "telvane-consent: pipe: %s\n", std::strerror(errno));
        return;
    }
    signal_read_ = UniqueFd(fds[0]);
    signal_write_ = UniqueFd(fds[1]);
    signal_write_fd = fds[1];
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal_input_ = XtAppAddInput(app_, fds[0], reinterpret_cast<XtPointer>(XtInputReadMask), signal_ready, this);
}

ConsentService::~ConsentService() {
    stop_all();
    set_accepting(false);
    if (timer_) XtRemoveTimeOut(timer_);
    if (signal_input_) XtRemoveInput(signal_input_);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    signal_write_fd = -1;
}

void ConsentService::set_dialog(ConsentDialog *dialog) { dialog_ = dialog; }

int ConsentService::run() {
    if (!signal_read_) return 1;
    while (!stopping_) XtAppProcessEvent(app_, XtIMAll);
    stop_all();
    return 0;
}

void ConsentService::stop_all() {
    if (dialog_) dialog_->hide();
    for (auto &[id, ask] : std::exchange(link_asks_, {})) ask.answer(false, false);
    std::vector<ConnectionId> ids;
    for (const auto &[id, c] : connections_) ids.push_back(id);
    for (ConnectionId id : ids) {
        Connection &c = connections_.at(id);
        // Every sender still waiting gets a definite no rather than a dropped connection.
        if (c.phase != Phase::Closing) finish(id, Outcome::Stopping);
        close_connection(id);
    }
}

void ConsentService::set_accepting(bool on) {
    if (on && !listener_input_ && listener_) {
        listener_input_ = XtAppAddInput(app_, listener_.get(), reinterpret_cast<XtPointer>(XtInputReadMask),
                                        listener_ready, this);
    } else if (!on && listener_input_) {
        XtRemoveInput(listener_input_);
        listener_input_ = 0;
    }
}

void ConsentService::listener_ready(XtPointer client, int *, XtInputId *) {
    auto *self = static_cast<ConsentService *>(client);
    guarded("accepting", [&] {
        self->accept_all_pending();
        self->reschedule();
    });
}

void ConsentService::accept_all_pending() {
    for (int taken = 0; taken < kAcceptBatch; ++taken) {
        if (limits_.full()) {
            set_accepting(false);
            return;
        }
        int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors or memory: stop taking connections for a moment rather than
            // spin on a listener that stays readable.
            std::fprintf(stderr, "telvane-consent: accept: %s\n", std::strerror(errno));
            set_accepting(false);
            accept_resume_ = Clock::now() + kAcceptRetry;
            return;
        }
        UniqueFd accepted(fd);
        Ipv4Address peer = peer_address(fd);
        auto admission = limits_.open(address_key(peer));
        if (admission != ConnectionLimits::Admission::Open) {
            // Refused before anything is read: a definite no, and the descriptor goes at once.
            // One log line per burst, so that a flood cannot flood the log as well.
            if (admission == ConnectionLimits::Admission::PeerFull) log_line(connections_refused_line(peer));
            char no = answer_byte(Outcome::Refused);
            (void)!send(fd, &no, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            continue;
        }
        ConnectionId id = next_id_++;
        Connection c;
        c.fd = std::move(accepted);
        c.peer = peer;
        c.watch = std::make_unique<Watch>(Watch{this, id});
        c.input = XtAppAddInput(app_, fd, reinterpret_cast<XtPointer>(XtInputReadMask), connection_ready,
                                c.watch.get());
        connections_.emplace(id, std::move(c));
        read_deadlines_.set(id, Clock::now() + settings_.read_timeout);
    }
}

void ConsentService::connection_ready(XtPointer client, int *, XtInputId *) {
    Watch watch = *static_cast<Watch *>(client);
    guarded("reading", [&] {
        watch.service->read_from(watch.id);
        watch.service->reschedule();
    });
}

void ConsentService::read_from(ConnectionId id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection &c = it->second;
    uint8_t buf[4096];
    ssize_t n = recv(c.fd.get(), buf, sizeof buf, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        // Reset or otherwise broken: nobody is left to answer.
        if (c.phase == Phase::Closing) {
            close_connection(id);
        } else {
            peer_gone(id);
        }
        return;
    }
    if (n == 0) c.peer_ended = true;
    switch (c.phase) {
    case Phase::Reading: {
        auto status = n > 0 ? c.parser.feed(buf, static_cast<std::size_t>(n)) : c.parser.end_of_stream();
        if (status == RequestParser::Progress::Complete) {
            request_complete(id);
        } else if (status == RequestParser::Progress::Bad) {
            finish(id, outcome_of(*c.parser.error()));
        }
        // Bytes after the terminating zero mean nothing; they are dropped with the rest.
        break;
    }
    case Phase::Waiting:
        // The sender must keep its side open until it has the answer; a closed stream is
        // indistinguishable from a sender that gave up.
        if (n == 0) peer_gone(id);
        break;
    case Phase::Closing:
        if (n == 0) close_connection(id);
        break;
    }
}

void ConsentService::request_complete(ConnectionId id) {
    Connection &c = connections_.at(id);
    read_deadlines_.clear(id);
    const Request &r = c.parser.request();
    log_line(question_line(r.sender, r.identity));
    switch (settings_.mode) {
    case AnswerMode::AcceptAll: finish(id, Outcome::Accepted); return;
    case AnswerMode::RefuseAll: finish(id, Outcome::Refused); return;
    case AnswerMode::Ask: break;
    }
    switch (queue_.add(id, address_key(c.peer))) {
    case QuestionQueue::Admission::Queued: break;
    case QuestionQueue::Admission::PeerBusy: finish(id, Outcome::PeerBusy); return;
    case QuestionQueue::Admission::Full: finish(id, Outcome::QueueFull); return;
    }
    c.phase = Phase::Waiting;
    show_next_question();
}

void ConsentService::finish(ConnectionId id, Outcome outcome) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection &c = it->second;
    read_deadlines_.clear(id);
    queue_.drop(id, Clock::now());
    log_line(answer_line(log_address(c), outcome));
    // Only the person's own yes lets a link in; a fixed answer decides links by itself.
    if (outcome == Outcome::Accepted && settings_.mode == AnswerMode::Ask && settings_.display)
        recent_yes_.record(address_key(c.peer), *settings_.display, LinkClock::now());
    char byte = answer_byte(outcome);
    // One byte into an empty send buffer does not block; a peer that is gone is not our problem.
    (void)!send(c.fd.get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(c.fd.get(), SHUT_WR);
    if (c.peer_ended) {
        close_connection(id);
        return;
    }
    c.phase = Phase::Closing;
    close_deadlines_.set(id, Clock::now() + kDrainTime);
}

void ConsentService::peer_gone(ConnectionId id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    log_line(went_away_line(log_address(it->second)));
    if (queue_.drop(id, Clock::now()) == QuestionQueue::Dropped::Shown && dialog_) dialog_->hide();
    close_connection(id);
    show_next_question();
}

void ConsentService::close_connection(ConnectionId id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    if (it->second.input) XtRemoveInput(it->second.input);
    limits_.close(address_key(it->second.peer));
    read_deadlines_.clear(id);
    close_deadlines_.clear(id);
    queue_.drop(id, Clock::now());
    connections_.erase(it);
    if (!accept_resume_ && !stopping_) set_accepting(true);
}

void ConsentService::ask_link(const Ipv4Address &sender, const Ipv4Address &peer, const std::string &identity,
                              const std::string &key, int display, LinkAnswer answer) {
    if (!dialog_ || stopping_) return answer(false, false);
    const ConnectionId id = next_id_++;
    if (queue_.add(id, address_key(peer)) != QuestionQueue::Admission::Queued) {
        log_line("telvane-consent: link from " + dotted(peer) + " refused: too many questions");
        return answer(false, false);
    }
    link_asks_.emplace(id, LinkAsk{sender, peer, identity, key, display, std::move(answer)});
    show_next_question();
    reschedule();
}

void ConsentService::finish_link(ConnectionId id, bool accepted, bool always) {
    auto it = link_asks_.find(id);
    if (it == link_asks_.end()) return;
    LinkAsk ask = std::move(it->second);
    link_asks_.erase(it);
    queue_.drop(id, Clock::now());
    ask.answer(accepted, always);
}

void ConsentService::show_next_question() {
    if (!dialog_ || stopping_) return;
    auto id = queue_.show_next(Clock::now());
    if (!id) return;
    if (auto link = link_asks_.find(*id); link != link_asks_.end()) {
        const LinkAsk &a = link->second;
        dialog_->show(printable_identity(a.identity), a.sender, a.peer,
                      static_cast<int>(settings_.answer_timeout.count()), a.key, a.display);
        return;
    }
    const Request &r = connections_.at(*id).parser.request();
    dialog_->show(printable_identity(r.identity), r.sender, connections_.at(*id).peer,
                  static_cast<int>(settings_.answer_timeout.count()));
}

void ConsentService::answer_shown(bool accepted) {
    auto id = queue_.finish_shown(Clock::now());
    const bool always = dialog_ && dialog_->always();
    if (dialog_) dialog_->hide();
    if (!id) return;
    if (link_asks_.count(*id)) finish_link(*id, accepted, always);
    else finish(*id, accepted ? Outcome::Accepted : Outcome::Refused);
    show_next_question();
    reschedule();
}

void ConsentService::expire(TimePoint now) {
    for (ConnectionId id : read_deadlines_.take_due(now)) finish(id, Outcome::NothingInTime);
    for (ConnectionId id : close_deadlines_.take_due(now)) close_connection(id);
    if (auto id = queue_.overdue(now)) {
        queue_.finish_shown(now);
        if (dialog_) dialog_->hide();
        if (link_asks_.count(*id)) finish_link(*id, false, false);
        else finish(*id, Outcome::TimedOut);
    }
    if (accept_resume_ && now >= *accept_resume_) {
        accept_resume_.reset();
        set_accepting(true);
    }
    show_next_question();
}

void ConsentService::timer_fired(XtPointer client, XtIntervalId *) {
    auto *self = static_cast<ConsentService *>(client);
    self->timer_ = 0;
    guarded("time-out", [&] {
        self->expire(Clock::now());
        self->reschedule();
    });
}

void ConsentService::reschedule() {
    std::optional<TimePoint> next;
    auto consider = [&](std::optional<TimePoint> t) {
        if (t && (!next || *t < *next)) next = t;
    };
    consider(read_deadlines_.earliest());
    consider(close_deadlines_.earliest());
    consider(accept_resume_);
    if (dialog_) consider(queue_.next_deadline());
    if (timer_) {
        XtRemoveTimeOut(timer_);
        timer_ = 0;
    }
    if (!next) return;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    unsigned long ms = wait.count() > 0 ? static_cast<unsigned long>(wait.count()) : 0;
    timer_ = XtAppAddTimeOut(app_, ms, timer_fired, this);
}

void ConsentService::signal_ready(XtPointer client, int *fd, XtInputId *) {
    auto *self = static_cast<ConsentService *>(client);
    char buf[16];
    while (read(*fd, buf, sizeof buf) > 0) {
    }
    self->stopping_ = true;
}

Ipv4Address ConsentService::log_address(const Connection &c) const {
    // Once its four bytes are in, the sender's own address names it, as in its question line.
    return c.parser.sender().value_or(c.peer);
}

}  // namespace telvane::consent
