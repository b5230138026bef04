// Replays receivers' input in shared windows on the sender with XTEST, under the floor rule.
#include "input_forwarder.h"

#include "x11_framing.h"

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <vector>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

namespace telvane::server {

namespace {

constexpr uint32_t kMirrorInput = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                  XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                  XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_LEAVE_WINDOW |
                                  XCB_EVENT_MASK_FOCUS_CHANGE;

// The sender's keyboard map; receivers' maps are read on their own threads (receiver_pipe.cpp).
KeyboardMap fetch_keyboard_map(xcb_connection_t *c) {
    KeyboardMap map;
    const xcb_setup_t *setup = xcb_get_setup(c);
    const uint8_t first = setup->min_keycode;
    const uint8_t count = static_cast<uint8_t>(setup->max_keycode - first + 1);
    XcbReply<xcb_get_keyboard_mapping_reply_t> r(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, first, count), nullptr));
    if (!r) return map;
    map.min_keycode = first;
    map.per_keycode = r->keysyms_per_keycode;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(r.get());
    map.keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(r.get()));
    return map;
}

uint32_t intern(xcb_connection_t *c, const char *name) {
    XcbReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return r ? r->atom : 0;
}

const char *kind_name(InputKind k) {
    switch (k) {
    case InputKind::KeyPress: return "KeyPress";
    case InputKind::KeyRelease: return "KeyRelease";
    case InputKind::ButtonPress: return "ButtonPress";
    case InputKind::ButtonRelease: return "ButtonRelease";
    case InputKind::Motion: return "Motion";
    }
    return "?";
}

// The kind of a receiver's key, button or motion event.
InputKind input_kind(uint8_t response_type) {
    switch (response_type & 0x7f) {
    case XCB_KEY_PRESS: return InputKind::KeyPress;
    case XCB_KEY_RELEASE: return InputKind::KeyRelease;
    case XCB_BUTTON_PRESS: return InputKind::ButtonPress;
    case XCB_BUTTON_RELEASE: return InputKind::ButtonRelease;
    default: return InputKind::Motion;
    }
}

// Subscribes `c` to the raw input of every master device on every screen: raw events reach a
// client whatever window has the pointer or the focus, and whoever grabbed the devices.
uint8_t listen_to_raw_input(xcb_connection_t *c, bool *multi_pointer) {
    const xcb_query_extension_reply_t *xi = xcb_get_extension_data(c, &xcb_input_id);
    if (!xi || !xi->present) return 0;
    XcbReply<xcb_input_xi_query_version_reply_t> v(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!v || v->major_version < 2) return 0;
    *multi_pointer = v->major_version > 2 || v->minor_version >= 2;
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
           XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE |
               XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE |
               XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem; xcb_screen_next(&it)) {
        XcbReply<xcb_generic_error_t> e(
            xcb_request_check(c, xcb_input_xi_select_events_checked(c, it.data->root, 1, &mask.head)));
        if (e) return 0;
    }
    return xi->major_opcode;
}

}  // namespace

std::unique_ptr<InputForwarder> InputForwarder::connect(const std::string &display, Hooks hooks, std::string &why) {
    XcbConnection act(xcb_connect(display.c_str(), nullptr));
    XcbConnection ask(xcb_connect(display.c_str(), nullptr));
    if (xcb_connection_has_error(act.get()) || xcb_connection_has_error(ask.get())) {
        why = "cannot connect to " + display;
        return nullptr;
    }
    const xcb_query_extension_reply_t *xtest = xcb_get_extension_data(act.get(), &xcb_test_id);
    if (!xtest || !xtest->present) {
        why = display + " has no XTEST";
        return nullptr;
    }
    auto f = std::make_unique<InputForwarder>(std::move(act), std::move(ask), std::move(hooks));
    f->display_ = display;
    f->xinput_opcode_ = listen_to_raw_input(f->act_.get(), &f->multi_pointer_);
    if (!f->xinput_opcode_) why = display + " has no XInput 2: the local user's input is not seen";
    f->accept_all_atom_ = intern(f->ask_.get(), "TL_ACCEPT_INPUT_FROM_ALL");
    return f;
}

