#pragma once
// Input from receivers into shared windows. Mirrors on receivers report keys, buttons, scrolling
// and motion; each input is judged by where it lands and by the floor rule and, when it passes,
// is replayed on the sender with XTEST at the same place in the shared window. Where the sender
// has XInput 2.2, each receiver gets a pointer and keyboard of its own there (a master pair with
// its own cursor), so the local user's pointer and focus are never moved; elsewhere the core
// devices are driven. The local user's own input on the sender is watched too, because it takes
// the floor from the receivers.

#include "floor_control.h"
#include "key_mapping.h"
#include "xcb_handles.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace telvane::server {

// The shared window behind a mirror, as the share service knows it.
struct InputTarget {
    uint32_t window = 0;   // the window on the sender
    bool allowed = false;  // input from the receiver is allowed and the window's application takes it
    // The menus that go with the window, each with its mirror's place on the receiver's screen:
    // while a press on the window's mirror holds the receiver's pointer, what lies over one of
    // them goes to it.
    using Popup = PopupMirror;
    std::vector<Popup> popups;
};

class InputForwarder {
public:
    // What the forwarder asks of the share service. Every function must be set except `trace`.
    struct Hooks {
        // The shared window behind `mirror` on receiver `host`; nothing for any other window.
        std::function<std::optional<InputTarget>(uint32_t host, uint32_t mirror)> target;
        // Whether `window` on the sender is shared to any receiver.
        std::function<bool(uint32_t window)> is_shared;
        // The floor delays in force.
        std::function<FloorDelays()> delays;
        // Writes one line to the server's trace.
        std::function<void(const std::string &line)> trace;
        std::function<InputClock::time_point()> now = [] { return InputClock::now(); };
        // The receiver's display name, to name its devices on the sender; its atom when unset.
        std::function<std::string(uint32_t host)> receiver_name;
        // The receiver's keyboard map, read on its own sender thread; null while it has none,
        // and then its keys are dropped. The server's main loop never waits for a receiver.
        std::function<std::shared_ptr<const KeyboardMap>(uint32_t host)> receiver_keys;
    };

    // Opens the forwarder's connections to the sender `display`. Nothing, with `why` set, when
    // the display cannot be reached or lacks XTEST. Without XInput 2 the local user's input is not
    // seen and only the receivers compete for the floor.
    static std::unique_ptr<InputForwarder> connect(const std::string &display, Hooks hooks, std::string &why);

    // Descriptor that becomes readable when the local user's input arrives.
    int fd() const;
    // The input events a mirror asks its receiver for; the mirror is made with them, so they are
    // in force from its first moment on the receiver's screen.
    static uint32_t mirror_input_mask();
    // Handles one event that arrived on receiver `host`'s connection; events that are no input
    // to a mirror are left alone.
    void receiver_event(uint32_t host, const xcb_generic_event_t *ev);
    // Takes in the local user's input from the sender; called when fd() is readable. False once
    // the connection to the sender is broken: fd() is of no more use then.
    bool sender_readable();
    // Lets go on the sender of every key and button that receiver `host` holds down there; for a
    // receiver that is disallowed, loses a window or goes away.
    void release_held(uint32_t host);
    // Forgets receiver `host` entirely, letting go of what it holds; for a receiver that is gone.
    void forget_receiver(uint32_t host);

    InputForwarder(XcbConnection act, XcbConnection ask, Hooks hooks);
    // Removes every receiver's devices from the sender.
    ~InputForwarder();
    InputForwarder(const InputForwarder &) = delete;
    InputForwarder &operator=(const InputForwarder &) = delete;

private:
    // What one receiver holds down on the sender through the forwarder.
    struct Held {
        std::map<uint8_t, uint8_t> keys;   // receiver keycode -> the sender keycode pressed for it
        std::set<uint8_t> buttons;
        // The window that takes pointer input from everyone (a telepointer) where the buttons
        // held went down: their presses, the drag and the releases are delivered to it
        // directly, since on the sender's screen another window may lie over it.
        uint32_t direct = 0;
    };
    // Where a point of a shared window is on the sender's screen.
    struct Place {
        uint32_t root = 0;
        int16_t x = 0, y = 0;
        bool inside = false;   // within the window's own area
        uint16_t width = 0, height = 0;   // of the window
    };

