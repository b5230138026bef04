// Telepointer rules and the external requesters' bookkeeping, without an X server.
#include <gtest/gtest.h>

#include "telepointer/tele_glyphs.h"
#include "telepointer/tele_manager.h"
#include "telepointer/tele_rules.h"

#include <cstring>
#include <vector>

TEST(TelePlace, EdgesTurnTheArrowAndKeepTheWindowInside) {
    // Direction, parent size, asked place, whether the hot spot keeps it, and the place given.
    // Well inside, the hot spot is where it was asked for. At the right edge of a 100-pixel window
    // it turns right, no further right than 75, also while dragging. The left edge flips an arrow
    // pointing right, keeping the colour half and the asked point; then bottom and top. A parent
    // narrower than a telepointer keeps it at left 0 (dragged or not), a lower one at top 0.
    const std::tuple<int, int, int, int, int, bool, TelePlace> cases[] = {
        {0, 100, 100, 40, 40, true, {39, 39, 0, false}}, {0, 100, 100, 99, 40, true, {75, 39, 1, true}},
        {0, 100, 100, 99, 40, false, {75, 39, 1, true}}, {5, 100, 100, 10, 40, true, {9, 39, 4, true}},
        {1, 100, 100, 2, 40, false, {0, 39, 0, true}},   {0, 100, 60, 40, 59, true, {39, 35, 3, true}},
        {2, 100, 100, 40, 3, true, {17, 2, 1, true}},    {0, 20, 100, 10, 40, false, {0, 39, 0, true}},
        {0, 20, 100, 50, 40, true, {0, 39, 0, true}},    {0, 10, 10, 50, 50, true, {0, 0, 0, true}},
    };
    for (const auto &[direction, width, height, x, y, keep, want] : cases) {
        TelePlace got = tele_place(direction, width, height, x, y, keep);
        EXPECT_EQ(std::tuple(got.left, got.top, got.direction, got.at_edge),
                  std::tuple(want.left, want.top, want.direction, want.at_edge))
            << "direction " << direction << " at " << x << "," << y << " in " << width << "x" << height
            << (keep ? " keep" : " drag");
    }
}

TEST(TeleTurn, EachSideChangesOnlyTheArrowsThatPointAway) {
    // Rows: up-left .. down-left, then the inverted four; columns: left, up, right, down.
    const int want[8][4] = {{0, 0, 1, 3}, {0, 1, 1, 2}, {3, 1, 2, 2}, {3, 0, 2, 3},
                            {4, 4, 5, 7}, {4, 5, 5, 6}, {7, 5, 6, 6}, {7, 4, 6, 7}};
    for (int d = 0; d < 8; ++d)
        for (int side = 1; side <= 4; ++side) EXPECT_EQ(tele_turned(d, side), want[d][side - 1]) << d << " " << side;
}

// Five styles by four directions, each its own, with the hot spot on the arrow's head.
TEST(TeleGlyphs, EachIsItsOwnWithTheHotSpotOnTheArrowsHead) {
    for (int g = 0; g < 20; ++g) {
        const int hot_x = tele_hot_x(g % 4), hot_y = tele_hot_y(g % 4);
        EXPECT_TRUE(tele_bits[g][hot_y * 4 + hot_x / 8] >> (hot_x % 8) & 1) << "glyph " << g;
        for (int other = 0; other < g; ++other) EXPECT_NE(memcmp(tele_bits[g], tele_bits[other], 100), 0) << g;
    }
}

TEST(TeleStyle, LeastUsedNumberLowestFirst) {
    const std::vector<std::pair<std::vector<int>, int>> cases = {
        {{0, 0, 0, 0, 0}, 1}, {{1, 1, 0, 0, 0}, 3}, {{1, 1, 1, 1, 1}, 1}, {{2, 2, 1, 2, 2}, 3}, {{1, 0, 1, 0, 0}, 2}};
    for (const auto &[counts, style] : cases) EXPECT_EQ(tele_new_style(counts.data()), style);
    // Nearest by the recorded place plus 12; a million squared pixels is too far.
    EXPECT_EQ(tele_distance(10, 10, 22, 22), 0);
    EXPECT_EQ(tele_distance(0, 0, 15, 16), 25);
    EXPECT_EQ(tele_distance(0, 0, 1012, 12), -1);
}

TEST(TeleList, IdsFollowTheirRequestsAndGoWithTheirWindow) {
    // Two external adds on window 7 wait for their ids; the most recent gets the first answer.
    EXPECT_EQ(addtoTeleList(0, 7, 101), 0u);
    EXPECT_EQ(addtoTeleList(0, 7, 102), 0u);
    EXPECT_EQ(addtoTeleList(41, 7, 0), 102u);
    EXPECT_EQ(addtoTeleList(42, 7, 0), 101u);
    EXPECT_EQ(std::pair(findLatestTele(7), getWIDfromTID(41)), std::pair(42ul, 7ul));
    notifyTeleList(6, 41, 0);
    EXPECT_EQ(getWIDfromTID(41), 0u);
    // A new waiting record anywhere goes with answer 11 of any window.
    addtoTeleList(0, 9, 103);
    notifyTeleList(11, 0, 7);
    EXPECT_EQ(findLatestTele(7), 0u);
    EXPECT_EQ(addtoTeleList(60, 9, 0), 0u) << "the waiting record on window 9 went too";
    deletefromTeleList(60, 0);
    EXPECT_EQ(first_telepointer, nullptr);
}
