// Captures shared windows from upstream on a connection of the server's own.
#include "window_capture.h"

#include "x11_formats.h"
#include "x11_framing.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <utility>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcbext.h>

namespace telvane::server {

namespace {

// Whether the checked request behind `cookie` went through.
bool succeeded(xcb_connection_t *c, xcb_void_cookie_t cookie, uint8_t *error_code = nullptr) {
    XcbReply<xcb_generic_error_t> e(xcb_request_check(c, cookie));
    if (e && error_code) *error_code = e->error_code;
    return !e;
}

}  // namespace

std::unique_ptr<ShmSegment> ShmSegment::create(xcb_connection_t *c, size_t bytes, bool &out_of_memory) {
    out_of_memory = false;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
        out_of_memory = errno == ENOMEM || errno == ENOSPC || errno == EINVAL;
        return nullptr;
    }
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        out_of_memory = true;
        return nullptr;
    }
    std::unique_ptr<ShmSegment> s(new ShmSegment);
    s->c_ = c;
    s->data_ = static_cast<uint8_t *>(addr);
    s->size_ = bytes;
    s->seg_ = xcb_generate_id(c);
    const bool attached = succeeded(c, xcb_shm_attach_checked(c, s->seg_, static_cast<uint32_t>(id), 0));
    // Both sides hold it now (or the server never will): it goes away with the last detach.
    shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
        s->seg_ = 0;
        return nullptr;
    }
    return s;
}

ShmSegment::~ShmSegment() {
    if (seg_ && !xcb_connection_has_error(c_)) xcb_shm_detach(c_, seg_);
    if (data_) shmdt(data_);
}

void CaptureLink::free_pixmap(xcb_connection_t *c, uint32_t id) { xcb_free_pixmap(c, id); }
void CaptureLink::free_damage(xcb_connection_t *c, uint32_t id) { xcb_damage_destroy(c, id); }

std::unique_ptr<CaptureLink> CaptureLink::connect(const std::string &display) {
    XcbConnection c(xcb_connect(display.c_str(), nullptr));
    if (!c || xcb_connection_has_error(c.get())) return nullptr;
    std::unique_ptr<CaptureLink> link(new CaptureLink(std::move(c)));
    xcb_connection_t *x = link->conn_.get();
    xcb_prefetch_extension_data(x, &xcb_composite_id);
    xcb_prefetch_extension_data(x, &xcb_damage_id);
    xcb_prefetch_extension_data(x, &xcb_shm_id);
    const auto *comp = xcb_get_extension_data(x, &xcb_composite_id);
    const auto *dmg = xcb_get_extension_data(x, &xcb_damage_id);
    const auto *shm = xcb_get_extension_data(x, &xcb_shm_id);
    if (comp && comp->present) {
        XcbReply<xcb_composite_query_version_reply_t> v(
            xcb_composite_query_version_reply(x, xcb_composite_query_version(x, 0, 4), nullptr));
        // Naming a window's storage came with 0.2.
        link->composite_ = v && (v->major_version > 0 || v->minor_version >= 2);
    }
    if (dmg && dmg->present) {
        XcbReply<xcb_damage_query_version_reply_t> v(
            xcb_damage_query_version_reply(x, xcb_damage_query_version(x, 1, 1), nullptr));
        if (v) link->damage_event_ = dmg->first_event;
    }
    if (shm && shm->present) {
        XcbReply<xcb_shm_query_version_reply_t> v(xcb_shm_query_version_reply(x, xcb_shm_query_version(x), nullptr));
        link->shm_ = v != nullptr;
    }
    // Property types by name, so that copying a title does not wait for an atom's name.
    link->type_names_ = {{XCB_ATOM_STRING, "STRING"}, {XCB_ATOM_ATOM, "ATOM"}, {XCB_ATOM_WINDOW, "WINDOW"},
                         {XCB_ATOM_CARDINAL, "CARDINAL"}, {XCB_ATOM_INTEGER, "INTEGER"}};
    for (const char *name : {"UTF8_STRING", "COMPOUND_TEXT"})
        if (uint32_t a = link->atom(name)) link->type_names_[a] = name;
    // New top levels of a shared application are found through their MapNotify on the root.
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(x)); it.rem; xcb_screen_next(&it)) {
        link->roots_.push_back(it.data->root);
        xcb_change_window_attributes(x, it.data->root, XCB_CW_EVENT_MASK, &mask);
    }
    xcb_flush(x);
    return link;
}

