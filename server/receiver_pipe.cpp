// The per-receiver sender thread: mirror windows, their properties and their pixels.
#include "receiver_pipe.h"

#include "x11_formats.h"
#include "x11_setup.h"
#include "xcb_handles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcbext.h>

namespace telvane::server {

ReceiverPipe::ReceiverPipe(xcb_connection_t *c, int screen, PixelFormat format, Options options)
    : c_(c), options_(options), handed_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!handed_fd_) throw std::runtime_error("no event descriptor");
    const xcb_setup_t *setup = xcb_get_setup(c);
    layout_.format = std::move(format);
    layout_.bitmap_unit = setup->bitmap_format_scanline_unit;
    layout_.bitmap_pad = setup->bitmap_format_scanline_pad;
    layout_.bitmap_msb_first = setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_MSB_FIRST;
    const xcb_screen_t *s = screen_of(setup, screen);
    root_ = s->root;
    id_base_ = setup->resource_id_base;
    id_mask_ = setup->resource_id_mask;
    screen_w_ = s->width_in_pixels;
    screen_h_ = s->height_in_pixels;
    // The link enabled BIG-REQUESTS where it offers pictures, so xcb knows the answer already.
    max_request_bytes_ = size_t{options_.pictures.codecs ? xcb_get_maximum_request_length(c)
                                                         : setup->maximum_request_length} * 4;
    thread_ = std::thread([this] { run(); });
}

ReceiverPipe::~ReceiverPipe() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    // A thread stuck writing to a receiver that stopped reading would never see the flag; the
    // connection goes anyway (and with it every mirror), so cut it.
    ::shutdown(xcb_get_file_descriptor(c_), SHUT_RDWR);
    thread_.join();
}

uint32_t ReceiverPipe::new_mirror_id() {
    if (xcb_connection_has_error(c_)) return 0;
    return nth_resource_id(id_base_, id_mask_, ++ids_used_);
}

XcbReply<xcb_generic_event_t> ReceiverPipe::next_event() {
    XcbReply<xcb_generic_event_t> ev;
    {
        std::lock_guard<std::mutex> lock(taking_);
        uint64_t count;
        (void)!read(handed_fd_.get(), &count, sizeof count);
        if (handed_.empty()) {
            ev.reset(xcb_poll_for_event(c_));
        } else {
            ev = std::move(handed_.front());
            handed_.pop_front();
        }
    }
    answered();   // the read may have taken in the answer a frame waits for
    return ev;
}

void ReceiverPipe::hand_over_events() {
    std::lock_guard<std::mutex> lock(taking_);
    const size_t before = handed_.size();
    while (xcb_generic_event_t *ev = xcb_poll_for_queued_event(c_)) handed_.emplace_back(ev);
    const uint64_t one = 1;
    if (handed_.size() != before) (void)!write(handed_fd_.get(), &one, sizeof one);
}

void ReceiverPipe::answered() {
    if (fence_.load() == kNoFence) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++answers_;
    }
    wake_.notify_one();
}

void ReceiverPipe::send_fence(FrameTime now, Written written) {
    if (!options_.paced) return;
    // What a grace's frames painted, up to a bound: more parts than that are no one change.
    constexpr size_t kMaxGraceAreas = 256;
    const uint64_t older = fence_.exchange(xcb_get_input_focus(c_).sequence);
    if (older == kNoFence) grace_painted_.clear();
    const bool again = written.scrolled || grace_painted_.size() + written.areas.size() > kMaxGraceAreas ||
                       paints_again(grace_painted_, written.areas);
    fence_grace_ = next_fence_grace(fence_grace_, older != kNoFence, now, answer_taken_, again);
    if (fence_grace_ > now) grace_painted_.insert(grace_painted_.end(), written.areas.begin(), written.areas.end());
    if (older != kNoFence) {
        // Within the grace: the newer answer says the same, and xcb must not keep the older one.
        xcb_discard_reply(c_, static_cast<unsigned>(older));
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    fence_since_ = now;
}

bool ReceiverPipe::fence_waiting(FrameTime now) {
    const uint64_t fence = fence_.load();
    if (fence == kNoFence) return false;
    void *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    const bool came = xcb_poll_for_reply(c_, static_cast<unsigned>(fence), &reply, &error);
    // Looking may have read events too, which the socket no longer shows.
    hand_over_events();
    if (!came) return now >= fence_grace_;
    answer_taken_ = now;
    // As with the heartbeat: no reply at all is an answer under another request's number.
    if (!reply && !error) out_of_turn_ = true;
    std::free(reply);
    std::free(error);
    fence_ = kNoFence;
    std::lock_guard<std::mutex> lock(mutex_);
    fence_since_.reset();
    return false;
}

std::shared_ptr<const KeyboardMap> ReceiverPipe::keyboard_map() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_;
}