InputForwarder::InputForwarder(XcbConnection act, XcbConnection ask, Hooks hooks)
    : act_(std::move(act)), ask_(std::move(ask)), hooks_(std::move(hooks)) {}

InputForwarder::~InputForwarder() {
    while (!devices_.empty()) drop_devices(devices_.begin()->first);
}

InputForwarder::Devices *InputForwarder::devices_for(uint32_t host) {
    auto it = devices_.find(host);
    if (it != devices_.end()) return &it->second;
    if (!multi_pointer_) {
        if (!said_core_) trace("input: the sender has no XInput 2.2; receivers' input drives the core pointer");
        said_core_ = true;
        return nullptr;
    }
    const std::string name =
        "telvane " + (hooks_.receiver_name ? hooks_.receiver_name(host) : std::to_string(host));
    xcb_connection_t *c = ask_.get();
    // AddMaster: a pointer "<name> pointer" and a keyboard "<name> keyboard", each with an XTEST
    // slave the server makes for it.
    std::vector<uint8_t> change(sizeof(xcb_input_add_master_t) + (name.size() + 3) / 4 * 4, 0);
    auto *add = reinterpret_cast<xcb_input_add_master_t *>(change.data());
    add->type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_ADD_MASTER;
    add->len = static_cast<uint16_t>(change.size() / 4);
    add->name_len = static_cast<uint16_t>(name.size());
    add->send_core = 1;
    add->enable = 1;
    std::memcpy(change.data() + sizeof *add, name.data(), name.size());
    XcbReply<xcb_generic_error_t> failed(xcb_request_check(
        c, xcb_input_xi_change_hierarchy_checked(c, 1, reinterpret_cast<xcb_input_hierarchy_change_t *>(change.data()))));
    Devices d;
    if (!failed) {
        XcbReply<xcb_input_xi_query_device_reply_t> all(
            xcb_input_xi_query_device_reply(c, xcb_input_xi_query_device(c, XCB_INPUT_DEVICE_ALL), nullptr));
        for (auto i = all ? xcb_input_xi_query_device_infos_iterator(all.get()) : xcb_input_xi_device_info_iterator_t{};
             all && i.rem; xcb_input_xi_device_info_next(&i)) {
            std::string n(xcb_input_xi_device_info_name(i.data), xcb_input_xi_device_info_name_length(i.data));
            if (i.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER && n == name + " pointer") d.pointer = i.data->deviceid;
            if (i.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_KEYBOARD && n == name + " keyboard")
                d.keyboard = i.data->deviceid;
        }
    }
    if (d.pointer && d.keyboard) {
        d.conn = XcbConnection(xcb_connect(display_.c_str(), nullptr));
        xcb_connection_t *dc = d.conn.get();
        XcbReply<xcb_input_xi_query_version_reply_t> v(
            xcb_input_xi_query_version_reply(dc, xcb_input_xi_query_version(dc, 2, 2), nullptr));
        XcbReply<xcb_generic_error_t> refused(
            v ? xcb_request_check(dc, xcb_input_xi_set_client_pointer_checked(dc, XCB_NONE, d.pointer)) : nullptr);
        if (v && !refused && !xcb_connection_has_error(dc)) {
            char line[160];
            std::snprintf(line, sizeof line, "input host=%u has its own pointer %u and keyboard %u", host, d.pointer,
                          d.keyboard);
            trace(line);
            return &devices_.emplace(host, std::move(d)).first->second;
        }
    }
    // Whatever was made goes again; this receiver drives the core devices.
    if (d.pointer) {
        xcb_input_remove_master_t remove{};
        remove.type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_REMOVE_MASTER;
        remove.len = sizeof remove / 4;
        remove.deviceid = d.pointer;
        remove.return_mode = XCB_INPUT_CHANGE_MODE_FLOAT;
        xcb_input_xi_change_hierarchy(c, 1, reinterpret_cast<xcb_input_hierarchy_change_t *>(&remove));
        xcb_flush(c);
    }
    if (!said_core_) trace("input: no devices of its own for a receiver; its input drives the core pointer");
    said_core_ = true;
    return nullptr;
}