CaptureLink::~CaptureLink() {
    std::vector<uint32_t> windows;
    for (const auto &[w, s] : sources_) windows.push_back(w);
    for (uint32_t w : windows) unwatch(w);
    if (!broken()) xcb_flush(conn_.get());
}

std::vector<uint32_t> CaptureLink::palette_of(uint32_t colormap, uint8_t depth) {
    std::vector<uint32_t> palette;
    if (depth > 8 || colormap == XCB_NONE) return palette;
    xcb_connection_t *c = conn_.get();
    std::vector<uint32_t> pixels(size_t{1} << depth);
    for (uint32_t i = 0; i < pixels.size(); ++i) pixels[i] = i;
    XcbReply<xcb_query_colors_reply_t> r(xcb_query_colors_reply(
        c, xcb_query_colors(c, colormap, static_cast<uint32_t>(pixels.size()), pixels.data()), nullptr));
    if (!r) return palette;
    const xcb_rgb_t *rgb = xcb_query_colors_colors(r.get());
    for (int i = 0; i < xcb_query_colors_colors_length(r.get()); ++i)
        palette.push_back(static_cast<uint32_t>((rgb[i].red >> 8) << 16 | (rgb[i].green >> 8) << 8 | (rgb[i].blue >> 8)));
    return palette;
}

std::optional<CaptureLink::Watched> CaptureLink::watch(uint32_t window, bool &out_of_memory) {
    out_of_memory = false;
    if (broken()) return std::nullopt;
    xcb_connection_t *c = conn_.get();
    Source s;
    // Events first, so that whatever changes after the geometry is read is heard about.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    auto selected = xcb_change_window_attributes_checked(c, window, XCB_CW_EVENT_MASK, &mask);
    s.since = selected.sequence;
    std::optional<xcb_void_cookie_t> redirected;
    if (captures()) {
        redirected = xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        s.damage = Xid<free_damage>(c, xcb_generate_id(c));
        xcb_damage_create(c, s.damage.get(), window, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES);
    }
    auto ac = xcb_get_window_attributes(c, window);
    auto gc = xcb_get_geometry(c, window);
    const bool ok = succeeded(c, selected);
    // A compositing manager may hold the window redirected already (BadAccess); its storage
    // serves us as well. Only a copy that could not be allocated stops us.
    uint8_t code = 0;
    if (redirected && !succeeded(c, *redirected, &code)) out_of_memory = code == kBadAlloc;
    XcbReply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(c, ac, nullptr));
    XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, gc, nullptr));
    if (!ok || !a || !g) {
        s.damage.release();  // went with the window
        return std::nullopt;
    }
    if (out_of_memory) {
        unwatch(window);
        return std::nullopt;
    }
    auto format = format_of(xcb_get_setup(c), g->depth, a->visual);
    if (!format) {
        unwatch(window);
        return std::nullopt;
    }
    if (!decomposed(*format)) format->palette = palette_of(a->colormap, g->depth);
    s.format = *format;
    s.geometry = {g->x, g->y, g->width, g->height, g->border_width, a->map_state == XCB_MAP_STATE_VIEWABLE,
                  a->override_redirect != 0};
    // Which child of the root holds it (a window manager's frame may), for its mirrors' stacking.
    for (uint32_t w = window, steps = 0; w && steps < 64; ++steps) {
        XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
        if (!t || t->parent == XCB_NONE) break;
        if (t->parent == t->root) s.top = w;
        w = t->parent == t->root ? 0 : t->parent;
    }
    Watched out{s.geometry, s.format};
    sources_[window] = std::move(s);
    return out;
}

void CaptureLink::unwatch(uint32_t window) {
    auto it = sources_.find(window);
    xcb_connection_t *c = conn_.get();
    bool gone = false;
    if (it != sources_.end()) {
        discard(it->second);
        gone = it->second.gone;
        if (gone) it->second.damage.release();
        sources_.erase(it);  // frees the damage, the named storage and the segment
    }
    // A destroyed window's id may name another client's window by now: that one is left alone.
    if (broken() || gone) return;
    const uint32_t none = 0;
    xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &none);
    if (captures()) xcb_composite_unredirect_window(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_flush(c);
}

