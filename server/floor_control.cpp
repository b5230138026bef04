// The floor rule between the local user and the receivers, without clocks or X.
#include "floor_control.h"

namespace telvane::server {

FloorDelays floor_delays(uint32_t first_ms, uint32_t second_ms) {
    return {std::chrono::milliseconds(first_ms), std::chrono::milliseconds(second_ms)};
}

bool floor_admits(const Floor &floor, Party who, InputClock::time_point now, const FloorDelays &delays) {
    if (!floor.holder || *floor.holder == who) return true;
    const auto hold = floor.holder->local() ? delays.local_hold : delays.receiver_hold;
    return now - floor.last >= hold;
}

Floor floor_taken_by(Party who, InputClock::time_point now) { return Floor{who, now}; }

InputVerdict judge_receiver_input(const Floor &floor, uint32_t host, InputClock::time_point now,
                                  const FloorDelays &delays, const ReceiverInputFacts &facts) {
    const bool admitted = facts.allowed && floor_admits(floor, Party{host}, now, delays);
    const bool release = facts.kind == InputKind::KeyRelease || facts.kind == InputKind::ButtonRelease;
    if (release || (facts.kind == InputKind::Motion && facts.completes_press)) {
        if (!facts.completes_press) return InputVerdict::DropUnmatched;
        // What was pressed is let go whoever holds the floor now; only a party that could have
        // given the input anyway keeps the floor by it.
        return admitted ? InputVerdict::Forward : InputVerdict::ForwardAside;
    }
    if (admitted) return InputVerdict::Forward;
    // Windows such as telepointers are there for everyone to point with, whatever the floor.
    if (is_pointer_input(facts.kind) && facts.accepts_all) return InputVerdict::ForwardAside;
    return facts.allowed ? InputVerdict::DropFloor : InputVerdict::DropDisallowed;
}

InputPassage input_passage(const InputWhere &w) {
    if (w.synthetic) return InputPassage::DropSynthetic;
    switch (w.kind) {
    case InputKind::KeyPress:
    case InputKind::KeyRelease:
        return InputPassage::Pass;
    case InputKind::ButtonRelease:
        return w.inside ? InputPassage::Pass : InputPassage::PassAtEdge;
    case InputKind::Motion:
        if (w.buttons_held) return w.inside ? InputPassage::Pass : InputPassage::PassAtEdge;
        [[fallthrough]];
    case InputKind::ButtonPress:
        // A second button during a drag that left the window is a new press out there.
        if (!w.inside) return InputPassage::DropOutside;
        if (w.covered && !w.buttons_held) return InputPassage::DropCovered;
        return InputPassage::Pass;
    }
    return InputPassage::DropOutside;
}

const char *passage_name(InputPassage p) {
    switch (p) {
    case InputPassage::Pass: return "pass";
    case InputPassage::PassAtEdge: return "pass-at-edge";
    case InputPassage::DropSynthetic: return "drop-synthetic";
    case InputPassage::DropOutside: return "drop-outside";
    case InputPassage::DropCovered: return "drop-covered";
    }
    return "unknown";
}

Landing input_landing(uint32_t window, int16_t x, int16_t y, int16_t root_x, int16_t root_y,
                      const std::vector<PopupMirror> &popups) {
    for (const PopupMirror &p : popups)
        if (root_x >= p.x && root_y >= p.y && root_x < p.x + p.width && root_y < p.y + p.height)
            return {p.window, static_cast<int16_t>(root_x - p.x), static_cast<int16_t>(root_y - p.y)};
    return {window, x, y};
}

const char *verdict_name(InputVerdict v) {
    switch (v) {
    case InputVerdict::Forward: return "forward";
    case InputVerdict::ForwardAside: return "forward-aside";
    case InputVerdict::DropDisallowed: return "drop-disallowed";
    case InputVerdict::DropFloor: return "drop-floor";
    case InputVerdict::DropUnmatched: return "drop-unmatched";
    }
    return "unknown";
}

}  // namespace telvane::server