void InputForwarder::drop_devices(uint32_t host) {
    auto it = devices_.find(host);
    if (it == devices_.end()) return;
    xcb_connection_t *c = ask_.get();
    xcb_input_remove_master_t remove{};
    remove.type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_REMOVE_MASTER;
    remove.len = sizeof remove / 4;
    remove.deviceid = it->second.pointer;
    remove.return_mode = XCB_INPUT_CHANGE_MODE_FLOAT;
    xcb_input_xi_change_hierarchy(c, 1, reinterpret_cast<xcb_input_hierarchy_change_t *>(&remove));
    XcbReply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    devices_.erase(it);
    char line[96];
    std::snprintf(line, sizeof line, "input host=%u gives its devices back", host);
    trace(line);
}

xcb_connection_t *InputForwarder::injecting_for(uint32_t host) {
    Devices *d = devices_for(host);
    return d ? d->conn.get() : nullptr;
}

int InputForwarder::fd() const { return xcb_get_file_descriptor(act_.get()); }

void InputForwarder::trace(const std::string &line) {
    if (hooks_.trace) hooks_.trace(line);
}

uint32_t InputForwarder::mirror_input_mask() { return kMirrorInput; }

void InputForwarder::receiver_event(uint32_t host, const xcb_generic_event_t *ev) {
    switch (ev->response_type & 0x7f) {
    case XCB_KEY_PRESS:
    case XCB_KEY_RELEASE:
    case XCB_BUTTON_PRESS:
    case XCB_BUTTON_RELEASE:
    case XCB_MOTION_NOTIFY:
        forward_input(host, ev);
        break;
    case XCB_LEAVE_NOTIFY: {
        auto *e = reinterpret_cast<const xcb_leave_notify_event_t *>(ev);
        if (e->detail != XCB_NOTIFY_DETAIL_INFERIOR) keyboard_left(host, e->event);
        break;
    }
    case XCB_FOCUS_OUT: {
        auto *e = reinterpret_cast<const xcb_focus_out_event_t *>(ev);
        if (e->detail != XCB_NOTIFY_DETAIL_INFERIOR) keyboard_left(host, e->event);
        break;
    }
    default:
        break;
    }
}

void InputForwarder::keyboard_left(uint32_t host, uint32_t mirror) {
    // The releases of the keys held down will no longer come to the mirror: let go of them now
    // rather than leave them down on the sender. Buttons stay; the receiver's implicit grab
    // brings their releases to the mirror.
    auto it = held_.find(host);
    if (it == held_.end() || it->second.keys.empty() || !hooks_.target(host, mirror)) return;
    inject_ = injecting_for(host);
    for (auto [rx, tx] : it->second.keys) inject(XCB_KEY_RELEASE, tx);
    it->second.keys.clear();
    end_injection();
}