void ReceiverPipe::refresh_keyboard_map() { push({Op::Kind::KeyboardMap, 0}); }

xcb_get_keyboard_mapping_cookie_t ReceiverPipe::ask_keyboard_map() {
    const xcb_setup_t *setup = xcb_get_setup(c_);
    const uint8_t count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    return xcb_get_keyboard_mapping(c_, setup->min_keycode, count);
}

void ReceiverPipe::take_keyboard_map(xcb_get_keyboard_mapping_cookie_t asked) {
    XcbReply<xcb_get_keyboard_mapping_reply_t> r(xcb_get_keyboard_mapping_reply(c_, asked, nullptr));
    auto map = std::make_shared<KeyboardMap>();
    if (r) {
        map->min_keycode = xcb_get_setup(c_)->min_keycode;
        map->per_keycode = r->keysyms_per_keycode;
        const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(r.get());
        map->keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(r.get()));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    keys_ = std::move(map);
}

void ReceiverPipe::push(Op op) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ops_.push_back(std::move(op));
    }
    wake_.notify_one();
}

void ReceiverPipe::create(uint32_t mirror, MirrorLook look, std::shared_ptr<MirrorGroup> group) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        groups_[mirror] = std::move(group);
    }
    Op op{Op::Kind::Create, mirror};
    op.look = std::move(look);
    push(std::move(op));
}

void ReceiverPipe::destroy(uint32_t mirror) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        groups_.erase(mirror);
        dirty_.erase(mirror);
        lost_.erase(mirror);
    }
    push({Op::Kind::Destroy, mirror});
}

void ReceiverPipe::set_property(uint32_t mirror, const std::string &name, std::optional<PropertyValue> value) {
    Op op{Op::Kind::Property, mirror};
    op.name = name;
    op.value = std::move(value);
    push(std::move(op));
}

void ReceiverPipe::configure(uint32_t mirror, std::optional<std::pair<int16_t, int16_t>> position, uint16_t width,
                             uint16_t height) {
    Op op{Op::Kind::Configure, mirror};
    op.move = position.has_value();
    if (position) {
        op.look.x = position->first;
        op.look.y = position->second;
    }
    op.look.width = width;
    op.look.height = height;
    push(std::move(op));
}

void ReceiverPipe::map(uint32_t mirror, bool mapped, bool raise) {
    Op op{mapped ? Op::Kind::Map : Op::Kind::Unmap, mirror};
    op.raise = raise;
    push(std::move(op));
}

void ReceiverPipe::set_size_hints(uint32_t mirror, std::vector<uint8_t> hints) {
    Op op{Op::Kind::SizeHints, mirror};
    op.look.size_hints = std::move(hints);
    push(std::move(op));
}

void ReceiverPipe::restack(StackGroups mirrors) {
    Op op{Op::Kind::Restack, 0};
    op.order = std::move(mirrors);
    push(std::move(op));
}

void ReceiverPipe::repaint(uint32_t mirror) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!groups_.count(mirror)) return;
        dirty_.insert(mirror);
    }
    wake_.notify_one();
}

void ReceiverPipe::repaint_lost(uint32_t mirror, const std::vector<Rect> &rects) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!groups_.count(mirror)) return;
        constexpr Rect kEverything{0, 0, 0x7fff, 0x7fff};
        merge_damage(lost_[mirror], rects.empty() ? std::vector<Rect>{kEverything} : rects, kEverything.width,
                     kEverything.height);
    }
    wake_.notify_one();
}