    // One receiver's own devices on the sender.
    struct Devices {
        XcbConnection conn;   // its client pointer is `pointer`, so its XTEST input goes through them
        uint16_t pointer = 0, keyboard = 0;
    };
    // The receiver's devices, made on first use; null where the sender cannot have them, and
    // then the core devices are driven.
    Devices *devices_for(uint32_t host);
    void drop_devices(uint32_t host);
    // The connection that the injections for `host` go through.
    xcb_connection_t *injecting_for(uint32_t host);

    void keyboard_left(uint32_t host, uint32_t mirror);
    void forward_input(uint32_t host, const xcb_generic_event_t *ev);
    std::optional<Place> place_in(uint32_t window, int16_t x, int16_t y);
    // Whether an event at `place` would reach `window` or one of its children: no other window
    // lies over it there on the sender's screen.
    bool reaches(uint32_t window, const Place &place);
    // The deepest window under (x, y) of `window`, from `window` down, that takes pointer
    // input from every receiver; 0 when none does.
    uint32_t accepts_all_at(uint32_t window, int16_t x, int16_t y);
    // Delivers a button or motion event at (x, y) of shared `window` to `to`, as the server
    // would have, with the buttons of `held` in its state.
    void deliver(uint8_t type, uint8_t detail, uint32_t to, uint32_t window, int16_t x, int16_t y,
                 const Place &place, const Held &held);
    // The floor's verdict on a receiver's input that may land: by what it completes and, for
    // pointer input the floor would drop, by whether a window for everyone's pointing takes it.
    InputVerdict judge(uint32_t host, InputKind kind, uint8_t detail, const InputTarget &target, uint32_t direct,
                       int16_t x, int16_t y, const Held &held, InputClock::time_point now);
    // The held-down window's share of a receiver's input: its presses, drag and releases,
    // delivered to `held.direct` at (x, y) of shared `window`.
    void replay_direct(InputKind kind, uint8_t detail, uint32_t window, int16_t x, int16_t y, const Place &at,
                       Held &held);
    // A receiver's input that passed, replayed on the sender through its devices; `key` is the
    // sender's keycode of a key press.
    void replay(uint32_t host, InputKind kind, uint8_t detail, std::optional<uint8_t> key, uint32_t window,
                Held &held);
    // One input's line in the trace, with what became of it.
    void trace_input(uint32_t host, uint32_t window, InputKind kind, uint8_t detail, int16_t x, int16_t y,
                     const char *outcome);
    std::optional<uint8_t> sender_keycode(uint32_t host, uint8_t keycode);
    void focus_into(uint32_t host, uint32_t window);
    bool within_shared(uint32_t window);
    bool local_input_on_shared(bool pointer, bool keys);
    void inject(uint8_t type, uint8_t detail, uint32_t root = 0, int16_t x = 0, int16_t y = 0);
    void end_injection();
    bool own_injection(uint32_t sequence);
    void trace(const std::string &line);

    // `act_` injects input and hears the sender's raw input, so that the sequence number of an
    // event tells the forwarder's own injections from the local user's input; `ask_` makes the
    // queries, so that waiting for their replies never queues events out of sight of fd().
    XcbConnection act_;
    XcbConnection ask_;
    Hooks hooks_;
    uint8_t xinput_opcode_ = 0;
    bool multi_pointer_ = false;     // the sender has XInput 2.2
    bool said_core_ = false;         // the trace has said that the core devices are driven
    std::string display_;
    std::map<uint32_t, Devices> devices_;
    xcb_connection_t *inject_ = nullptr;   // where the injection under way goes; null: act_
    uint32_t accept_all_atom_ = 0;
    Floor floor_;
    std::optional<KeyboardMap> sender_map_;
    std::map<uint32_t, Held> held_;
    std::set<uint32_t> own_sequences_;
};

}  // namespace telvane::server