void InputForwarder::forward_input(uint32_t host, const xcb_generic_event_t *ev) {
    // Key, button and motion events share one layout.
    auto *e = reinterpret_cast<const xcb_key_press_event_t *>(ev);
    auto target = hooks_.target(host, e->event);
    if (!target) return;
    const InputKind kind = input_kind(ev->response_type);
    Held &held = held_[host];
    const bool key_event = kind == InputKind::KeyPress || kind == InputKind::KeyRelease;
    const Landing landing = input_landing(target->window, e->event_x, e->event_y, e->root_x, e->root_y, target->popups);
    target->window = landing.window;
    int16_t ex = landing.x, ey = landing.y;
    // Where it would land comes before the floor: input that may not land takes no floor.
    auto place = kind == InputKind::KeyRelease ? std::nullopt : place_in(target->window, ex, ey);
    if (!place && !key_event) return;
    // A press over a window for everyone's pointing goes to that window, whoever may type.
    uint32_t direct = 0;
    if (kind == InputKind::ButtonPress)
        direct = held.buttons.empty() ? accepts_all_at(target->window, ex, ey) : held.direct;
    InputWhere where;
    where.kind = kind;
    where.synthetic = (ev->response_type & wire::kSentEventBit) != 0;
    where.inside = place && place->inside;
    where.buttons_held = !held.buttons.empty();
    // Windows for everyone's pointing are reached directly even where something covers them.
    if (!where.synthetic && where.inside && !where.buttons_held && !direct && !held.direct)
        where.covered = !reaches(target->window, *place);
    const InputPassage passage = input_passage(where);
    if (passage != InputPassage::Pass && passage != InputPassage::PassAtEdge) {
        if (kind != InputKind::Motion) trace_input(host, target->window, kind, e->detail, ex, ey, passage_name(passage));
        return;
    }
    if (passage == InputPassage::PassAtEdge && place) {
        ex = std::clamp<int16_t>(ex, 0, static_cast<int16_t>(place->width - 1));
        ey = std::clamp<int16_t>(ey, 0, static_cast<int16_t>(place->height - 1));
        place = place_in(target->window, ex, ey);
        if (!place) return;
    }

    const auto now = hooks_.now();
    const InputVerdict verdict = judge(host, kind, e->detail, *target, direct, ex, ey, held, now);
    std::optional<uint8_t> key;
    if (forwards(verdict) && kind == InputKind::KeyPress) {
        key = sender_keycode(host, e->detail);
        if (!key) {
            char line[128];
            std::snprintf(line, sizeof line, "input host=%u keycode=%u has no key on the sender", host, e->detail);
            trace(line);
            return;
        }
    }
    if (kind != InputKind::Motion) trace_input(host, target->window, kind, e->detail, ex, ey, verdict_name(verdict));
    if (!forwards(verdict)) return;
    if (verdict == InputVerdict::Forward) floor_ = floor_taken_by(Party{host}, now);
    // A telepointer's manager follows the core pointer while it is dragged, so that drag moves
    // the core pointer; everything else goes through the receiver's own devices.
    inject_ = !key_event && (direct || held.direct) ? nullptr : injecting_for(host);

    // A key typed while the receiver's pointer is off the mirror, or over a part of the window
    // that something covers on the sender, leaves the sender's pointer be.
    if (place && (!key_event || (place->inside && !where.covered)))
        inject(XCB_MOTION_NOTIFY, 0, place->root, place->x, place->y);
    if (kind == InputKind::ButtonPress && held.buttons.empty()) held.direct = direct;
    if (held.direct && !key_event)
        replay_direct(kind, e->detail, target->window, ex, ey, place.value_or(Place{}), held);
    else
        replay(host, kind, e->detail, key, target->window, held);
    end_injection();
}

InputVerdict InputForwarder::judge(uint32_t host, InputKind kind, uint8_t detail, const InputTarget &target,
                                   uint32_t direct, int16_t x, int16_t y, const Held &held, InputClock::time_point now) {
    ReceiverInputFacts facts;
    facts.kind = kind;
    facts.allowed = target.allowed;
    facts.completes_press = kind == InputKind::KeyRelease      ? held.keys.count(detail) > 0
                            : kind == InputKind::ButtonRelease ? held.buttons.count(detail) > 0
                            : kind == InputKind::Motion        ? !held.buttons.empty()
                                                               : false;
    const FloorDelays delays = hooks_.delays();
    InputVerdict verdict = judge_receiver_input(floor_, host, now, delays, facts);
    if ((verdict == InputVerdict::DropDisallowed || verdict == InputVerdict::DropFloor) &&
        is_pointer_input(kind)) {
        facts.accepts_all = kind == InputKind::ButtonPress ? direct != 0 : accepts_all_at(target.window, x, y) != 0;
        verdict = judge_receiver_input(floor_, host, now, delays, facts);
    }
    return verdict;
}

