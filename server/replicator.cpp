// Ties captured windows to their mirrors: frames, geometry, properties and receivers' health.
#include "replicator.h"

#include "x11_formats.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace telvane::server {

namespace {

// Properties every mirror copies from its window as they change.
const char *const kCopiedProperties[] = {"WM_NAME", "WM_ICON_NAME", "WM_CLASS", "_NET_WM_NAME",
                                         "_NET_WM_ICON_NAME", "TL_DAISY_CHAIN_ALLOWED"};

template <typename Rep, typename Period>
std::chrono::milliseconds clamp_ms(std::chrono::duration<Rep, Period> d, int lo, int hi) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return std::chrono::milliseconds(std::clamp<long long>(ms, lo, hi));
}

void drain_counter(int fd) {
    uint64_t v;
    while (read(fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) {
    }
}

}  // namespace

Replicator::Replicator(Options options)
    : options_(std::move(options)), epoll_(epoll_create1(EPOLL_CLOEXEC)),
      timer_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      news_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    auto add = [&](int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev);
    };
    add(timer_.get());
    add(news_.get());
    capture_ = CaptureLink::connect(options_.upstream_display);
    if (!capture_) return;
    add(capture_->fd());
    for (const char *name : kCopiedProperties)
        if (uint32_t a = capture_->atom(name)) copied_[a] = name;
    server_name_atom_ = capture_->atom("TL_SERVER_NAME");
    daisy_atom_ = capture_->atom("TL_DAISY_CHAIN_ALLOWED");
}

Replicator::~Replicator() {
    // No thread may wake a pipe that is gone.
    for (auto &[w, s] : sources_)
        for (const auto &[host, g] : s.painted_with) g->leave(pipes_.at(host).get());
    pipes_.clear();  // threads stop before the share service closes their connections
}

Replicator::Fit Replicator::add_receiver(uint32_t host, xcb_connection_t *c, int screen, PictureAbility pictures,
                                         bool paced) {
    const xcb_setup_t *setup = xcb_get_setup(c);
    const xcb_screen_t *s = screen_of(setup, screen);
    auto format = format_of(setup, s->root_depth, s->root_visual);
    if (format && format->visual_class == VisualClass::DirectColor) return Fit::DirectColor;
    // A layout we cannot describe gets mirrors without pixels rather than wrong ones.
    PixelFormat f;
    if (format) f = *format;
    else f.bits_per_pixel = 0;
    ReceiverPipe::Options po;
    po.heartbeat = clamp_ms(options_.receiver_timeout / 4, 50, 5000);
    po.notify_fd = news_.get();
    po.pictures = pictures;
    po.paced = paced;
    try {
        pipes_[host] = std::make_unique<ReceiverPipe>(c, screen, std::move(f), po);
    } catch (const std::exception &) {  // no thread or no memory: this receiver fails, the server goes on
        pipes_.erase(host);
        return Fit::NoResources;
    }
    reported_.erase(host);
    arm_timer(options_.clock(), false);
    return Fit::Ready;
}