CaptureResult CaptureLink::begin_capture(uint32_t window, const std::vector<Rect> &rects,
                                         std::shared_ptr<Picture> picture) {
    auto it = sources_.find(window);
    if (it == sources_.end() || broken()) return CaptureResult::NotViewable;
    Source &s = it->second;
    if (s.gone || !s.geometry.viewable || !captures() || s.in_flight || rects.empty()) return CaptureResult::NotViewable;
    xcb_connection_t *c = conn_.get();
    const PixelFormat &f = s.format;
    const uint32_t width = s.geometry.width, height = s.geometry.height;

    size_t total = 0;
    for (const Rect &r : rects) total += row_bytes(f, static_cast<uint32_t>(r.width)) * static_cast<size_t>(r.height);
    if (shm_ && (!s.shm || s.shm->size() < total)) {
        bool oom = false;
        s.shm.reset();
        s.shm = ShmSegment::create(c, std::max(total, row_bytes(f, width) * height), oom);
        if (oom) return CaptureResult::OutOfMemory;
        if (!s.shm) shm_ = false;  // upstream runs elsewhere: plain GetImage from now on
    }
    {
        std::lock_guard<std::mutex> lock(picture->mutex);
        picture->format = f;
        if (picture->width != width || picture->height != height || picture->bytes.empty()) {
            try {
                picture->resize(width, height);
            } catch (const std::bad_alloc &) {
                return CaptureResult::OutOfMemory;
            }
        }
    }
    // Not checked: when the window went away meanwhile, the image requests fail and say so.
    if (!s.pixmap) {
        s.pixmap = Xid<free_pixmap>(c, xcb_generate_id(c));
        xcb_composite_name_window_pixmap(c, window, s.pixmap.get());
    }
    // Reset before reading: whatever is drawn from here on is reported again.
    if (s.damage) xcb_damage_subtract(c, s.damage.get(), XCB_NONE, XCB_NONE);
    InFlight flight;
    flight.rects = rects;
    flight.picture = std::move(picture);
    const int16_t bw = static_cast<int16_t>(s.geometry.border);
    size_t offset = 0;
    for (const Rect &r : rects) {
        const auto x = static_cast<int16_t>(r.x + bw), y = static_cast<int16_t>(r.y + bw);
        const auto w = static_cast<uint16_t>(r.width), h = static_cast<uint16_t>(r.height);
        if (s.shm) {
            flight.requests.push_back(xcb_shm_get_image(c, s.pixmap.get(), x, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                                    s.shm->id(), static_cast<uint32_t>(offset)).sequence);
            offset += row_bytes(f, w) * h;
        } else {
            flight.requests.push_back(xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, s.pixmap.get(), x, y, w, h, ~0u).sequence);
        }
    }
    xcb_flush(c);
    s.in_flight = std::move(flight);
    return CaptureResult::Started;
}

bool CaptureLink::capturing(uint32_t window) const {
    auto it = sources_.find(window);
    return it != sources_.end() && it->second.in_flight.has_value();
}

void CaptureLink::finish(Source &s, InFlight &f) {
    const PixelFormat &fmt = s.format;
    Picture &picture = *f.picture;
    std::lock_guard<std::mutex> lock(picture.mutex);
    // The picture kept its size since the capture began: only a capture resizes it.
    auto copy_in = [&](const Rect &r, const uint8_t *src) {
        const size_t src_stride = row_bytes(fmt, static_cast<uint32_t>(r.width));
        const size_t offset = static_cast<size_t>(r.x) * fmt.bits_per_pixel / 8;
        if (offset >= picture.stride) return;
        const size_t n = std::min(src_stride, picture.stride - offset);
        for (int32_t y = 0; y < r.height && static_cast<uint32_t>(r.y + y) < picture.height; ++y)
            std::memcpy(picture.bytes.data() + static_cast<size_t>(r.y + y) * picture.stride + offset,
                        src + static_cast<size_t>(y) * src_stride, n);
    };
    size_t offset = 0;
    for (size_t i = 0; i < f.rects.size(); ++i) {
        const Rect &r = f.rects[i];
        if (s.shm) {
            copy_in(r, s.shm->data() + offset);
            offset += row_bytes(fmt, static_cast<uint32_t>(r.width)) * static_cast<size_t>(r.height);
        } else {
            copy_in(r, xcb_get_image_data(static_cast<xcb_get_image_reply_t *>(f.replies[i].get())));
        }
    }
}