void InputForwarder::trace_input(uint32_t host, uint32_t window, InputKind kind, uint8_t detail, int16_t x,
                                 int16_t y, const char *outcome) {
    char line[200];
    std::snprintf(line, sizeof line, "input host=%u window=0x%08x %s detail=%u x=%d y=%d %s", host, window,
                  kind_name(kind), detail, x, y, outcome);
    trace(line);
}

void InputForwarder::replay_direct(InputKind kind, uint8_t detail, uint32_t window, int16_t x, int16_t y,
                                   const Place &at, Held &held) {
    // The pointer moves for real, so that the window's client finds it where the receiver
    // has it; the buttons go to that window alone.
    if (kind == InputKind::ButtonPress) {
        deliver(XCB_BUTTON_PRESS, detail, held.direct, window, x, y, at, held);
        held.buttons.insert(detail);
    } else if (kind == InputKind::ButtonRelease) {
        deliver(XCB_BUTTON_RELEASE, detail, held.direct, window, x, y, at, held);
        held.buttons.erase(detail);
        if (held.buttons.empty()) held.direct = 0;
    } else if (!held.buttons.empty()) {
        deliver(XCB_MOTION_NOTIFY, 0, held.direct, window, x, y, at, held);
    }
}

void InputForwarder::replay(uint32_t host, InputKind kind, uint8_t detail, std::optional<uint8_t> key,
                            uint32_t window, Held &held) {
    switch (kind) {
    case InputKind::KeyPress:
        focus_into(host, window);
        inject(XCB_KEY_PRESS, *key);
        held.keys[detail] = *key;
        break;
    case InputKind::KeyRelease:
        inject(XCB_KEY_RELEASE, held.keys[detail]);
        held.keys.erase(detail);
        break;
    case InputKind::ButtonPress:
        inject(XCB_BUTTON_PRESS, detail);
        held.buttons.insert(detail);
        break;
    case InputKind::ButtonRelease:
        inject(XCB_BUTTON_RELEASE, detail);
        held.buttons.erase(detail);
        break;
    case InputKind::Motion:
        break;
    }
}

std::optional<InputForwarder::Place> InputForwarder::place_in(uint32_t window, int16_t x, int16_t y) {
    xcb_connection_t *c = ask_.get();
    XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    if (!g) return std::nullopt;
    XcbReply<xcb_translate_coordinates_reply_t> t(
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, g->root, x, y), nullptr));
    if (!t) return std::nullopt;
    Place p;
    p.root = g->root;
    p.x = t->dst_x;
    p.y = t->dst_y;
    p.inside = x >= 0 && y >= 0 && x < g->width && y < g->height;
    p.width = g->width;
    p.height = g->height;
    return p;
}

bool InputForwarder::reaches(uint32_t window, const Place &place) {
    xcb_connection_t *c = ask_.get();
    // Down from the root through the windows that contain the point, as the server finds the
    // window an event goes to; the shared window must be on that road.
    uint32_t w = place.root;
    for (int depth = 0; depth < 64 && w != XCB_NONE; ++depth) {
        if (w == window) return true;
        XcbReply<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, place.root, w, place.x, place.y), nullptr));
        if (!t) return false;
        w = t->child;
    }
    return false;
}