void ReceiverPipe::serve(uint32_t mirror) {
    std::unique_lock<std::mutex> writing(writer_, std::try_to_lock);
    const bool fenced = writing && fence_waiting(FrameClock::now());
    std::shared_ptr<MirrorGroup> group;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!writing || stop_ || failed_ || !ops_.empty() || lost_.count(mirror) || fenced) {
            // Busy, or something must go before this paint: the thread comes for it.
            writing = {};
        } else if (auto g = groups_.find(mirror); g != groups_.end()) {
            group = g->second;
            served_since_ = FrameClock::now();
        } else {
            return;   // the mirror went
        }
    }
    if (!group) return repaint(mirror);
    auto at = shows_.find(mirror);
    MirrorGroup::CatchUp up;
    bool written = false;
    try {
        up = group->catch_up(at == shows_.end() ? kShowsNothing : at->second, {}, this, false);
        size_t bytes = up.alone.data.size() + 32 * up.alone.ops.size();
        for (const auto &frame : up.frames) bytes += frame->data.size() + 32 * frame->ops.size();
        if (takes_now(bytes)) {
            Written w;
            w.keep = options_.paced;
            for (const auto &frame : up.frames) {
                write_frame(mirror, *frame);
                w.add(mirror, *frame);
            }
            write_frame(mirror, up.alone);
            w.add(mirror, up.alone);
            shows_[mirror] = up.shows;
            if (!w.areas.empty()) send_fence(FrameClock::now(), std::move(w));
            xcb_flush(c_);
            written = true;
        }
    } catch (const std::bad_alloc &) {
    }
    writing.unlock();
    if (written) {
        hand_over_events();
        answered();   // the write may have read the answer too
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        served_since_.reset();
        if (written && xcb_connection_has_error(c_)) {
            failed_ = true;
            notify();
        }
    }
    if (!written) repaint(mirror);
}

bool ReceiverPipe::takes_now(size_t bytes) const {
    const int fd = xcb_get_file_descriptor(c_);
    int queued = 0, room = 0;
    socklen_t len = sizeof room;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0 || getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, &len) != 0) return false;
    // xcb's connection to a receiver is always a local socket pair to the relay thread of its
    // road. xcb waits for the socket to poll writable before each write, and a local socket does
    // only while at most a quarter of its buffer is in use (counted with the kernel's overhead).
    return (static_cast<size_t>(queued) + bytes + 65536) * 4 <= static_cast<size_t>(room);
}

bool ReceiverPipe::idle() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !busy_since_ && !served_since_ && ops_.empty() && dirty_.empty() && lost_.empty() && !failed_.load() &&
           fence_.load() == kNoFence;
}

std::optional<FrameClock::duration> ReceiverPipe::waiting_for(FrameTime now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<FrameTime> since;
    for (const auto &t : {busy_since_, served_since_, ping_since_, fence_since_})
        if (t && (!since || *t < *since)) since = t;
    if (!since) return std::nullopt;
    return now - *since;
}

std::optional<Rect> ReceiverPipe::placed(uint32_t mirror) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = placed_.find(mirror);
    if (it == placed_.end()) return std::nullopt;
    return it->second;
}

std::vector<uint32_t> ReceiverPipe::take_starved() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(starved_, {});
}

void ReceiverPipe::notify() {
    if (options_.notify_fd < 0) return;
    uint64_t one = 1;
    (void)!write(options_.notify_fd, &one, sizeof one);
}

uint32_t ReceiverPipe::atom(const std::string &name) {
    auto it = atoms_.find(name);
    if (it != atoms_.end()) return it->second;
    XcbReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    const uint32_t a = r ? r->atom : 0;
    if (a) atoms_[name] = a;
    return a;
}

void ReceiverPipe::put_property(uint32_t mirror, const std::string &name, const PropertyValue &v) {
    const uint32_t prop = atom(name), type = atom(v.type_name);
    if (!prop || !type || (v.format != 8 && v.format != 16 && v.format != 32)) return;
    const uint32_t units = static_cast<uint32_t>(v.data.size() / (v.format / 8));
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, mirror, prop, type, v.format, units, v.data.data());
}

void ReceiverPipe::put_size_hints(uint32_t mirror, const MirrorLook &look) {
    // The window's own limits, so that the mirror can be resized where the window can; and the
    // place we chose as the user's, which window managers keep instead of asking for one.
    constexpr uint32_t kUserPosition = 1, kProgramPosition = 4;
    uint32_t hints[18] = {};
    std::memcpy(hints, look.size_hints.data(), std::min(look.size_hints.size(), sizeof hints));
    // (Window managers take the place from the window itself; the old fields for it stay as the
    // window had them.)
    hints[0] |= kUserPosition | kProgramPosition;
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, mirror, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18,
                        hints);
}