void CaptureLink::discard(Source &s) {
    if (!s.in_flight) return;
    for (size_t i = s.in_flight->replies.size(); i < s.in_flight->requests.size(); ++i)
        xcb_discard_reply(conn_.get(), s.in_flight->requests[i]);
    s.in_flight.reset();
}

std::vector<FinishedCapture> CaptureLink::collect_captures() {
    std::vector<FinishedCapture> done;
    xcb_connection_t *c = conn_.get();
    for (auto &[window, s] : sources_) {
        if (!s.in_flight) continue;
        InFlight &f = *s.in_flight;
        while (f.replies.size() < f.requests.size()) {
            void *reply = nullptr;
            xcb_generic_error_t *error = nullptr;
            if (!xcb_poll_for_reply(c, f.requests[f.replies.size()], &reply, &error)) break;
            f.failed = f.failed || !reply;
            std::free(error);
            f.replies.emplace_back(reply);
        }
        if (f.replies.size() < f.requests.size() && !broken()) continue;
        const bool ok = !f.failed && !broken();
        // Unmapped or resized meanwhile: its event is on the way and brings a fresh capture.
        if (ok) finish(s, f);
        else s.pixmap.reset();
        done.push_back({window, std::move(f.rects), ok ? CaptureResult::Done : CaptureResult::NotViewable});
        s.in_flight.reset();
    }
    return done;
}

CaptureLink::Source *CaptureLink::current(uint32_t window, const xcb_generic_event_t *ev) {
    auto it = sources_.find(window);
    if (it == sources_.end() || static_cast<int32_t>(ev->full_sequence - it->second.since) < 0) return nullptr;
    return &it->second;
}

std::optional<SourceEvent> CaptureLink::next_event(bool read_socket) {
    xcb_connection_t *c = conn_.get();
    for (;;) {
        XcbReply<xcb_generic_event_t> ev(read_socket ? xcb_poll_for_event(c) : xcb_poll_for_queued_event(c));
        if (!ev) return std::nullopt;
        // Only the X server's own events tell how a window is. A window manager sends its clients
        // a ConfigureNotify of its own on every move of their frame, with the place on the root
        // and the border the client asked for, not the one it has inside the frame: taken for
        // the window's, that border would shift every capture off its storage.
        if (ev->response_type & wire::kSentEventBit) continue;
        const uint8_t type = ev->response_type & 0x7f;
        SourceEvent out;
        if (damage_event_ && type == damage_event_ + XCB_DAMAGE_NOTIFY) {
            auto *d = reinterpret_cast<xcb_damage_notify_event_t *>(ev.get());
            if (!current(d->drawable, ev.get())) continue;
            out.kind = SourceEvent::Kind::Damaged;
            out.window = d->drawable;
            out.area = {d->area.x, d->area.y, d->area.width, d->area.height};
            return out;
        }
        switch (type) {
        case XCB_CONFIGURE_NOTIFY: {
            auto *e = reinterpret_cast<xcb_configure_notify_event_t *>(ev.get());
            if (std::find(roots_.begin(), roots_.end(), e->event) != roots_.end()) {
                out.kind = SourceEvent::Kind::Restacked;
                return out;
            }
            Source *s = current(e->window, ev.get());
            if (e->event != e->window || !s) continue;
            SourceGeometry &g = s->geometry;
            // New storage comes with a new size; the old name would show the old picture.
            if (g.width != e->width || g.height != e->height || g.border != e->border_width) s->pixmap.reset();
            g.x = e->x;
            g.y = e->y;
            g.width = e->width;
            g.height = e->height;
            g.border = e->border_width;
            g.override_redirect = e->override_redirect;
            out.kind = SourceEvent::Kind::Configured;
            out.window = e->window;
            out.geometry = g;
            return out;
        }
        case XCB_MAP_NOTIFY: {
            auto *e = reinterpret_cast<xcb_map_notify_event_t *>(ev.get());
            Source *s = current(e->window, ev.get());
            if (e->event == e->window && s) {
                s->geometry.viewable = true;
                s->pixmap.reset();
                out.kind = SourceEvent::Kind::Mapped;
            } else if (std::find(roots_.begin(), roots_.end(), e->event) != roots_.end()) {
                out.kind = SourceEvent::Kind::TopLevelMapped;
            } else {
                continue;
            }
            out.window = e->window;
            return out;
        }
        case XCB_UNMAP_NOTIFY: {
            auto *e = reinterpret_cast<xcb_unmap_notify_event_t *>(ev.get());
            Source *s = current(e->window, ev.get());
            if (e->event != e->window || !s) continue;
            s->geometry.viewable = false;
            s->pixmap.reset();
            out.kind = SourceEvent::Kind::Unmapped;
            out.window = e->window;
            return out;
        }
        case XCB_DESTROY_NOTIFY: {
            auto *e = reinterpret_cast<xcb_destroy_notify_event_t *>(ev.get());
            Source *s = current(e->window, ev.get());
            if (e->event != e->window || !s) continue;
            s->gone = true;
            s->damage.release();  // the server freed it with the window
            s->pixmap.reset();
            out.kind = SourceEvent::Kind::Destroyed;
            out.window = e->window;
            return out;
        }
        case XCB_CIRCULATE_NOTIFY:
            out.kind = SourceEvent::Kind::Restacked;
            return out;
        case XCB_REPARENT_NOTIFY: {
            // A window manager took a shared window into its frame, or gave it back.
            auto *e = reinterpret_cast<xcb_reparent_notify_event_t *>(ev.get());
            Source *s = current(e->window, ev.get());
            if (e->event != e->window || !s) continue;
            s->top = 0;
            if (std::find(roots_.begin(), roots_.end(), e->parent) != roots_.end()) {
                s->top = e->window;
                out.kind = SourceEvent::Kind::Restacked;
                return out;
            }
            ask_top(e->window, e->parent);
            continue;
        }
        case XCB_PROPERTY_NOTIFY: {
            auto *e = reinterpret_cast<xcb_property_notify_event_t *>(ev.get());
            if (!current(e->window, ev.get())) continue;
            out.kind = SourceEvent::Kind::PropertyChanged;
            out.window = e->window;
            out.atom = e->atom;
            out.deleted = e->state == XCB_PROPERTY_DELETE;
            return out;
        }
        default:
            continue;  // errors of requests that raced a window's end, and the rest
        }
    }
}