uint32_t InputForwarder::accepts_all_at(uint32_t window, int16_t x, int16_t y) {
    xcb_connection_t *c = ask_.get();
    if (!accept_all_atom_) return 0;
    // From the shared window down to the deepest window under the point. The property is read
    // now, from the sender's server: a telepointer has it before it is mapped, and so before
    // any receiver can see it.
    uint32_t found = 0;
    for (uint32_t w = window; w != XCB_NONE;) {
        XcbReply<xcb_get_property_reply_t> p(xcb_get_property_reply(
            c, xcb_get_property(c, 0, w, accept_all_atom_, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
        if (p && p->type != XCB_NONE) found = w;
        XcbReply<xcb_translate_coordinates_reply_t> t(
            xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, w, x, y), nullptr));
        w = t ? t->child : XCB_NONE;
    }
    return found;
}

void InputForwarder::deliver(uint8_t type, uint8_t detail, uint32_t to, uint32_t window, int16_t x, int16_t y,
                             const Place &place, const Held &held) {
    xcb_connection_t *c = ask_.get();
    XcbReply<xcb_translate_coordinates_reply_t> t(
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, to, x, y), nullptr));
    xcb_button_press_event_t ev{};   // button and motion events share this layout
    ev.response_type = type;
    ev.detail = detail;
    ev.root = place.root;
    ev.event = to;
    ev.root_x = place.x;
    ev.root_y = place.y;
    ev.event_x = t ? t->dst_x : 0;
    ev.event_y = t ? t->dst_y : 0;
    ev.same_screen = 1;
    for (uint8_t b : held.buttons)
        if (b >= 1 && b <= 5) ev.state = static_cast<uint16_t>(ev.state | (XCB_BUTTON_MASK_1 << (b - 1)));
    // With no event mask the event goes to the client that made the window.
    xcb_send_event(act_.get(), 0, to, 0, reinterpret_cast<const char *>(&ev));
}

std::optional<uint8_t> InputForwarder::sender_keycode(uint32_t host, uint8_t keycode) {
    const std::shared_ptr<const KeyboardMap> theirs = hooks_.receiver_keys(host);
    if (!theirs) return std::nullopt;
    if (!sender_map_) sender_map_ = fetch_keyboard_map(ask_.get());
    return translate_keycode(*theirs, *sender_map_, keycode);
}

bool InputForwarder::within_shared(uint32_t window) {
    xcb_connection_t *c = ask_.get();
    for (int depth = 0; depth < 64 && window != XCB_NONE; ++depth) {
        if (hooks_.is_shared(window)) return true;
        XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (!t) return false;
        window = t->parent;
    }
    return false;
}