void ReceiverPipe::apply(const Op &op) {
    switch (op.kind) {
    case Op::Kind::Create: {
        MirrorLook s = op.look;
        // Beside the mirror it belongs with, as its window is beside that one on the sender, and
        // fully on this screen.
        std::optional<Point> shift;
        if (s.anchor) {
            XcbReply<xcb_translate_coordinates_reply_t> at(
                xcb_translate_coordinates_reply(c_, xcb_translate_coordinates(c_, s.anchor, root_, 0, 0), nullptr));
            if (at) shift = Point{at->dst_x - s.anchor_x, at->dst_y - s.anchor_y};
        }
        const Point at = place_mirror({s.x, s.y, s.width, s.height}, shift, screen_w_, screen_h_,
                                      s.override_redirect ? Decoration{} : kManagedDecoration);
        shift_[op.mirror] = {at.x - s.x, at.y - s.y};
        if (s.override_redirect) {
            std::lock_guard<std::mutex> lock(mutex_);
            placed_[op.mirror] = {at.x, at.y, s.width, s.height};
        }
        s.x = static_cast<int16_t>(at.x);
        s.y = static_cast<int16_t>(at.y);
        // No background: exposed parts are painted from the picture, without a flash of white.
        const uint32_t values[] = {XCB_BACK_PIXMAP_NONE, XCB_GRAVITY_NORTH_WEST, s.override_redirect ? 1u : 0u,
                                   XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY | s.extra_events};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, op.mirror, root_, s.x, s.y, std::max<uint16_t>(s.width, 1),
                          std::max<uint16_t>(s.height, 1), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXMAP | XCB_CW_BIT_GRAVITY | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                          values);
        for (const auto &[name, value] : s.properties) put_property(op.mirror, name, value);
        if (const uint32_t server_name = atom("TL_SERVER_NAME"))
            xcb_change_property(c_, XCB_PROP_MODE_REPLACE, op.mirror, server_name, XCB_ATOM_STRING, 8,
                                static_cast<uint32_t>(s.server_name.size()), s.server_name.data());
        const uint32_t protocols = protocols_atom(), del = delete_atom();
        if (protocols && del)
            xcb_change_property(c_, XCB_PROP_MODE_REPLACE, op.mirror, protocols, XCB_ATOM_ATOM, 32, 1, &del);
        if (!s.override_redirect) put_size_hints(op.mirror, s);
        if (s.mapped) xcb_map_window(c_, op.mirror);
        if (s.mapped && s.override_redirect) on_top_.push_back(op.mirror);
        break;
    }
    case Op::Kind::Destroy:
        xcb_destroy_window(c_, op.mirror);
        std::erase(on_top_, op.mirror);
        shows_.erase(op.mirror);
        shift_.erase(op.mirror);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            placed_.erase(op.mirror);
        }
        break;
    case Op::Kind::Property:
        if (op.value) put_property(op.mirror, op.name, *op.value);
        else if (const uint32_t prop = atom(op.name)) xcb_delete_property(c_, op.mirror, prop);
        break;
    case Op::Kind::Configure: {
        // A menu that moves keeps the shift its mirror got, and stays on the screen.
        auto shift = shift_.find(op.mirror);
        const Point at = place_mirror({op.look.x, op.look.y, op.look.width, op.look.height},
                                      shift != shift_.end() ? std::optional<Point>(shift->second) : std::nullopt,
                                      screen_w_, screen_h_);
        const uint32_t values[] = {static_cast<uint32_t>(at.x), static_cast<uint32_t>(at.y),
                                   std::max<uint32_t>(op.look.width, 1), std::max<uint32_t>(op.look.height, 1)};
        if (op.move) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (placed_.count(op.mirror)) placed_[op.mirror] = {at.x, at.y, op.look.width, op.look.height};
        }
        if (op.move)
            xcb_configure_window(c_, op.mirror,
                                 XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                     XCB_CONFIG_WINDOW_HEIGHT,
                                 values);
        else
            xcb_configure_window(c_, op.mirror, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values + 2);
        break;
    }
    case Op::Kind::SizeHints: put_size_hints(op.mirror, op.look); break;
    case Op::Kind::Restack: {
        // Each raised in turn ends above the one before; a window manager gets it as a request.
        const uint32_t above = XCB_STACK_MODE_ABOVE;
        for (const std::vector<uint32_t> &group : op.order)
            for (uint32_t m : group.size() > 1 ? as_stacked(group) : group)
                xcb_configure_window(c_, m, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        // An open menu stays above the windows raised after it came up, as it is on the sender,
        // where it was mapped after the restacking that is only now carried out here.
        for (uint32_t m : on_top_) xcb_configure_window(c_, m, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        break;
    }
    case Op::Kind::KeyboardMap: take_keyboard_map(ask_keyboard_map()); break;
    case Op::Kind::Map: {
        const uint32_t above = XCB_STACK_MODE_ABOVE;
        if (op.raise) {
            xcb_configure_window(c_, op.mirror, XCB_CONFIG_WINDOW_STACK_MODE, &above);
            std::erase(on_top_, op.mirror);
            on_top_.push_back(op.mirror);
        }
        xcb_map_window(c_, op.mirror);
        break;
    }
    case Op::Kind::Unmap:
        xcb_unmap_window(c_, op.mirror);
        std::erase(on_top_, op.mirror);
        break;
    }
}