uint32_t CaptureLink::atom(const std::string &name) {
    if (broken()) return 0;
    xcb_connection_t *c = conn_.get();
    XcbReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    return r ? r->atom : 0;
}

std::optional<std::string> CaptureLink::atom_name(uint32_t atom) {
    if (broken() || atom == 0) return std::nullopt;
    xcb_connection_t *c = conn_.get();
    XcbReply<xcb_get_atom_name_reply_t> r(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
    if (!r) return std::nullopt;
    return std::string(xcb_get_atom_name_name(r.get()), xcb_get_atom_name_name_length(r.get()));
}

std::optional<PropertyValue> CaptureLink::property_value(const xcb_get_property_reply_t *r) {
    if (!r || r->type == XCB_NONE) return std::nullopt;
    PropertyValue v;
    v.format = r->format;
    auto *p = static_cast<const uint8_t *>(xcb_get_property_value(r));
    v.data.assign(p, p + xcb_get_property_value_length(r));
    auto known = type_names_.find(r->type);
    if (known != type_names_.end()) {
        v.type_name = known->second;
        return v;
    }
    // A type never seen before: asking for its name is a round trip, once.
    auto name = atom_name(r->type);
    if (!name) return std::nullopt;
    type_names_[r->type] = *name;
    v.type_name = *name;
    return v;
}

std::optional<PropertyValue> CaptureLink::property(uint32_t window, uint32_t prop) {
    if (broken()) return std::nullopt;
    xcb_connection_t *c = conn_.get();
    XcbReply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, 65536), nullptr));
    return property_value(r.get());
}

void CaptureLink::request_property(uint32_t window, uint32_t prop) {
    if (broken()) return;
    xcb_connection_t *c = conn_.get();
    pending_properties_.push_back(
        {window, prop, xcb_get_property(c, 0, window, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, 65536).sequence});
    xcb_flush(c);
}

std::vector<PropertyAnswer> CaptureLink::collect_properties() {
    std::vector<PropertyAnswer> out;
    xcb_connection_t *c = conn_.get();
    size_t taken = 0;
    for (; taken < pending_properties_.size(); ++taken) {
        const PendingProperty &p = pending_properties_[taken];
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (!broken() && !xcb_poll_for_reply(c, p.request, &reply, &error)) break;
        std::free(error);
        XcbReply<xcb_get_property_reply_t> r(static_cast<xcb_get_property_reply_t *>(reply));
        // An answer about an earlier window under the same id is no answer for this one.
        auto s = sources_.find(p.window);
        if (s == sources_.end() || static_cast<int32_t>(p.request - s->second.since) < 0) continue;
        out.push_back({p.window, p.atom, property_value(r.get())});
    }
    pending_properties_.erase(pending_properties_.begin(), pending_properties_.begin() + static_cast<std::ptrdiff_t>(taken));
    return out;
}

}  // namespace telvane::server