void InputForwarder::focus_into(uint32_t host, uint32_t window) {
    xcb_connection_t *c = ask_.get();
    auto dev = devices_.find(host);
    uint32_t focus = XCB_NONE;
    if (dev != devices_.end()) {
        XcbReply<xcb_input_xi_get_focus_reply_t> f(
            xcb_input_xi_get_focus_reply(c, xcb_input_xi_get_focus(c, dev->second.keyboard), nullptr));
        if (f) focus = f->focus;
    } else {
        XcbReply<xcb_get_input_focus_reply_t> f(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (f) focus = f->focus;
    }
    // The application may have put the focus on one of the window's own children; leave it there.
    if (focus > XCB_INPUT_FOCUS_POINTER_ROOT) {
        uint32_t w = focus;
        for (int depth = 0; depth < 64 && w != XCB_NONE; ++depth) {
            if (w == window) return;
            XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
            w = t ? t->parent : XCB_NONE;
        }
    }
    // Sent on the injecting connection so that it takes effect before the key that follows; a
    // receiver with a keyboard of its own moves only that keyboard's focus.
    if (dev != devices_.end())
        xcb_input_xi_set_focus(dev->second.conn.get(), window, XCB_CURRENT_TIME, dev->second.keyboard);
    else
        xcb_set_input_focus(act_.get(), XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
}

void InputForwarder::inject(uint8_t type, uint8_t detail, uint32_t root, int16_t x, int16_t y) {
    if (inject_) {
        xcb_test_fake_input(inject_, type, detail, XCB_CURRENT_TIME, root, x, y, 0);
        return;
    }
    xcb_void_cookie_t ck = xcb_test_fake_input(act_.get(), type, detail, XCB_CURRENT_TIME, root, x, y, 0);
    own_sequences_.insert(ck.sequence);
}

void InputForwarder::end_injection() {
    if (inject_) xcb_flush(inject_);
    inject_ = nullptr;
    // The local user's input that the sender handles after this carries the sequence number of
    // this request, not that of an injection, and so is not mistaken for the forwarder's own.
    xcb_no_operation(act_.get());
    xcb_flush(act_.get());
}

bool InputForwarder::own_injection(uint32_t sequence) {
    // Events come in the order of the requests they follow; injections before this one have
    // had all their events.
    own_sequences_.erase(own_sequences_.begin(), own_sequences_.lower_bound(sequence));
    return own_sequences_.count(sequence) > 0;
}

bool InputForwarder::sender_readable() {
    xcb_connection_t *c = act_.get();
    bool pointer = false, keys = false;
    while (xcb_generic_event_t *raw = xcb_poll_for_event(c)) {
        XcbReply<xcb_generic_event_t> ev(raw);
        const uint8_t type = ev->response_type & 0x7f;
        if (type == XCB_MAPPING_NOTIFY) {
            sender_map_.reset();
            continue;
        }
        if (type != XCB_GE_GENERIC) continue;
        auto *ge = reinterpret_cast<const xcb_ge_generic_event_t *>(ev.get());
        if (ge->extension != xinput_opcode_ || own_injection(ge->full_sequence)) continue;
        // Raw events name the master they went through: a receiver's own devices are not the
        // local user.
        const uint16_t master = reinterpret_cast<const xcb_input_raw_key_press_event_t *>(ge)->deviceid;
        if (std::any_of(devices_.begin(), devices_.end(),
                        [&](const auto &d) { return d.second.pointer == master || d.second.keyboard == master; }))
            continue;
        if (ge->event_type == XCB_INPUT_RAW_KEY_PRESS || ge->event_type == XCB_INPUT_RAW_KEY_RELEASE)
            keys = true;
        else
            pointer = true;
    }
    // Replies and events the queries left on the side are of no use to anyone.
    while (xcb_generic_event_t *ev = xcb_poll_for_queued_event(ask_.get())) std::free(ev);
    if (xcb_connection_has_error(c)) return false;
    if (!pointer && !keys) return true;
    if (!local_input_on_shared(pointer, keys)) return true;
    if (!floor_.holder || !floor_.holder->local()) trace("input local user takes the floor");
    floor_ = floor_taken_by(kLocalUser, hooks_.now());
    return true;
}

bool InputForwarder::local_input_on_shared(bool pointer, bool keys) {
    xcb_connection_t *c = ask_.get();
    if (keys) {
        XcbReply<xcb_get_input_focus_reply_t> f(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (f && f->focus == XCB_INPUT_FOCUS_POINTER_ROOT) pointer = true;
        else if (f && f->focus != XCB_NONE && within_shared(f->focus)) return true;
    }
    if (!pointer) return false;
    // Down the windows under the pointer, from the root of its screen.
    uint32_t w = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    XcbReply<xcb_query_pointer_reply_t> p(xcb_query_pointer_reply(c, xcb_query_pointer(c, w), nullptr));
    if (p && p->root != w) {   // the pointer is on another screen
        w = p->root;
        p.reset(xcb_query_pointer_reply(c, xcb_query_pointer(c, w), nullptr));
    }
    for (int depth = 0; depth < 64 && p && p->child != XCB_NONE; ++depth) {
        w = p->child;
        if (hooks_.is_shared(w)) return true;
        p.reset(xcb_query_pointer_reply(c, xcb_query_pointer(c, w), nullptr));
    }
    return false;
}

void InputForwarder::release_held(uint32_t host) {
    auto it = held_.find(host);
    if (it != held_.end() && !(it->second.keys.empty() && it->second.buttons.empty())) {
        inject_ = injecting_for(host);
        for (auto [rx, tx] : it->second.keys) inject(XCB_KEY_RELEASE, tx);
        for (uint8_t b : it->second.buttons) inject(XCB_BUTTON_RELEASE, b);
        it->second = Held{};
        end_injection();
    }
    // Its pointer and keyboard go with the permission; they come again with its next input.
    drop_devices(host);
}

void InputForwarder::forget_receiver(uint32_t host) {
    release_held(host);
    held_.erase(host);
    if (floor_.holder == Party{host}) floor_ = Floor{};
}

}  // namespace telvane::server