std::vector<uint32_t> ReceiverPipe::as_stacked(const std::vector<uint32_t> &mirrors) {
    // Each mirror's child of the root: a window manager's frame here, or the mirror itself.
    std::map<uint32_t, uint32_t> tops;
    for (uint32_t m : mirrors) {
        uint32_t at = m;
        for (int depth = 0; depth < 16; ++depth) {
            XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c_, xcb_query_tree(c_, at), nullptr));
            if (!t || t->parent == XCB_NONE) break;
            if (t->parent == t->root) {
                tops[m] = at;
                break;
            }
            at = t->parent;
        }
    }
    XcbReply<xcb_query_tree_reply_t> root(xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr));
    if (!root) return mirrors;
    const xcb_window_t *kids = xcb_query_tree_children(root.get());
    std::vector<uint32_t> out;
    for (const auto &group : stacking_order({kids, kids + xcb_query_tree_children_length(root.get())}, tops))
        out.insert(out.end(), group.begin(), group.end());
    return out;
}

void ReceiverPipe::Written::add(uint32_t mirror, const EncodedFrame &frame) {
    if (!keep) return;
    for (const DrawOp &op : frame.ops) {
        scrolled = scrolled || op.kind == DrawOp::Kind::Copy;
        areas.emplace_back(mirror, op.at);
    }
}

ReceiverPipe::Written ReceiverPipe::paint(const Paint &p) {
    auto at = shows_.find(p.mirror);
    const uint64_t shows = at == shows_.end() ? kShowsNothing : at->second;
    MirrorGroup::CatchUp up;
    try {
        up = p.group->catch_up(shows, p.lost, this);
    } catch (const std::bad_alloc &) {
        std::lock_guard<std::mutex> l(mutex_);
        starved_.push_back(p.mirror);
        notify();
        return {};
    }
    Written w;
    w.keep = options_.paced;
    for (const auto &frame : up.frames) {
        write_frame(p.mirror, *frame);
        w.add(p.mirror, *frame);
    }
    write_frame(p.mirror, up.alone);
    w.add(p.mirror, up.alone);
    shows_[p.mirror] = up.shows;
    return w;
}