namespace telvane::server {

uint32_t CaptureLink::top_of(uint32_t window) const {
    auto it = sources_.find(window);
    return it == sources_.end() ? 0 : it->second.top;
}

void CaptureLink::ask_top(uint32_t window, uint32_t at) {
    if (broken()) return;
    pending_tops_.push_back({window, at, xcb_query_tree(conn_.get(), at).sequence});
    xcb_flush(conn_.get());
}

bool CaptureLink::collect_tops() {
    xcb_connection_t *c = conn_.get();
    bool found = false;
    while (!pending_tops_.empty()) {
        const PendingTop p = pending_tops_.front();
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (broken() || !xcb_poll_for_reply(c, p.request, &reply, &error)) break;
        pending_tops_.erase(pending_tops_.begin());
        std::free(error);
        XcbReply<xcb_query_tree_reply_t> t(static_cast<xcb_query_tree_reply_t *>(reply));
        auto s = sources_.find(p.window);
        // Gone meanwhile, or reparented again: a newer question is on its way.
        if (!t || s == sources_.end() || s->second.top != 0 ||
            std::any_of(pending_tops_.begin(), pending_tops_.end(), [&](const PendingTop &q) { return q.window == p.window; }))
            continue;
        if (t->parent == t->root) {
            s->second.top = p.at;
            found = true;
        } else if (t->parent != XCB_NONE) {
            ask_top(p.window, t->parent);
        }
    }
    return found;
}

bool CaptureLink::request_stacking() {
    if (broken() || !stacking_requests_.empty() || roots_.empty()) return false;
    stacking_.clear();
    for (uint32_t root : roots_) stacking_requests_.push_back(xcb_query_tree(conn_.get(), root).sequence);
    xcb_flush(conn_.get());
    return true;
}

std::optional<std::vector<uint32_t>> CaptureLink::collect_stacking() {
    // The screens' answers come in the order asked.
    while (!stacking_requests_.empty() && !broken()) {
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (!xcb_poll_for_reply(conn_.get(), stacking_requests_.front(), &reply, &error)) return std::nullopt;
        stacking_requests_.erase(stacking_requests_.begin());
        std::free(error);
        XcbReply<xcb_query_tree_reply_t> t(static_cast<xcb_query_tree_reply_t *>(reply));
        if (!t) continue;
        const xcb_window_t *children = xcb_query_tree_children(t.get());
        stacking_.insert(stacking_.end(), children, children + xcb_query_tree_children_length(t.get()));
        if (stacking_requests_.empty()) return std::exchange(stacking_, {});
    }
    return std::nullopt;
}

void CaptureLink::resize(uint32_t window, uint16_t width, uint16_t height) {
    if (broken()) return;
    const uint32_t size[] = {width, height};
    xcb_configure_window(conn_.get(), window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    xcb_flush(conn_.get());
}

std::optional<NewWindow> CaptureLink::describe(uint32_t window) {
    if (broken()) return std::nullopt;
    xcb_connection_t *c = conn_.get();
    auto ac = xcb_get_window_attributes(c, window);
    auto gc = xcb_get_geometry(c, window);
    auto pc = xcb_get_property(c, 0, window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 0, 1);
    XcbReply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(c, ac, nullptr));
    XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, gc, nullptr));
    XcbReply<xcb_get_property_reply_t> p(xcb_get_property_reply(c, pc, nullptr));
    if (!a || !g) return std::nullopt;
    XcbReply<xcb_translate_coordinates_reply_t> at(
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, g->root, 0, 0), nullptr));
    if (!at) return std::nullopt;
    NewWindow out;
    out.place = {at->dst_x, at->dst_y, g->width, g->height};
    out.override_redirect = a->override_redirect != 0;
    if (p && p->format == 32 && xcb_get_property_value_length(p.get()) >= 4)
        std::memcpy(&out.transient_for, xcb_get_property_value(p.get()), 4);
    return out;
}

}  // namespace telvane::server
