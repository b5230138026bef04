// The floor between the local user and the receivers, with a clock of the test's own, and key
// translation between two keymaps.
#include "floor_control.h"
#include "key_mapping.h"

#include <gtest/gtest.h>

using namespace telvane::server;
using namespace std::chrono_literals;

const InputClock::time_point t0{};
const FloorDelays delays = floor_delays(/*first: receivers*/ 1000, /*second: local user*/ 3000);
constexpr uint32_t kOne = 0x101, kTwo = 0x202;

// Permission, then what was pressed, then the floor, kept for each kind of holder's own delay;
// pointer input on a window for everyone, and releases of what went through, pass beside it.
TEST(Floor, ReceiverInputIsJudgedByPermissionPressesThenFloor) {
    using K = InputKind;
    using V = InputVerdict;
    // The floor's holder, the receiver, when; its input's kind, allowed, accepts_all, completes_press.
    const std::tuple<Party, uint32_t, std::chrono::milliseconds, ReceiverInputFacts, V> rows[] = {
        {Party{kOne}, kTwo, 999ms, {K::KeyPress, true}, V::DropFloor},
        {Party{kOne}, kTwo, 1000ms, {K::KeyPress, true}, V::Forward},
        {kLocalUser, kOne, 2999ms, {K::KeyPress, true}, V::DropFloor},
        {kLocalUser, kOne, 3000ms, {K::KeyPress, true}, V::Forward},
        {Party{kOne}, kTwo, 2s, {K::Motion, false}, V::DropDisallowed},
        {Party{kOne}, kOne, 500ms, {K::ButtonPress, true}, V::Forward},
        {kLocalUser, kOne, 0ms, {K::ButtonPress, false, true}, V::ForwardAside},
        {kLocalUser, kOne, 0ms, {K::KeyPress, false, true}, V::DropDisallowed},
        {Party{kTwo}, kOne, 0ms, {K::KeyRelease, true}, V::DropUnmatched},
        {Party{kTwo}, kOne, 0ms, {K::KeyRelease, true, false, true}, V::ForwardAside},
        {Party{kTwo}, kOne, 0ms, {K::Motion, false, false, true}, V::ForwardAside},
        {Party{kTwo}, kTwo, 0ms, {K::KeyRelease, true, false, true}, V::Forward},
    };
    for (const auto &row : rows) {
        const auto &[holder, from, at, facts, want] = row;
        EXPECT_EQ(judge_receiver_input(floor_taken_by(holder, t0), from, t0 + at, delays, facts), want)
            << "row " << &row - rows;
    }
    EXPECT_TRUE(floor_admits(Floor{}, Party{kTwo}, t0, delays));
    EXPECT_TRUE(floor_admits(floor_taken_by(Party{kOne}, t0), Party{kTwo}, t0, floor_delays(0, 0)));
}

TEST(Passage, InputLandsOnlyInTheSharedWindow) {
    using K = InputKind;
    using P = InputPassage;
    const std::pair<InputWhere, P> cases[] = {   // kind, synthetic, inside, covered, buttons held
        {{K::ButtonPress, false, true, false, false}, P::Pass},
        {{K::ButtonPress, true, true, false, false}, P::DropSynthetic},
        {{K::KeyPress, true, true, false, false}, P::DropSynthetic},
        {{K::ButtonPress, false, false, false, false}, P::DropOutside},
        {{K::ButtonPress, false, true, true, false}, P::DropCovered},
        {{K::ButtonPress, false, false, false, true}, P::DropOutside},   // a second button out there
        {{K::ButtonPress, false, true, true, true}, P::Pass},            // the sender's grab takes it
        {{K::Motion, false, false, false, true}, P::PassAtEdge},
        {{K::Motion, false, true, true, true}, P::Pass},
        {{K::Motion, false, true, true, false}, P::DropCovered},
        {{K::Motion, false, false, false, false}, P::DropOutside},
        {{K::ButtonRelease, false, false, false, true}, P::PassAtEdge},
        {{K::ButtonRelease, false, true, true, true}, P::Pass},
        {{K::KeyPress, false, false, true, false}, P::Pass},             // keys go by the focus
        {{K::KeyRelease, false, false, false, false}, P::Pass},
    };
    for (const auto &[w, want] : cases)
        EXPECT_EQ(input_passage(w), want) << int(w.kind) << w.synthetic << w.inside << w.covered << w.buttons_held;
}

// A menu's mirror takes what lies over it on the receiver's root, wherever the receiver's window
// manager put it apart from the window's mirror; the first of two overlapping ones wins.
TEST(Passage, InputOverAMenusMirrorLandsOnTheMenu) {
    const std::vector<PopupMirror> popups = {{0xa, 100, 50, 20, 10}, {0xb, 105, 55, 20, 10}};
    const std::tuple<int16_t, int16_t, uint32_t, int16_t, int16_t> rows[] = {   // root x, y; landing
        {100, 50, 0xa, 0, 0},   {119, 59, 0xa, 19, 9}, {110, 57, 0xa, 10, 7}, {120, 59, 0xb, 15, 4},
        {124, 64, 0xb, 19, 9}, {125, 64, 0x7, 3, 4},  {99, 50, 0x7, 3, 4},    {104, 65, 0x7, 3, 4},
    };
    for (const auto &[rx, ry, window, x, y] : rows) {
        const Landing l = input_landing(0x7, 3, 4, rx, ry, popups);
        EXPECT_EQ(std::tuple(l.window, l.x, l.y), std::tuple(window, x, y)) << rx << "," << ry;
    }
}

TEST(KeyMapping, KeysAreMatchedByWhatTheyType) {
    // Two keysyms per key from keycode 8: the receiver has "a A" at 10, "q Q" at 12 and "!"
    // shifted only at 13; the sender has "q Q" at 9, "1 !" at 11 and "Q" alone at 14.
    KeyboardMap receiver{8, 2, {0, 0, 0, 0, 'a', 'A', 0, 0, 'q', 'Q', 0, '!'}};
    KeyboardMap sender{8, 2, {0, 0, 'q', 'Q', 0, 0, '1', '!', 0, 0, 0, 0, 'Q', 0}};
    EXPECT_EQ(translate_keycode(receiver, sender, 12), 9);
    EXPECT_EQ(translate_keycode(receiver, sender, 13), 11);   // found in a later column
    EXPECT_EQ(keycode_for(sender, 'Q'), 14);                   // unshifted is preferred
    // No "a" on the sender, an empty key, beyond the map, below it.
    for (uint8_t code : {10, 8, 200, 3}) EXPECT_FALSE(translate_keycode(receiver, sender, code)) << int(code);
}