void ReceiverPipe::write_frame(uint32_t mirror, const EncodedFrame &frame) {
    for (const DrawOp &op : frame.ops) {
        const Rect &r = op.at;
        switch (op.kind) {
        case DrawOp::Kind::Fill: {
            xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &op.foreground);
            const xcb_rectangle_t rect{static_cast<int16_t>(r.x), static_cast<int16_t>(r.y),
                                       static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height)};
            xcb_poly_fill_rectangle(c_, mirror, gc_, 1, &rect);
            break;
        }
        case DrawOp::Kind::Copy:
            xcb_copy_area(c_, mirror, mirror, copy_gc_, static_cast<int16_t>(op.from_x), static_cast<int16_t>(op.from_y),
                          static_cast<int16_t>(r.x), static_cast<int16_t>(r.y), static_cast<uint16_t>(r.width),
                          static_cast<uint16_t>(r.height));
            break;
        case DrawOp::Kind::Bitmap: {
            const uint32_t colours[] = {op.foreground, op.background};
            xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND, colours);
            put_rows(mirror, XCB_IMAGE_FORMAT_XY_BITMAP, 1, r, frame.data.data() + op.offset, op.stride);
            break;
        }
        case DrawOp::Kind::Raw:
            put_rows(mirror, XCB_IMAGE_FORMAT_Z_PIXMAP, layout_.format.depth, r, frame.data.data() + op.offset,
                     op.stride);
            break;
        case DrawOp::Kind::Picture: put_picture(mirror, op, frame.data.data() + op.offset); break;
        }
    }
}

void ReceiverPipe::put_picture(uint32_t mirror, const DrawOp &op, const uint8_t *bytes) {
    const size_t padded = (op.bytes + 3) / 4 * 4;
    // With a big length the request carries one more word.
    if (wire::kPictureHeadBytes + 4 + padded > max_request_bytes_) {
        const size_t stride = row_bytes(layout_.format, static_cast<uint32_t>(op.at.width));
        std::vector<uint8_t> rows(stride * static_cast<size_t>(op.at.height));
        if (fallback_.decode(op.codec, bytes, op.bytes, layout_.format, rows.data(), stride, op.at.width, op.at.height))
            put_rows(mirror, XCB_IMAGE_FORMAT_Z_PIXMAP, layout_.format.depth, op.at, rows.data(), stride);
        return;
    }
    std::array<uint8_t, wire::kPictureHeadBytes> head =
        picture_head(mirror, gc_, op.at, op.codec, static_cast<uint32_t>(op.bytes));
    static const uint8_t pad[3] = {};
    // xcb wants two spare entries before the request's own.
    iovec parts[5] = {};
    parts[2] = {head.data(), head.size()};
    parts[3] = {const_cast<uint8_t *>(bytes), op.bytes};
    parts[4] = {const_cast<uint8_t *>(pad), padded - op.bytes};
    const xcb_protocol_request_t request{3, nullptr, wire::kPictureMajor, 1};
    xcb_send_request(c_, 0, parts + 2, &request);
}

std::optional<FrameTime> ReceiverPipe::next_refresh() const {
    std::optional<FrameTime> first;
    for (const auto &[mirror, group] : groups_)
        if (const auto at = group->refresh_at(); at && (!first || *at < *first)) first = at;
    return first;
}

void ReceiverPipe::put_rows(uint32_t mirror, uint8_t format, uint8_t depth, const Rect &rect, const uint8_t *data,
                            size_t stride) {
    // Bands that fit a request without BIG-REQUESTS, which would cost a round trip to set up.
    const size_t max_bytes = std::min<size_t>(size_t{xcb_get_setup(c_)->maximum_request_length} * 4 - 24, 256u << 10);
    const int32_t band = std::max<int32_t>(1, static_cast<int32_t>(max_bytes / std::max<size_t>(stride, 1)));
    for (int32_t y = 0; y < rect.height; y += band) {
        const int32_t rows = std::min(band, rect.height - y);
        xcb_put_image(c_, format, mirror, gc_, static_cast<uint16_t>(rect.width), static_cast<uint16_t>(rows),
                      static_cast<int16_t>(rect.x), static_cast<int16_t>(rect.y + y), 0, depth,
                      static_cast<uint32_t>(stride * static_cast<size_t>(rows)), data + static_cast<size_t>(y) * stride);
    }
}

void ReceiverPipe::heartbeat(FrameTime now) {
    if (ping_) {
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (xcb_poll_for_reply(c_, *ping_, &reply, &error)) {
            // This request always has a reply: none at all means the receiver answered under
            // another request's number, and nothing it sends can be matched up any more.
            if (!reply && !error) out_of_turn_ = true;
            std::free(reply);
            std::free(error);
            ping_.reset();
            std::lock_guard<std::mutex> lock(mutex_);
            ping_since_.reset();
        }
    }
    if (!ping_ && now - last_ping_ >= options_.heartbeat) {
        ping_ = xcb_get_input_focus(c_).sequence;
        last_ping_ = now;
        std::lock_guard<std::mutex> lock(mutex_);
        ping_since_ = now;
    }
}