void Replicator::remove_receiver(uint32_t host) {
    if (auto pipe = pipes_.find(host); pipe != pipes_.end())
        for (auto &[w, s] : sources_)
            if (auto g = s.painted_with.find(host); g != s.painted_with.end()) g->second->leave(pipe->second.get());
    pipes_.erase(host);
    reported_.erase(host);
    stacked_.erase(host);
    for (auto it = sources_.begin(); it != sources_.end();) {
        it->second.mirrors.erase(host);
        it->second.groups.erase(host);
        it->second.painted_with.erase(host);
        it->second.shown_on.erase(host);
        if (it->second.mirrors.empty()) {
            if (capture_) capture_->unwatch(it->first);
            it = sources_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<PropertyValue> Replicator::transient_value(uint32_t host, uint32_t target) const {
    auto s = sources_.find(target);
    if (s == sources_.end()) return std::nullopt;
    auto m = s->second.mirrors.find(host);
    if (m == s->second.mirrors.end()) return std::nullopt;
    PropertyValue v{"WINDOW", 32, std::vector<uint8_t>(4)};
    std::memcpy(v.data.data(), &m->second, 4);
    return v;
}

Replicator::Started Replicator::start(uint32_t host, uint32_t window, uint32_t extra_events, uint32_t group,
                                      uint32_t anchor) {
    Started out;
    auto pipe_it = pipes_.find(host);
    if (!capture_ || pipe_it == pipes_.end()) return out;
    ReceiverPipe &pipe = *pipe_it->second;
    auto found = sources_.find(window);
    if (found == sources_.end()) {
        auto watched = capture_->watch(window, out.out_of_memory);
        if (!watched) return out;
        Source s;
        s.gate = FrameGate(options_.timing);
        s.geometry = watched->geometry;
        s.sizes_given = {{s.geometry.width, s.geometry.height}};
        s.picture->format = watched->format;
        if (auto t = capture_->property(window, transient_atom_); t && t->format == 32 && t->data.size() >= 4)
            std::memcpy(&s.transient_for, t->data.data(), 4);
        s.received_copy = capture_->property(window, server_name_atom_).has_value();
        if (s.geometry.viewable) {
            // The first picture comes while the mirror is being made; it is painted when it arrives.
            const Rect whole{0, 0, s.geometry.width, s.geometry.height};
            if (capture_->begin_capture(window, {whole}, s.picture) == CaptureResult::OutOfMemory) {
                capture_->unwatch(window);
                out.out_of_memory = true;
                return out;
            }
            s.gate.captured(options_.clock());
        }
        found = sources_.emplace(window, std::move(s)).first;
    }
    Source &s = found->second;
    const uint32_t mirror = pipe.new_mirror_id();
    if (!mirror) {
        if (s.mirrors.empty()) {
            capture_->unwatch(window);
            sources_.erase(found);
        }
        return out;
    }
    out.mirror = mirror;
    out.converted = !same_layout(s.picture->format, pipe.format());

    MirrorLook look;
    const auto here = capture_->describe(window);
    look.x = here ? static_cast<int16_t>(here->place.x) : s.geometry.x;
    look.y = here ? static_cast<int16_t>(here->place.y) : s.geometry.y;
    // The mirror it keeps its place beside: the named one, the one it is transient for, or any
    // other of its group there.
    auto mirrored = [&](uint32_t w) {
        auto o = sources_.find(w);
        return w && o != sources_.end() && o->second.mirrors.count(host) ? &o->second : nullptr;
    };
    uint32_t beside = mirrored(anchor) ? anchor : mirrored(s.transient_for) ? s.transient_for : 0;
    for (const auto &[w, other] : sources_) {
        auto g = other.groups.find(host);
        if (!beside && group && w != window && g != other.groups.end() && g->second == group) beside = w;
    }
    if (auto there = beside ? capture_->describe(beside) : std::nullopt) {
        look.anchor = sources_.at(beside).mirrors.at(host);
        look.anchor_x = static_cast<int16_t>(there->place.x);
        look.anchor_y = static_cast<int16_t>(there->place.y);
    }
    if (auto hints = capture_->property(window, XCB_ATOM_WM_NORMAL_HINTS); hints && hints->format == 32)
        look.size_hints = std::move(hints->data);
    look.width = s.geometry.width;
    look.height = s.geometry.height;
    look.override_redirect = s.geometry.override_redirect;
    look.mapped = s.geometry.viewable;
    look.server_name = options_.sender_name;
    look.extra_events = extra_events;
    for (const auto &[atom, name] : copied_)
        if (auto v = capture_->property(window, atom)) look.properties.emplace_back(name, std::move(*v));
    if (auto t = transient_value(host, s.transient_for)) look.properties.emplace_back("WM_TRANSIENT_FOR", std::move(*t));
    // Receivers whose screens keep pixels alike share one encoding of the window's frames.
    std::shared_ptr<MirrorGroup> painted_with;
    for (const auto &[other, g] : s.painted_with)
        if (g->takes(pipe.layout(), pipe.pictures())) painted_with = g;
    if (!painted_with) {
        GroupPictures pictures;
        pictures.ability = pipe.pictures();
        pictures.settings = options_.pictures;
        if (options_.trace) {
            char window_id[16];
            std::snprintf(window_id, sizeof window_id, "0x%08x", window);
            pictures.trace = [trace = options_.trace, prefix = "window " + std::string(window_id) + " "](
                                 const std::string &line) { trace(prefix + line); };
        }
        painted_with = std::make_shared<MirrorGroup>(pipe.layout(), s.picture, std::move(pictures));
    }
    s.painted_with[host] = painted_with;
    painted_with->join(&pipe, [&pipe, mirror] { pipe.serve(mirror); });
    pipe.create(mirror, std::move(look), std::move(painted_with));
    pipe.repaint(mirror);
    s.mirrors[host] = mirror;
    s.groups[host] = group;
    restack_wanted_ = true;

    // Dialogs of this window that reached the receiver first learn whom they belong to.
    for (auto &[w, other] : sources_) {
        auto m = other.mirrors.find(host);
        if (other.transient_for == window && m != other.mirrors.end())
            pipe.set_property(m->second, "WM_TRANSIENT_FOR", transient_value(host, window));
    }
    // Round trips may have left events queued where the socket no longer shows them.
    arm_timer(options_.clock(), true);
    return out;
}

void Replicator::stop(uint32_t host, uint32_t window, bool destroy_mirror) {
    auto it = sources_.find(window);
    if (it == sources_.end()) return;
    auto m = it->second.mirrors.find(host);
    if (m == it->second.mirrors.end()) return;
    auto pipe = pipes_.find(host);
    if (destroy_mirror && pipe != pipes_.end()) pipe->second->destroy(m->second);
    it->second.mirrors.erase(m);
    it->second.groups.erase(host);
    if (auto g = it->second.painted_with.find(host); g != it->second.painted_with.end()) {
        if (pipe != pipes_.end()) g->second->leave(pipe->second.get());
        it->second.painted_with.erase(g);
    }
    it->second.shown_on.erase(host);
    if (it->second.mirrors.empty()) {
        if (capture_) capture_->unwatch(window);
        sources_.erase(it);
    }
}

uint32_t Replicator::window_of(uint32_t host, uint32_t mirror) const {
    for (const auto &[w, s] : sources_) {
        auto m = s.mirrors.find(host);
        if (m != s.mirrors.end() && m->second == mirror) return w;
    }
    return 0;
}

bool Replicator::onward_forbidden(uint32_t window) {
    if (!capture_ || !server_name_atom_) return false;
    const bool forbidden = capture_->property(window, server_name_atom_) && !capture_->property(window, daisy_atom_);
    arm_timer(options_.clock(), true);  // the round trips may have read replies the loop waits for
    return forbidden;
}

bool Replicator::goes_with(uint32_t window, uint32_t owner) {
    if (!capture_) return false;
    auto popup = capture_->describe(window);
    auto place = capture_->describe(owner);
    arm_timer(options_.clock(), true);  // the round trips may have read replies the loop waits for
    return popup && place && telvane::server::goes_with(*popup, owner, place->place);
}

void Replicator::give_size(Source &s, std::optional<std::pair<int16_t, int16_t>> position) {
    s.sizes_given.emplace_back(s.geometry.width, s.geometry.height);
    if (s.sizes_given.size() > 4) s.sizes_given.erase(s.sizes_given.begin());
    for (const auto &[host, mirror] : s.mirrors)
        pipes_.at(host)->configure(mirror, position, s.geometry.width, s.geometry.height);
}

void Replicator::resize_window(uint32_t window, uint16_t width, uint16_t height) {
    if (capture_ && sources_.count(window)) capture_->resize(window, width, height);
}

std::optional<Rect> Replicator::placed(uint32_t host, uint32_t mirror) const {
    auto pipe = pipes_.find(host);
    return pipe == pipes_.end() ? std::nullopt : pipe->second->placed(mirror);
}

void Replicator::restack(const std::vector<uint32_t> &root_children) {
    // Menus and tooltips stay out: they lie above everything anyway, and a window manager's
    // frame raised on request could end above them.
    std::map<uint32_t, uint32_t> tops;
    for (const auto &[w, s] : sources_)
        if (uint32_t top = capture_->top_of(w); top && s.geometry.viewable && !s.geometry.override_redirect) tops[w] = top;
    const StackGroups order = stacking_order(root_children, tops);
    for (auto &[host, pipe] : pipes_) {
        StackGroups mirrors;
        for (const std::vector<uint32_t> &group : order) {
            std::vector<uint32_t> here;
            for (uint32_t w : group)
                if (auto m = sources_.at(w).mirrors.find(host); m != sources_.at(w).mirrors.end()) here.push_back(m->second);
            if (!here.empty()) mirrors.push_back(std::move(here));
        }
        // Only a change among the mirrors of different top levels: the receiver's user may have
        // raised one, and one top level's mirrors lie as that user put them.
        if (mirrors.size() < 2 || stacked_[host] == mirrors) continue;
        stacked_[host] = mirrors;
        pipe->restack(std::move(mirrors));
    }
}

std::shared_ptr<const KeyboardMap> Replicator::keyboard_map(uint32_t host) const {
    auto pipe = pipes_.find(host);
    return pipe == pipes_.end() ? nullptr : pipe->second->keyboard_map();
}

XcbReply<xcb_generic_event_t> Replicator::next_event(uint32_t host) {
    auto pipe = pipes_.find(host);
    return pipe == pipes_.end() ? nullptr : pipe->second->next_event();
}

int Replicator::events_fd(uint32_t host) const {
    auto pipe = pipes_.find(host);
    return pipe == pipes_.end() ? -1 : pipe->second->events_fd();
}

std::vector<ReplicationNote> Replicator::receiver_event(uint32_t host, const xcb_generic_event_t *ev) {
    std::vector<ReplicationNote> notes;
    auto pipe = pipes_.find(host);
    if (pipe == pipes_.end()) return notes;
    switch (ev->response_type & 0x7f) {
    case XCB_EXPOSE: {
        // Receivers keep no hidden pixels; the picture has them all.
        auto *e = reinterpret_cast<const xcb_expose_event_t *>(ev);
        if (window_of(host, e->window)) pipe->second->repaint_lost(e->window, {{e->x, e->y, e->width, e->height}});
        break;
    }
    case XCB_GRAPHICS_EXPOSURE: {
        // A scroll copied from a part of the mirror the receiver did not have: send it whole.
        auto *e = reinterpret_cast<const xcb_graphics_exposure_event_t *>(ev);
        if (window_of(host, e->drawable))
            pipe->second->repaint_lost(e->drawable, {{e->x, e->y, e->width, e->height}});
        break;
    }
    case XCB_MAP_NOTIFY: {
        auto *e = reinterpret_cast<const xcb_map_notify_event_t *>(ev);
        if (uint32_t w = e->event == e->window ? window_of(host, e->window) : 0) sources_.at(w).shown_on.insert(host);
        break;
    }
    case XCB_CONFIGURE_NOTIFY: {
        // A size that we did not give it: the receiver's user resized the mirror. Only the
        // receiver's X server says so; one sent by another of its clients is no resize.
        auto *e = reinterpret_cast<const xcb_configure_notify_event_t *>(ev);
        if (e->response_type & wire::kSentEventBit) break;
        const uint32_t w = e->event == e->window ? window_of(host, e->window) : 0;
        if (!w || e->override_redirect || !sources_.at(w).shown_on.count(host)) break;
        const Source &s = sources_.at(w);
        const std::pair<uint16_t, uint16_t> size{e->width, e->height};
        if (size != std::make_pair(s.geometry.width, s.geometry.height) &&
            std::find(s.sizes_given.begin(), s.sizes_given.end(), size) == s.sizes_given.end())
            notes.push_back({ReplicationNote::Kind::MirrorResized, host, w, e->width, e->height});
        break;
    }
    case XCB_MAPPING_NOTIFY: pipe->second->refresh_keyboard_map(); break;
    case XCB_CLIENT_MESSAGE: {
        auto *e = reinterpret_cast<const xcb_client_message_event_t *>(ev);
        const uint32_t protocols = pipe->second->protocols_atom();
        if (protocols && e->type == protocols && e->format == 32 && e->data.data32[0] == pipe->second->delete_atom())
            if (uint32_t w = window_of(host, e->window)) notes.push_back({ReplicationNote::Kind::MirrorClosed, host, w});
        break;
    }
    default: break;
    }
    return notes;
}

void Replicator::property_changed(uint32_t window, Source &s, uint32_t atom, bool deleted,
                                  std::vector<ReplicationNote> &notes) {
    if (atom == server_name_atom_) s.received_copy = !deleted;
    if (atom == daisy_atom_ && deleted && s.received_copy)
        notes.push_back({ReplicationNote::Kind::DaisyChainRevoked, 0, window});
    if (atom != transient_atom_ && atom != XCB_ATOM_WM_NORMAL_HINTS && !copied_.count(atom)) return;
    if (deleted) property_arrived({window, atom, std::nullopt});
    else capture_->request_property(window, atom);
}

void Replicator::property_arrived(const PropertyAnswer &a) {
    auto it = sources_.find(a.window);
    if (it == sources_.end()) return;
    Source &s = it->second;
    if (a.atom == transient_atom_) {
        s.transient_for = 0;
        if (a.value && a.value->format == 32 && a.value->data.size() >= 4)
            std::memcpy(&s.transient_for, a.value->data.data(), 4);
        for (const auto &[host, mirror] : s.mirrors)
            pipes_.at(host)->set_property(mirror, "WM_TRANSIENT_FOR", transient_value(host, s.transient_for));
        return;
    }
    if (a.atom == XCB_ATOM_WM_NORMAL_HINTS) {
        std::vector<uint8_t> hints;
        if (a.value && a.value->format == 32) hints = a.value->data;
        for (const auto &[host, mirror] : s.mirrors) pipes_.at(host)->set_size_hints(mirror, hints);
        return;
    }
    auto copied = copied_.find(a.atom);
    if (copied == copied_.end()) return;
    for (const auto &[host, mirror] : s.mirrors) pipes_.at(host)->set_property(mirror, copied->second, a.value);
}

void Replicator::handle(const SourceEvent &ev, std::vector<ReplicationNote> &notes) {
    if (ev.kind == SourceEvent::Kind::TopLevelMapped) {
        notes.push_back({ReplicationNote::Kind::TopLevelMapped, 0, ev.window});
        return;
    }
    if (ev.kind == SourceEvent::Kind::Restacked) {
        restack_wanted_ = true;
        return;
    }
    auto it = sources_.find(ev.window);
    if (it == sources_.end()) return;
    Source &s = it->second;
    const FrameTime now = options_.clock();
    switch (ev.kind) {
    case SourceEvent::Kind::Damaged:
        s.damage.push_back(ev.area);
        s.gate.damaged(now);
        break;
    case SourceEvent::Kind::Configured: {
        const bool resized = ev.geometry.width != s.geometry.width || ev.geometry.height != s.geometry.height;
        const bool moved = ev.geometry.x != s.geometry.x || ev.geometry.y != s.geometry.y;
        // Menus and other windows the window manager leaves alone go where their client puts them.
        const bool follow_moves = ev.geometry.override_redirect && moved;
        const bool was_viewable = s.geometry.viewable;
        s.geometry = ev.geometry;
        s.geometry.viewable = was_viewable;
        if (!resized && !follow_moves) break;
        std::optional<std::pair<int16_t, int16_t>> position;
        if (ev.geometry.override_redirect) position = std::make_pair(ev.geometry.x, ev.geometry.y);
        give_size(s, position);
        if (resized) {
            s.whole = true;
            s.gate.damaged(now);
        }
        break;
    }
    case SourceEvent::Kind::Mapped:
        s.geometry.viewable = true;
        s.whole = true;
        s.gate.damaged(now);
        // A menu opens over everything on the sender; its mirror, kept while it was closed, may
        // lie under mirrors raised since, so it comes up on top as it opens.
        for (const auto &[host, mirror] : s.mirrors) pipes_.at(host)->map(mirror, true, s.geometry.override_redirect);
        break;
    case SourceEvent::Kind::Unmapped:
    case SourceEvent::Kind::Destroyed:
        s.geometry.viewable = false;
        s.damage.clear();
        s.whole = false;
        if (s.gate.pending()) s.gate.captured(now);
        if (ev.kind == SourceEvent::Kind::Unmapped) {
            for (const auto &[host, mirror] : s.mirrors) pipes_.at(host)->map(mirror, false);
            notes.push_back({ReplicationNote::Kind::Unmapped, 0, ev.window});
        }
        // Dialogs stop belonging to it: a window that gets its id later is another window.
        if (ev.kind == SourceEvent::Kind::Destroyed)
            for (auto &[w, other] : sources_)
                if (other.transient_for == ev.window) other.transient_for = 0;
        break;
    case SourceEvent::Kind::PropertyChanged: property_changed(ev.window, s, ev.atom, ev.deleted, notes); break;
    case SourceEvent::Kind::TopLevelMapped:
    case SourceEvent::Kind::Restacked: break;
    }
}

void Replicator::capture_frame(uint32_t window, Source &s, std::vector<ReplicationNote> &notes) {
    const int32_t w = s.geometry.width, h = s.geometry.height;
    std::vector<Rect> rects = s.whole ? std::vector<Rect>{{0, 0, w, h}} : plan_capture(s.damage, w, h);
    s.damage.clear();
    s.whole = false;
    s.gate.captured(options_.clock());
    if (rects.empty() || !s.geometry.viewable) return;
    if (capture_->begin_capture(window, rects, s.picture) == CaptureResult::OutOfMemory)
        for (const auto &[host, mirror] : s.mirrors) notes.push_back({ReplicationNote::Kind::OutOfMemory, host, window});
}

void Replicator::check_receivers(FrameTime now, std::vector<ReplicationNote> &notes) {
    for (auto &[host, pipe] : pipes_) {
        for (uint32_t mirror : pipe->take_starved())
            if (uint32_t w = window_of(host, mirror)) notes.push_back({ReplicationNote::Kind::OutOfMemory, host, w});
        if (reported_[host]) continue;
        if (pipe->failed()) {
            reported_[host] = true;
            notes.push_back({ReplicationNote::Kind::ReceiverLost, host, 0});
        } else if (auto waited = pipe->waiting_for(now); waited && *waited > options_.receiver_timeout) {
            reported_[host] = true;
            notes.push_back({ReplicationNote::Kind::ReceiverTimedOut, host, 0});
        }
    }
}

void Replicator::arm_timer(FrameTime now, bool at_once) {
    std::optional<FrameTime> next;
    if (at_once) next = now;
    // A window whose capture is under way waits for its replies, which wake the loop themselves.
    // Frames wait for a link that can take them: a broken one would be retried at once, for ever.
    for (const auto &[w, s] : sources_)
        if (capture_ && !capture_->broken() && s.gate.pending() && !capture_->capturing(w) && (!next || s.gate.due() < *next))
            next = s.gate.due();
    if (!pipes_.empty() && (!next || next_health_ < *next)) next = next_health_;
    itimerspec look{};
    if (next) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*next - now).count();
        left = std::max<long long>(left, 1);
        look.it_value.tv_sec = static_cast<time_t>(left / 1000000000);
        look.it_value.tv_nsec = static_cast<long>(left % 1000000000);
    }
    timerfd_settime(timer_.get(), 0, &look, nullptr);
}

std::vector<ReplicationNote> Replicator::dispatch() {
    std::vector<ReplicationNote> notes;
    drain_counter(timer_.get());
    drain_counter(news_.get());
    if (capture_ && !capture_->broken()) {
        // Everything that has arrived first, so that a whole burst lands in one frame.
        while (auto ev = capture_->next_event(true)) handle(*ev, notes);
        // Properties first: a type never seen before costs a round trip, which may bring replies in.
        for (const PropertyAnswer &a : capture_->collect_properties()) property_arrived(a);
        if (capture_->collect_tops()) restack_wanted_ = true;
        if (auto children = capture_->collect_stacking()) restack(*children);
        if (restack_wanted_ && capture_->request_stacking()) restack_wanted_ = false;
        for (const FinishedCapture &f : capture_->collect_captures()) {
            auto it = sources_.find(f.window);
            if (f.result != CaptureResult::Done || it == sources_.end()) continue;
            // Each group takes the damage once, and one idle member encodes it and wakes the
            // others; when none is idle, all are asked, and the first that is free encodes.
            Source &s = it->second;
            std::map<MirrorGroup *, uint32_t> leaders;   // group -> the idle member's host, 0: none
            for (const auto &[host, g] : s.painted_with) {
                auto [at, fresh] = leaders.emplace(g.get(), 0);
                if (fresh) g->damage(f.rects);
                if (!at->second && pipes_.at(host)->idle()) at->second = host;
            }
            for (const auto &[host, g] : s.painted_with)
                if (const uint32_t leader = leaders[g.get()]; !leader || leader == host)
                    pipes_.at(host)->repaint(s.mirrors.at(host));
        }
        // A window whose previous frame is still being read waits for it: the damage meanwhile
        // joins its next frame.
        const FrameTime now = options_.clock();
        for (auto &[w, s] : sources_)
            if (s.gate.pending() && s.gate.due() <= now && !capture_->capturing(w)) capture_frame(w, s, notes);
    }
    // Whoever found the link broken (the reads above, or the flush or round trip of a share
    // being set up or taken down), its hung-up descriptor leaves the set: left in, it would wake
    // every wait at once for ever.
    if (capture_lost() && !capture_unwatched_) {
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, capture_->fd(), nullptr);
        capture_unwatched_ = true;
    }
    const FrameTime now = options_.clock();
    if (!pipes_.empty() && now >= next_health_) next_health_ = now + clamp_ms(options_.receiver_timeout / 4, 50, 1000);
    check_receivers(FrameClock::now(), notes);
    arm_timer(now, false);
    return notes;
}

}  // namespace telvane::server
