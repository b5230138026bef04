#pragma once
// Who may give input to shared windows at a given moment. The floor passes between the local
// user and the receivers: whoever gave input last holds it, and every other party's input is
// dropped until a delay has passed since the holder's last input. Pure: the caller brings the
// time, so the rule is tested with a clock of its own.

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace telvane::server {

using InputClock = std::chrono::steady_clock;

// One party that gives input: a receiver by its host atom, or the local user at the sender's
// own keyboard and pointer. Host atoms are never 0, so 0 stands for the local user.
struct Party {
    uint32_t host = 0;
    bool local() const { return host == 0; }
    friend bool operator==(Party, Party) = default;
};
inline constexpr Party kLocalUser{};

// How long each kind of holder keeps the floor after its last input.
struct FloorDelays {
    std::chrono::milliseconds receiver_hold{0};
    std::chrono::milliseconds local_hold{0};
};

// The two delays of SetInputDelay as the share service stores them: the first (the client's
// "time between users' inputs") is how long a receiver keeps the floor, the second how long the
// local user keeps it.
FloorDelays floor_delays(uint32_t first_ms, uint32_t second_ms);

// Who holds the floor and when they last gave input; no holder before any input.
struct Floor {
    std::optional<Party> holder;
    InputClock::time_point last{};
};

// Whether input from `who` at `now` may go through as far as the floor is concerned: it is free,
// or `who` holds it, or the holder's delay has passed since its last input.
bool floor_admits(const Floor &floor, Party who, InputClock::time_point now, const FloorDelays &delays);

// The floor after input from `who` at `now` went through.
Floor floor_taken_by(Party who, InputClock::time_point now);

// The kinds of input a receiver gives on a mirror.
enum class InputKind : uint8_t { KeyPress, KeyRelease, ButtonPress, ButtonRelease, Motion };

// Whether `kind` comes from the pointer (buttons, scrolling and motion).
constexpr bool is_pointer_input(InputKind kind) { return kind >= InputKind::ButtonPress; }

// What is known about one input from a receiver besides the floor.
struct ReceiverInputFacts {
    InputKind kind = InputKind::KeyPress;
    // The receiver's input is allowed and the window's application takes input from receivers.
    bool allowed = false;
    // The pointer is over a window that takes pointer input from every receiver.
    bool accepts_all = false;
    // A release whose press went through, or motion while a button whose press went through is
    // still down: the sender must see it, or keys and buttons would stay down there.
    bool completes_press = false;
};

enum class InputVerdict : uint8_t {
    Forward,          // goes to the shared window; the receiver holds the floor from now
    ForwardAside,     // goes to the shared window without touching the floor
    DropDisallowed,   // the receiver's input is not allowed into this window
    DropFloor,        // another party holds the floor
    DropUnmatched,    // a release whose press never reached the sender
};

// The rule for one input from receiver `host` at `now`.
InputVerdict judge_receiver_input(const Floor &floor, uint32_t host, InputClock::time_point now,
                                  const FloorDelays &delays, const ReceiverInputFacts &facts);

// Where an input from a receiver may go on the sender, whatever the floor: never anywhere but
// into the shared window.
enum class InputPassage : uint8_t {
    Pass,            // into the shared window as it is
    PassAtEdge,      // the drag's motion or release, brought back to the window's edge
    DropSynthetic,   // sent by a client of the receiver, not given by its person
    DropOutside,     // a press or pointing outside the window's area
    DropCovered,     // another, unshared window lies over the window at that point
};

// What is known about where an input from a receiver lands.
struct InputWhere {
    InputKind kind = InputKind::Motion;
    bool synthetic = false;     // the event's send-event bit is set
    bool inside = false;        // its coordinates lie within the shared window's area
    bool covered = false;       // on the sender, a window other than the shared one or its own
                                // children is on top at that point
    bool buttons_held = false;  // a press of this receiver went through and is still down
};

// The passage of one input. Keys are judged by the focus, not the point: only synthetic keys
// are dropped here. A press needs an uncovered point inside the window; motion and releases
// while a press is held (the sender's own grab takes them to the window) are brought back to
// the edge when outside; other motion needs what a press needs.
InputPassage input_passage(const InputWhere &where);

// The passage's name in the server's trace.
const char *passage_name(InputPassage p);

// Whether the verdict lets the input reach the sender.
constexpr bool forwards(InputVerdict v) { return v == InputVerdict::Forward || v == InputVerdict::ForwardAside; }

// Short name of a verdict, for traces.
const char *verdict_name(InputVerdict v);

// A menu that goes with a shared window: the menu on the sender, and where its mirror lies on
// the receiver's screen.
struct PopupMirror {
    uint32_t window;
    int32_t x, y, width, height;
};

// The sender's window an input is for, and the point in it.
struct Landing {
    uint32_t window;
    int16_t x, y;
};

// Where an input from a receiver lands: on the first menu whose mirror holds the point on the
// receiver's root (`root_x`, `root_y`), at that point of the menu; else on `window` at the
// event's own point (`x`, `y`). Mirrors are placed apart by the receiver's window manager, so
// only the root point tells which one the pointer is over. Called by the input forwarder.
Landing input_landing(uint32_t window, int16_t x, int16_t y, int16_t root_x, int16_t root_y,
                      const std::vector<PopupMirror> &popups);

}  // namespace telvane::server
