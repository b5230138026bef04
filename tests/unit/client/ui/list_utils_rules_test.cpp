// The arithmetic behind list scrolling, unset dimensions and dialog placement, without X.
#include <gtest/gtest.h>

#include "ui/list_utils.h"

TEST(ListTopRow, APositionWithAFullPageBelowElseTheLastFullPageNeverAboveRowOne) {
    for (auto [position, visible, count, top] : {
             std::tuple{1, 10, 12, 1}, {3, 10, 12, 3},  // rows 3..12: exactly one page
             {5, 3, 100, 5},
             {8, 10, 12, 3}, {4, 10, 12, 3}, {12, 10, 12, 3},
             {50, 10, 12, 3},                           // past the end
             {7, 1, 7, 7},                              // a one-row list shows the row itself
             {5, 10, 6, 1},                             // the whole list fits
             {1, 10, 0, 1},                             // empty
             {0, 10, 12, 1}, {-4, 3, 12, 1},
         })
        EXPECT_EQ(list_top_for(position, visible, count), top)
            << position << " of " << count << ", " << visible << " visible";
}

TEST(UnsetDimension, AboveAThousandPixelsTheFallbackStands) {
    // 0xFFFF is Motif's mark for an unset dimension; negative offsets are real offsets.
    for (auto [value, fallback, want] : {std::tuple{0L, 3, 0}, {1000L, 3, 1000}, {1001L, 3, 3}, {0xFFFFL, 2, 2},
                                         {0x7FFFFFFFL, 0, 0}, {-5L, 4, -5}})
        EXPECT_EQ(dimension_or(value, fallback), want) << value;
}

// Centred on the reference when there is room, pulled back to touch the right and bottom
// edges, and never at negative coordinates, on a 1024x768 screen.
TEST(CentredPlace, CentredThenKeptOnTheScreen) {
    for (auto [cx, cy, w, h, x, y] : {
             std::tuple{500, 400, 300, 200, 350, 300},
             {500, 400, 301, 201, 350, 300},     // odd sizes: the extra pixel goes right and down
             {1000, 760, 300, 200, 724, 568},    // pulled back
             {874, 668, 300, 200, 724, 568},     // exactly touching is left alone
             {0, 0, 300, 200, 0, 0},             // no reference: centred on the origin
             {100, 600, 300, 200, 0, 500},
             {512, 384, 1500, 900, 0, 0},        // larger than the screen: its top-left corner shows
         }) {
        ShellPlace p = centred_place(cx, cy, w, h, 1024, 768);
        EXPECT_EQ(std::pair(p.x, p.y), std::pair(x, y)) << cx << "," << cy << " " << w << "x" << h;
    }
}