void ReceiverPipe::run() {
    {
        // Atoms and the graphics context first; a receiver that stops here is found by the
        // time the setup has been outstanding.
        std::lock_guard<std::mutex> lock(mutex_);
        busy_since_ = FrameClock::now();
    }
    const xcb_get_keyboard_mapping_cookie_t keys = ask_keyboard_map();
    protocols_atom_ = atom("WM_PROTOCOLS");
    delete_atom_ = atom("WM_DELETE_WINDOW");
    take_keyboard_map(keys);
    gc_ = nth_resource_id(id_base_, id_mask_, ++ids_used_);
    const uint32_t no_exposures = 0;
    xcb_create_gc(c_, gc_, root_, XCB_GC_GRAPHICS_EXPOSURES, &no_exposures);
    copy_gc_ = nth_resource_id(id_base_, id_mask_, ++ids_used_);
    const uint32_t exposures = 1;
    xcb_create_gc(c_, copy_gc_, root_, XCB_GC_GRAPHICS_EXPOSURES, &exposures);
    hand_over_events();

    std::unique_lock<std::mutex> lock(mutex_);
    busy_since_.reset();
    while (!stop_) {
        // Paints wait while the receiver has not answered for the last frame (send_fence); the
        // other work does not.
        const uint64_t seen = answers_;
        lock.unlock();
        bool fenced = false;
        if (fence_.load() != kNoFence) {   // unpaced links never wait here for a member serving them
            std::lock_guard<std::mutex> writing(writer_);
            fenced = fence_waiting(FrameClock::now());
        }
        lock.lock();
        if (ops_.empty() && (fenced || (dirty_.empty() && lost_.empty())) && answers_ == seen) {
            // Asleep until there is work, a sign of life is due, a group's exact refresh, or
            // (while a frame waits for its answer) somebody reads the socket.
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(options_.heartbeat);
            if (const auto refresh = next_refresh(); refresh && !fenced)
                wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*refresh - FrameClock::now()),
                                  std::chrono::milliseconds(0), wait);
            if (wait.count() > 0) wake_.wait_for(lock, wait);
        }
        if (stop_) break;
        // Still no answer: a receiver that never gives one is found by the fence's age.
        if (fenced && ops_.empty()) {
            if (!xcb_connection_has_error(c_)) continue;
            failed_ = true;
            notify();
            break;
        }
        std::vector<Op> ops = std::exchange(ops_, {});
        std::vector<Paint> paints;
        if (!fenced) {
            const FrameTime woke = FrameClock::now();
            for (const auto &[mirror, group] : groups_)
                if (const auto at = group->refresh_at(); at && *at <= woke) dirty_.insert(mirror);
            for (uint32_t mirror : dirty_) {
                auto group = groups_.find(mirror);
                if (group != groups_.end()) paints.push_back({mirror, group->second, {}});
            }
            for (auto &[mirror, rects] : lost_) {
                auto group = groups_.find(mirror);
                if (group == groups_.end()) continue;
                const uint32_t id = mirror;   // a structured binding cannot be captured by every compiler we build with
                auto same = std::find_if(paints.begin(), paints.end(), [&](const Paint &q) { return q.mirror == id; });
                if (same != paints.end()) same->lost = std::move(rects);
                else paints.push_back({mirror, group->second, std::move(rects)});
            }
            dirty_.clear();
            lost_.clear();
        }
        const FrameTime started = FrameClock::now();
        busy_since_ = started;
        lock.unlock();

        {
            std::lock_guard<std::mutex> writing(writer_);
            for (const Op &op : ops) apply(op);
            Written w;
            w.keep = options_.paced;
            for (const Paint &p : paints) {
                Written one = paint(p);
                w.scrolled = w.scrolled || one.scrolled;
                w.areas.insert(w.areas.end(), one.areas.begin(), one.areas.end());
            }
            if (!w.areas.empty()) send_fence(started, std::move(w));
            heartbeat(started);
            xcb_flush(c_);
        }
        hand_over_events();

        lock.lock();
        busy_since_.reset();
        if (xcb_connection_has_error(c_) || out_of_turn_) {
            failed_ = true;
            notify();
            break;
        }
    }
}

}  // namespace telvane::server
