// The arithmetic behind list scrolling, unset dimensions and dialog placement, without X.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include <gtest/gtest.h>

#include "ui/list_utils.h"

TEST(ListTopRow, ThePositionItselfWhileAFullPageFollows) {
    EXPECT_EQ(list_top_for(1, 10, 12), 1);
    EXPECT_EQ(list_top_for(3, 10, 12), 3);  // rows 3..12: exactly one page
    EXPECT_EQ(list_top_for(5, 3, 100), 5);
}

TEST(ListTopRow, TheLastFullPageWhenFewerRowsFollow) {
    EXPECT_EQ(list_top_for(8, 10, 12), 3);
    EXPECT_EQ(list_top_for(4, 10, 12), 3);
    EXPECT_EQ(list_top_for(12, 10, 12), 3);
    EXPECT_EQ(list_top_for(50, 10, 12), 3);  // past the end
    EXPECT_EQ(list_top_for(7, 1, 7), 7);     // a one-row list shows the row itself
}

TEST(ListTopRow, NeverAboveTheFirstRow) {
    EXPECT_EQ(list_top_for(5, 10, 6), 1);  // the whole list fits
    EXPECT_EQ(list_top_for(1, 10, 0), 1);  // empty
    EXPECT_EQ(list_top_for(0, 10, 12), 1);
    EXPECT_EQ(list_top_for(-4, 3, 12), 1);
}

TEST(UnsetDimension, AboveAThousandPixelsTheFallbackStands) {
    EXPECT_EQ(dimension_or(0, 3), 0);
    EXPECT_EQ(dimension_or(1000, 3), 1000);
    EXPECT_EQ(dimension_or(1001, 3), 3);
    EXPECT_EQ(dimension_or(0xFFFF, 2), 2);   // Motif's mark for an unset dimension
    EXPECT_EQ(dimension_or(0x7FFFFFFFL, 0), 0);
    EXPECT_EQ(dimension_or(-5, 4), -5);      // negative offsets are real offsets
}

namespace {
constexpr int kScreenW = 1024, kScreenH = 768;
ShellPlace place(int cx, int cy, int w, int h) { return centred_place(cx, cy, w, h, kScreenW, kScreenH); }
}  // namespace

TEST(CentredPlace, CentresOnTheReferenceWhenThereIsRoom) {
    ShellPlace p = place(500, 400, 300, 200);
    EXPECT_EQ(p.x, 350);
    EXPECT_EQ(p.y, 300);
    // Odd sizes: the extra pixel goes right and down.
    p = place(500, 400, 301, 201);
    EXPECT_EQ(p.x, 350);
    EXPECT_EQ(p.y, 300);
}

TEST(CentredPlace, PulledBackToTouchTheRightAndBottomEdges) {
    ShellPlace p = place(1000, 760, 300, 200);
    EXPECT_EQ(p.x, kScreenW - 300);
    EXPECT_EQ(p.y, kScreenH - 200);
    // Exactly touching is left alone.
    p = place(kScreenW - 150, kScreenH - 100, 300, 200);
    EXPECT_EQ(p.x, kScreenW - 300);
    EXPECT_EQ(p.y, kScreenH - 200);
}

TEST(CentredPlace, NegativeCoordinatesBecomeZero) {
    ShellPlace p = place(0, 0, 300, 200);  // no reference: centred on the origin
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
    p = place(100, 600, 300, 200);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 500);
    // Larger than the screen: pulled left past the origin, then its top-left corner shows.
    p = place(512, 384, 1500, 900);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
}
