// Executes share requests: receivers, mirrors, tags, input settings and the events that report them.
#include "share_service.h"

#include "policy.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <deque>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <thread>
#include <utility>
#include <unistd.h>

namespace telvane::server {

using wire::ShareMinor;
using wire::ShareStatus;

// Finished connection attempts, handed from worker threads to the event loop.
struct ShareService::Completion {
    std::mutex mutex;
    std::deque<std::pair<uint32_t, ReceiverConnectResult>> done;
    Fd event_fd{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

std::vector<std::array<uint8_t, 4>> local_ipv4_addresses() {
    std::vector<std::array<uint8_t, 4>> out;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        auto *sin = reinterpret_cast<sockaddr_in *>(i->ifa_addr);
        std::array<uint8_t, 4> a;
        std::memcpy(a.data(), &sin->sin_addr.s_addr, 4);
        out.push_back(a);
    }
    freeifaddrs(list);
    return out;
}

ShareService::ShareService(UpstreamLink *upstream, Options options, Broadcast broadcast, WatchFd watch)
    : upstream_(upstream), options_(std::move(options)), broadcast_(std::move(broadcast)),
      watch_(std::move(watch)), local_addresses_(local_ipv4_addresses()),
      completion_(std::make_shared<Completion>()) {
    if (!options_.trace_path.empty()) trace_ = std::fopen(options_.trace_path.c_str(), "w");
    version_atom_ = version_atom();
    if (upstream_) {
        net_wm_name_ = upstream_->intern("_NET_WM_NAME");
    }
    forwarder_ = make_input_forwarder();
    Replicator::Options ro;
    ro.upstream_display = options_.upstream_display;
    ro.sender_name = options_.sender_name;
    ro.receiver_timeout = options_.receiver_timeout;
    ro.pictures.quality = options_.picture_quality;
    if (trace_) {
        // Receivers' threads write here too; stdio keeps each line whole.
        ro.trace = [file = trace_](const std::string &line) {
            std::fprintf(file, "%s\n", line.c_str());
            std::fflush(file);
        };
    }
    replicator_ = std::make_unique<Replicator>(std::move(ro));
}

ShareService::~ShareService() {
    // The receivers' threads trace their pictures until the replicator stops them.
    replicator_.reset();
    if (trace_) std::fclose(trace_);
}

uint32_t ShareService::version_atom() {
    if (version_atom_ == 0 && upstream_) version_atom_ = upstream_->intern(options_.version_text);
    return version_atom_;
}

int ShareService::completion_fd() const { return completion_->event_fd.get(); }

void ShareService::trace_request(const wire::ShareRequest &req, size_t total, uint64_t seq,
                                 wire::ByteOrder order) {
    if (!trace_) return;
    std::fprintf(trace_,
                 "request seq=%" PRIu64 " order=%s major=%u minor=%u name=%s length=%u bytes=%zu "
                 "arg1=0x%08x arg2=0x%08x arg3=0x%08x\n",
                 seq, order == wire::ByteOrder::Msb ? "msb" : "lsb", req.major, req.minor,
                 std::string(wire::minor_name(req.minor)).c_str(), req.length, total, req.arg1,
                 req.arg2, req.arg3);
    std::fflush(trace_);
}

void ShareService::emit(ShareStatus status, uint32_t window, uint32_t host, uint32_t tag, uint32_t detail,
                        uint64_t to, const wire::KeyPrefix &key) {
    wire::ShareEvent ev;
    ev.status = static_cast<uint8_t>(status);
    ev.window = window;
    ev.host = host;
    ev.tag = tag;
    ev.detail = detail;
    ev.key = key;
    if (trace_) {
        std::fprintf(trace_, "event status=%u window=0x%08x host=%u tag=%u detail=%u\n", ev.status,
                     window, host, tag, detail);
        std::fflush(trace_);
    }
    std::vector<uint64_t> recipients;
    if (to != kConcerned) {
        recipients.push_back(to);
    } else if (auto it = concerned_.find(host); it != concerned_.end()) {
        recipients.assign(it->second.begin(), it->second.end());
    }
    broadcast_(ev, recipients);
}

bool ShareService::may_change(uint64_t conn, uint32_t host, uint32_t window, uint32_t tag) const {
    bool mine = false, others = false;
    for (const Share &s : shares_) {
        if (s.host != host || (window != 0 && (s.window != window || (tag != 0 && s.tag != tag)))) continue;
        (s.owner == conn ? mine : others) = true;
    }
    if (window == 0)
        if (auto r = receivers_.find(host); r != receivers_.end())
            for (const auto &p : r->second.waiting) (p.owner == conn ? mine : others) = true;
    return mine || !others;
}

LocalAnswer ShareService::handle(uint64_t conn, const wire::ShareRequest &req, size_t total_bytes,
                                 uint64_t sequence, wire::ByteOrder order) {
    trace_request(req, total_bytes, sequence, order);
    if (auto err = share_request_error(req, total_bytes)) return *err;
    const auto minor = static_cast<ShareMinor>(req.minor);
    const bool asks_upstream = minor == ShareMinor::ShareApplication || minor == ShareMinor::ShareWindow ||
                               minor == ShareMinor::UnshareWindow;
    if (asks_upstream && grabbed_ && grabbed_()) {
        // Upstream answers only the grabbing client now, so the questions a share asks would
        // wait for ever: the request waits for the grab's end instead, and holds nobody up.
        if (after_grab_.size() >= kMaxWaitingShares) return LocalAnswer::error(kBadAlloc, req.arg2);
        after_grab_.emplace_back(conn, req);
        if (trace_) {
            std::fprintf(trace_, "request waits for the server grab to end\n");
            std::fflush(trace_);
        }
        return LocalAnswer::none();
    }
    switch (minor) {
    case ShareMinor::ShareApplication:
        share(conn, req.arg1, req.arg2, true);
        return holds(conn) ? LocalAnswer::held() : LocalAnswer::none();
    case ShareMinor::ShareWindow:
        share(conn, req.arg1, req.arg2, false);
        return holds(conn) ? LocalAnswer::held() : LocalAnswer::none();
    case ShareMinor::UnshareWindow:
        // Another client's shares are not this one's to take away.
        if (!may_change(conn, req.arg1, req.arg2, req.arg3))
            return LocalAnswer::error(kBadAccess, req.arg2 ? req.arg2 : req.arg1);
        unshare(req.arg1, req.arg2, req.arg3, conn);
        return LocalAnswer::none();
    case ShareMinor::SetInputState: {
        // Only for an application this client shares: so the table holds no more entries than
        // there are shares.
        const bool own = std::any_of(shares_.begin(), shares_.end(), [&](const Share &s) {
            return s.owner == conn &&
                   (s.window == req.arg2 || (s.detail == wire::kDetailApplicationWindow && s.client.owns(req.arg2)));
        });
        if (!own) return LocalAnswer::error(kBadAccess, req.arg2);
        settings_.local_only[req.arg2] = req.arg1 == 1;
        return LocalAnswer::none();
    }
    case ShareMinor::SetInputDelay:
        settings_.delay_second_ms = req.arg1;
        settings_.delay_first_ms = req.arg3;
        return LocalAnswer::none();
    case ShareMinor::AllowInput:
    case ShareMinor::DisallowInput: {
        const bool allow = req.minor == static_cast<uint8_t>(ShareMinor::AllowInput);
        const uint32_t host = req.arg1;
        if (!may_change(conn, host, 0, 0)) return LocalAnswer::error(kBadAccess, host);
        auto r = receivers_.find(host);
        const bool known = r != receivers_.end() || input_.count(host);
        if (allow && !known && input_.size() >= kMaxInputHosts) return LocalAnswer::error(kBadAlloc, host);
        if (allow || r != receivers_.end()) input_[host].allowed = allow;
        else input_.erase(host);   // forbidden is what a receiver without an entry gets
        if (!allow && forwarder_) forwarder_->release_held(host);
        if (r != receivers_.end() && r->second.connected) {
            concerned_[host].insert(conn);
            emit(allow ? ShareStatus::InputAllowed : ShareStatus::InputDisallowed, 0, host);
        }
        return LocalAnswer::none();
    }
    case ShareMinor::GetVersion:
        return LocalAnswer::reply(version_atom());
    case ShareMinor::CheckAccess:
        return LocalAnswer::reply(check_access_verdict(req.arg2, req.arg3_bytes,
                                                       static_cast<uint32_t>(getuid()), local_addresses_));
    case ShareMinor::Notify:
    case ShareMinor::SendFocusNotify:
    case ShareMinor::DhaClient:
        return LocalAnswer::none();
    }
    return LocalAnswer::none();
}

void ShareService::share(uint64_t conn, uint32_t host, uint32_t window, bool application) {
    auto info = upstream_ ? upstream_->window_info(window) : std::nullopt;
    // Windows destroyed before upstream answered go first: one of them may have had this id.
    forget_destroyed(false);
    if (!info || info->is_root || info->input_only) {
        emit(ShareStatus::WindowUnsharable, window, host, 0, 0, conn);
        return;
    }
    // A window manager's frame is never shared: what it frames is.
    if (!application) window = upstream_->client_window(window);
    auto shared_here = [&](uint32_t w) {
        return std::any_of(shares_.begin(), shares_.end(),
                           [&](const Share &s) { return s.host == host && s.window == w; });
    };
    PendingShare p{conn, {}, application ? wire::kDetailApplicationWindow : wire::kDetailSingleWindow, {}};
    // A copy received from another sender goes on only where that sender allowed it.
    auto allowed = [&](uint32_t w) { return !replicator_->onward_forbidden(w); };
    p.client = upstream_->creator_of(window);
    if (application) {
        for (uint32_t w : upstream_->application_windows(window))
            if (!shared_here(w) && allowed(w) && upstream_->watch_destruction(w)) p.windows.push_back(w);
    } else if (!allowed(window) || (!shared_here(window) && !upstream_->watch_destruction(window))) {
        emit(ShareStatus::WindowUnsharable, window, host, 0, 0, conn);
        return;
    } else if (!shared_here(window)) {
        p.windows.push_back(window);
    }
    if (p.windows.empty()) {
        if (application && !allowed(window)) emit(ShareStatus::WindowUnsharable, window, host, 0, 0, conn);
        else emit(ShareStatus::AlreadySharedLocal, window, host, 0, 0, conn);
        return;
    }
    auto it = receivers_.find(host);
    if (it != receivers_.end()) {
        if (!it->second.connected && it->second.waiting.size() >= kMaxWaitingShares) {
            emit(ShareStatus::OutOfMemory, window, host, 0, 0, conn);
            return;
        }
        concerned_[host].insert(conn);
        if (it->second.connected) run_share(it->second, p);
        else it->second.waiting.push_back(std::move(p));
        return;
    }
    if (receivers_.size() >= kMaxReceivers) {
        emit(ShareStatus::OutOfMemory, window, host, 0, 0, conn);
        return;
    }
    auto name = upstream_->atom_name(host);
    if (!name) {
        emit(ShareStatus::ConnectionFailed, window, host, 0,
             static_cast<uint32_t>(wire::ConnectFailure::NoIpAddress), conn);
        return;
    }
    concerned_[host].insert(conn);
    Receiver &r = receivers_[host];
    r.host = host;
    r.name = *name;
    r.waiting.push_back(std::move(p));
    // Reaching a receiver may take seconds; a worker does it so that nobody else waits.
    std::shared_ptr<Completion> done = completion_;
    std::string text = *name;
    auto limit = options_.connect_limit;
    std::string identity = options_.identity;
    std::shared_ptr<const GatewaySettings> gateway = options_.gateway;
    try {
        std::thread([done, host, text, limit, identity, gateway] {
            ReceiverConnectResult res = connect_receiver(text, limit, identity, gateway.get());
            std::lock_guard<std::mutex> lock(done->mutex);
            done->done.emplace_back(host, std::move(res));
            uint64_t one = 1;
            (void)!write(done->event_fd.get(), &one, sizeof one);
        }).detach();
    } catch (const std::exception &) {
        // No thread to be had (too many pending, or a memory limit): this share fails, the
        // server goes on.
        auto waiting = std::move(r.waiting);
        receivers_.erase(host);
        for (const auto &p : waiting)
            for (uint32_t w : p.windows) emit(ShareStatus::OutOfMemory, w, host, 0, 0, p.owner);
        concerned_.erase(host);
    }
}

void ShareService::grab_over() {
    auto waiting = std::exchange(after_grab_, {});
    for (const auto &[conn, req] : waiting) {
        switch (static_cast<ShareMinor>(req.minor)) {
        case ShareMinor::ShareApplication: share(conn, req.arg1, req.arg2, true); break;
        case ShareMinor::ShareWindow: share(conn, req.arg1, req.arg2, false); break;
        case ShareMinor::UnshareWindow: unshare(req.arg1, req.arg2, req.arg3, conn); break;
        default: break;
        }
    }
}

bool ShareService::holds(uint64_t conn) const {
    for (const auto &[host, r] : receivers_)
        for (const auto &p : r.waiting)
            if (p.owner == conn) return true;
    return false;
}

void ShareService::collect_connections() {
    uint64_t count;
    (void)!read(completion_->event_fd.get(), &count, sizeof count);
    std::deque<std::pair<uint32_t, ReceiverConnectResult>> done;
    {
        std::lock_guard<std::mutex> lock(completion_->mutex);
        done.swap(completion_->done);
    }
    for (auto &[host, res] : done) {
        auto it = receivers_.find(host);
        if (it == receivers_.end()) continue;
        Receiver &r = it->second;
        if (res.is_self) {
            // A mirror would stand on top of its own original, and input would chase itself.
            auto waiting = std::move(r.waiting);
            const std::string name = r.name;
            receivers_.erase(it);
            if (trace_) {
                std::fprintf(trace_, "receiver %s is this display itself: share refused\n", name.c_str());
                std::fflush(trace_);
            }
            for (const auto &p : waiting)
                for (uint32_t w : p.windows) emit(ShareStatus::AlreadySharedLocal, w, host, 0, 0, p.owner);
            concerned_.erase(host);
            continue;
        }
        if (res.failure) {
            if (trace_) {
                std::fprintf(trace_, "receiver %s not reached: %s\n", r.name.c_str(), res.reason.c_str());
                std::fflush(trace_);
            }
            uint32_t window = r.waiting.empty() || r.waiting.front().windows.empty()
                                  ? 0 : r.waiting.front().windows.front();
            auto waiting = std::move(r.waiting);
            receivers_.erase(it);
            // No thread to be had here: as when none is had to reach the receiver at all.
            if (res.no_thread) {
                for (const auto &p : waiting) emit(ShareStatus::OutOfMemory, p.windows.front(), host, 0, 0, p.owner);
            } else {
                emit(ShareStatus::ConnectionFailed, window, host, 0, static_cast<uint32_t>(*res.failure), kConcerned,
                     res.key);
            }
            concerned_.erase(host);
            continue;
        }
        if (trace_ && !res.route.empty()) {
            std::fprintf(trace_, "receiver %s reached: %s\n", r.name.c_str(), res.route.c_str());
            std::fflush(trace_);
        }
        r.conn = std::move(res.conn);
        r.screen = res.screen;
        const Replicator::Fit fit = replicator_->add_receiver(host, r.conn.get(), r.screen, res.pictures,
                                                                  res.round_trip >= kPacedRoundTrip);
        if (fit != Replicator::Fit::Ready) {
            // DirectColor: its colours would need a colormap per mirror that we do not manage.
            // NoResources: no thread or memory for its sender. Either way, no share.
            const ShareStatus status =
                fit == Replicator::Fit::DirectColor ? ShareStatus::DirectColorReceiver : ShareStatus::OutOfMemory;
            auto waiting = std::move(r.waiting);
            receivers_.erase(it);
            for (const auto &p : waiting) emit(status, p.windows.front(), host, 0, 0, p.owner);
            concerned_.erase(host);
            continue;
        }
        r.connected = true;
        watch_(xcb_get_file_descriptor(r.conn.get()), host, true);
        watch_(replicator_->events_fd(host), host, true);
        emit(ShareStatus::ConnectionMade, 0, host, 0,
             static_cast<uint32_t>(res.plain ? wire::ConnectRoad::Plain : wire::ConnectRoad::Encrypted));
        auto waiting = std::move(r.waiting);
        r.waiting.clear();
        for (const auto &p : waiting) run_share(r, p);
        close_if_idle(host);
    }
}

void ShareService::run_share(Receiver &r, const PendingShare &p) {
    const uint32_t tag = next_tag_++;
    for (uint32_t w : p.windows) share_one(r, w, tag, p);
}

void ShareService::share_one(Receiver &r, uint32_t w, uint32_t tag, const PendingShare &p) {
    if (!upstream_ || !upstream_->window_info(w) || !upstream_->watching(w)) {
        // Destroyed while the share was being set up (another window may have its id by now):
        // nothing left to show.
        emit(ShareStatus::WindowUnsharable, w, r.host, 0, 0, p.owner);
        return;
    }
    const Replicator::Started started =
        replicator_->start(r.host, w, forwarder_ ? InputForwarder::mirror_input_mask() : 0, tag, p.follows);
    if (p.follows) {
        // A menu or dialog that goes with a window shared alone: part of that share, not one of
        // its own, so its client hears nothing of it and its title keeps no mark.
        if (started.mirror) shares_.push_back({tag, r.host, w, started.mirror, p.detail, p.owner, p.client, p.follows});
        return;
    }
    if (started.out_of_memory) {
        emit(ShareStatus::OutOfMemory, w, r.host, 0, 0, p.owner);
        return;
    }
    if (!started.mirror) {
        emit(ShareStatus::WindowUnsharable, w, r.host, 0, 0, p.owner);
        return;
    }
    for (uint32_t prop : {uint32_t{XCB_ATOM_WM_NAME}, net_wm_name_})
        if (prop && !titles_before_.count({w, prop}))
            if (auto title = upstream_->property(w, prop); title && title->format == 8)
                titles_before_[{w, prop}] = std::move(*title);
    shares_.push_back({tag, r.host, w, started.mirror, p.detail, p.owner, p.client});
    emit(ShareStatus::WindowShared, w, r.host, tag, p.detail, p.owner);
    if (started.converted) emit(ShareStatus::ColorsUnmatched, w, r.host, tag, 0, p.owner);
}

void ShareService::remove_share(size_t index, bool destroy) {
    Share s = shares_[index];
    shares_.erase(shares_.begin() + static_cast<std::ptrdiff_t>(index));
    replicator_->stop(s.host, s.window, destroy);
    if (s.follows) return;
    // Its menus and dialogs go with it. They came after it, so callers that walk the shares
    // backwards have passed them already.
    for (size_t i = shares_.size(); i-- > index;)
        if (shares_[i].host == s.host && shares_[i].follows == s.window) remove_share(i, destroy);
    if (forwarder_) forwarder_->release_held(s.host);
    if (std::none_of(shares_.begin(), shares_.end(), [&](const Share &o) { return o.window == s.window; }))
        std::erase_if(titles_before_, [&](const auto &t) { return t.first.first == s.window; });
    // Input rules of an application no longer shared anywhere go with it, under whichever of
    // its windows they were set.
    std::erase_if(settings_.local_only, [&](const auto &rule) {
        return std::none_of(shares_.begin(), shares_.end(),
                            [&](const Share &o) { return o.window == rule.first || o.client.owns(rule.first); });
    });
    emit(ShareStatus::WindowUnshared, s.window, s.host, s.tag, s.detail, s.owner);
}

void ShareService::unshare(uint32_t host, uint32_t window, uint32_t tag, std::optional<uint64_t> owner) {
    auto named = [&](const Share &s) {
        return s.host == host && (!owner || s.owner == *owner) &&
               (window == 0 || (s.window == window && (tag == 0 || s.tag == tag)));
    };
    // A client that unshares a window of an application share unshares the application: every
    // window under its tag, the menus and dialogs that joined it since included. Left behind, they
    // would show alone on the receiver the next time they open.
    std::set<uint32_t> applications;
    for (const Share &s : shares_)
        if (owner && named(s) && s.detail == wire::kDetailApplicationWindow) applications.insert(s.tag);
    for (size_t i = shares_.size(); i-- > 0;)
        if (named(shares_[i]) || (shares_[i].host == host && applications.count(shares_[i].tag))) remove_share(i, true);
    close_if_idle(host);
}

void ShareService::close_if_idle(uint32_t host) {
    auto it = receivers_.find(host);
    if (it == receivers_.end() || !it->second.connected || !it->second.waiting.empty()) return;
    bool busy = std::any_of(shares_.begin(), shares_.end(), [&](const Share &s) { return s.host == host; });
    if (!busy) drop_receiver(host, false);
}

void ShareService::drop_receiver(uint32_t host, bool lost, ShareStatus cause) {
    auto it = receivers_.find(host);
    if (it == receivers_.end()) return;
    if (it->second.conn) {
        watch_(xcb_get_file_descriptor(it->second.conn.get()), host, false);
        if (const int handed = replicator_->events_fd(host); handed >= 0) watch_(handed, host, false);
    }
    if (forwarder_) forwarder_->forget_receiver(host);
    if (lost) {
        emit(cause, 0, host);
        for (size_t i = shares_.size(); i-- > 0;)
            if (shares_[i].host == host) remove_share(i, false);
    }
    replicator_->remove_receiver(host);
    receivers_.erase(it);  // closes the connection, which takes any mirror left with it
    emit(ShareStatus::ConnectionClosed, 0, host);
    concerned_.erase(host);
}

void ShareService::connection_closed(uint64_t conn) {
    std::erase_if(after_grab_, [&](const auto &w) { return w.first == conn; });
    std::vector<uint32_t> hosts;
    std::map<TitleKey, PropertyValue> titles;
    for (size_t i = shares_.size(); i-- > 0;) {
        if (shares_[i].owner != conn) continue;
        for (const auto &t : titles_before_)
            if (t.first.first == shares_[i].window) titles.insert(t);
        hosts.push_back(shares_[i].host);
        remove_share(i, true);
    }
    // A client that shared and died (kill -9) could not take its marks off the titles. Upstream
    // is asked later, on the loop's time, since a grab may hold it now.
    for (auto &[key, before] : titles)
        if (!titles_before_.count(key)) titles_to_restore_.emplace_back(key, std::move(before));
    for (auto &[host, r] : receivers_) {
        auto before = r.waiting.size();
        std::erase_if(r.waiting, [&](const PendingShare &p) { return p.owner == conn; });
        if (r.waiting.size() != before) hosts.push_back(host);
    }
    for (uint32_t h : hosts) close_if_idle(h);
    for (auto &[host, conns] : concerned_) conns.erase(conn);
}

bool ShareService::receiver_readable(uint32_t host) {
    auto it = receivers_.find(host);
    if (it == receivers_.end() || !it->second.conn) return false;
    xcb_connection_t *c = it->second.conn.get();
    std::vector<ReplicationNote> notes;
    int taken = 0;
    while (taken < kReceiverEventsPerTurn) {
        XcbReply<xcb_generic_event_t> ev = replicator_->next_event(host);
        if (!ev) break;
        ++taken;
        if (forwarder_) forwarder_->receiver_event(host, ev.get());
        auto more = replicator_->receiver_event(host, ev.get());
        notes.insert(notes.end(), more.begin(), more.end());
    }
    if (xcb_connection_has_error(c)) {
        drop_receiver(host, true);
        return false;
    }
    const bool more = taken == kReceiverEventsPerTurn;
    it->second.full_turns = more ? it->second.full_turns + 1 : 0;
    if (it->second.full_turns >= kFloodTurns) {
        if (trace_) {
            std::fprintf(trace_, "receiver %s floods events: dropped\n", it->second.name.c_str());
            std::fflush(trace_);
        }
        drop_receiver(host, true);
        return false;
    }
    for (const auto &n : notes) handle_note(n);
    return more && receivers_.count(host);
}

int ShareService::replication_fd() const { return replicator_->fd(); }

void ShareService::replication_ready() {
    for (const auto &n : replicator_->dispatch()) handle_note(n);
}

void ShareService::handle_note(const ReplicationNote &n) {
    using Kind = ReplicationNote::Kind;
    switch (n.kind) {
    case Kind::ReceiverLost: drop_receiver(n.host, true, ShareStatus::IoError); break;
    case Kind::ReceiverTimedOut: drop_receiver(n.host, true, ShareStatus::ServerTimeout); break;
    case Kind::MirrorClosed: unshare(n.host, n.window, 0); break;
    case Kind::OutOfMemory:
        for (size_t i = shares_.size(); i-- > 0;) {
            if (shares_[i].host != n.host || shares_[i].window != n.window) continue;
            emit(ShareStatus::OutOfMemory, n.window, n.host, shares_[i].tag, shares_[i].detail, shares_[i].owner);
            remove_share(i, true);
        }
        close_if_idle(n.host);
        break;
    case Kind::TopLevelMapped: share_new_top_level(n.window); break;
    case Kind::MirrorResized: {
        // Resizing the window is input: only a receiver whose input it takes may do it. Other
        // receivers' mirrors keep the size they were given there, showing part of the window
        // (setting it back could start a tug of war with a window manager that keeps it so).
        auto s = std::find_if(shares_.begin(), shares_.end(),
                              [&](const Share &x) { return x.host == n.host && x.window == n.window; });
        auto target = s != shares_.end() ? input_target(n.host, s->mirror) : std::nullopt;
        if (target && target->allowed) replicator_->resize_window(n.window, n.width, n.height);
        break;
    }
    case Kind::Unmapped:
        // A menu or dialog that went with a window shared alone goes when it is unmapped.
        for (size_t i = shares_.size(); i-- > 0;)
            if (shares_[i].window == n.window && shares_[i].follows) remove_share(i, true);
        break;
    case Kind::DaisyChainRevoked: {
        std::vector<uint32_t> hosts;
        for (size_t i = shares_.size(); i-- > 0;) {
            if (shares_[i].window != n.window) continue;
            hosts.push_back(shares_[i].host);
            remove_share(i, true);
        }
        for (uint32_t h : hosts) close_if_idle(h);
        break;
    }
    }
}

void ShareService::share_new_top_level(uint32_t top) {
    // Each receiver that holds an application share of the window's client gets it, under the
    // tag of the first such share. Under a window manager the new top level is its frame, and
    // the client window inside it is what joins.
    if (!upstream_ || shares_.empty()) return;
    const uint32_t window = upstream_->client_window(top);
    auto joins = [&](const Share &s) { return s.detail == wire::kDetailApplicationWindow && s.client.owns(window); };
    // A window shared alone takes along its client's menus over it and dialogs for it.
    auto may_carry = [&](const Share &s) {
        return s.detail == wire::kDetailSingleWindow && !s.follows && s.window != window && s.client.owns(window);
    };
    if (std::none_of(shares_.begin(), shares_.end(), [&](const Share &s) { return joins(s) || may_carry(s); }))
        return;
    auto info = upstream_->window_info(window);
    forget_destroyed(false);   // an earlier window of this id is no longer shared anywhere
    if (!info || info->input_only || replicator_->onward_forbidden(window) || !upstream_->watch_destruction(window))
        return;
    std::map<uint32_t, Share> by_host;
    std::map<uint32_t, bool> carried;   // window shared alone -> the new window goes with it
    for (const Share &s : shares_) {
        if (may_carry(s) && !carried.count(s.window)) carried[s.window] = replicator_->goes_with(window, s.window);
        if (joins(s) || (may_carry(s) && carried[s.window])) by_host.emplace(s.host, s);
    }
    for (const auto &[host, s] : by_host) {
        auto r = receivers_.find(host);
        const uint32_t to = host;   // a structured binding cannot be captured by every compiler we build with
        bool there = std::any_of(shares_.begin(), shares_.end(),
                                 [&](const Share &o) { return o.host == to && o.window == window; });
        if (there || r == receivers_.end() || !r->second.connected) continue;
        const uint32_t follows = s.detail == wire::kDetailSingleWindow ? s.window : 0;
        share_one(r->second, window, s.tag, PendingShare{s.owner, {window}, s.detail, s.client, follows});
    }
}

void ShareService::upstream_readable(bool read_socket) {
    if (!upstream_) return;
    forget_destroyed(read_socket);
    for (const auto &[key, before] : std::exchange(titles_to_restore_, {})) {
        const auto [window, prop] = key;
        auto now = upstream_->property(window, prop);
        // Only to the window that was shared: its id may name another window by now.
        if (!now || now->format != 8 || !upstream_->watching(window)) continue;
        // Back in the type it had: a compound text or UTF-8 WM_NAME is no STRING.
        const std::string was(before.data.begin(), before.data.end());
        if (auto title = unmarked_title(std::string(now->data.begin(), now->data.end()), was)) {
            upstream_->set_title(window, prop, upstream_->intern(before.type_name), *title);
            if (trace_) {
                std::fprintf(trace_, "title of 0x%08x given back: %s\n", window, title->c_str());
                std::fflush(trace_);
            }
        }
    }
}

void ShareService::forget_destroyed(bool read_socket) {
    if (upstream_)
        for (uint32_t w : upstream_->drain_destroyed(read_socket)) window_gone(w);
}

void ShareService::window_gone(uint32_t window) {
    std::vector<uint32_t> hosts;
    for (size_t i = shares_.size(); i-- > 0;) {
        if (shares_[i].window != window) continue;
        hosts.push_back(shares_[i].host);
        remove_share(i, true);
    }
    std::erase_if(titles_to_restore_, [&](const auto &t) { return t.first.first == window; });
    settings_.local_only.erase(window);
    // Shares waiting for their receiver lose the window now, as they would when it is reached.
    for (auto &[host, r] : receivers_) {
        for (PendingShare &p : r.waiting)
            if (std::erase(p.windows, window)) emit(ShareStatus::WindowUnsharable, window, host, 0, 0, p.owner);
        std::erase_if(r.waiting, [](const PendingShare &p) { return p.windows.empty(); });
    }
    for (uint32_t h : hosts) close_if_idle(h);
}

void ShareService::shutdown() {
    for (size_t i = shares_.size(); i-- > 0;) remove_share(i, true);
    std::vector<uint32_t> hosts;
    for (auto &[h, r] : receivers_) hosts.push_back(h);
    for (uint32_t h : hosts) drop_receiver(h, false);
}

// Input from receivers: the forwarder asks the service which window a mirror stands for and
// whether that window takes the receiver's input; everything else lives in input_forwarder.

std::unique_ptr<InputForwarder> ShareService::make_input_forwarder() {
    if (options_.upstream_display.empty()) return nullptr;
    InputForwarder::Hooks hooks;
    hooks.target = [this](uint32_t host, uint32_t mirror) { return input_target(host, mirror); };
    hooks.is_shared = [this](uint32_t window) {
        return std::any_of(shares_.begin(), shares_.end(), [&](const Share &s) { return s.window == window; });
    };
    hooks.receiver_keys = [this](uint32_t host) { return replicator_->keyboard_map(host); };
    hooks.delays = [this] { return floor_delays(settings_.delay_first_ms, settings_.delay_second_ms); };
    hooks.receiver_name = [this](uint32_t host) {
        auto it = receivers_.find(host);
        return it != receivers_.end() ? it->second.name : std::to_string(host);
    };
    hooks.trace = [this](const std::string &line) {
        if (!trace_) return;
        std::fprintf(trace_, "%s\n", line.c_str());
        std::fflush(trace_);
    };
    std::string why;
    auto f = InputForwarder::connect(options_.upstream_display, std::move(hooks), why);
    if (!why.empty()) std::fprintf(stderr, "telvane-server: %s\n", why.c_str());
    return f;
}

std::optional<InputTarget> ShareService::input_target(uint32_t host, uint32_t mirror) const {
    auto s = std::find_if(shares_.begin(), shares_.end(),
                          [&](const Share &x) { return x.host == host && x.mirror == mirror; });
    if (s == shares_.end()) return std::nullopt;
    auto in = input_.find(host);
    InputTarget t{s->window, in != input_.end() && in->second.allowed, {}};
    for (const Share &o : shares_)
        if (o.host == host && o.follows == s->window)
            if (auto r = replicator_->placed(host, o.mirror)) t.popups.push_back({o.window, r->x, r->y, r->width, r->height});
    // An application set to take input from the local display only is named by any one of its
    // windows; its windows are those shared under the same tag.
    for (const Share &o : shares_) {
        auto local = settings_.local_only.find(o.window);
        if (o.host == host && o.tag == s->tag && local != settings_.local_only.end() && local->second)
            t.allowed = false;
    }
    return t;
}

int ShareService::input_fd() const { return forwarder_ ? forwarder_->fd() : -1; }

bool ShareService::input_readable() { return forwarder_ && forwarder_->sender_readable(); }

}  // namespace telvane::server
