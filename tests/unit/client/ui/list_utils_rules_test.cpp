// The arithmetic behind list scrolling, unset dimensions and dialog placement, without X.
#include <gtest/gtest.h>

#include "ui/list_utils.h"

TEST(ListTopRow, APositionWithAFullPageBelowElseTheLastFullPageNeverAboveRowOne) {
    // Rows 3..12 are exactly one page; then past the end, one row shown, a list that fits, an empty one.
    for (auto [position, visible, count, top] : {std::tuple{3, 10, 12, 3}, {5, 3, 100, 5}, {4, 10, 12, 3}, {50, 10, 12, 3},
                                                 {7, 1, 7, 7}, {5, 10, 6, 1}, {1, 10, 0, 1}, {-4, 3, 12, 1}})
        EXPECT_EQ(list_top_for(position, visible, count), top)
            << position << " of " << count << ", " << visible << " visible";
}

TEST(UnsetDimension, AboveAThousandPixelsTheFallbackStands) {
    // 0xFFFF is Motif's mark for an unset dimension; negative offsets are real offsets.
    for (auto [value, fallback, want] : {std::tuple{1000L, 3, 1000}, {1001L, 3, 3}, {-5L, 4, -5}})
        EXPECT_EQ(dimension_or(value, fallback), want) << value;
}

// Centred on the reference on a 1024x768 screen, pulled back to touch the right and bottom edges,
// never at negative coordinates. Odd sizes put the extra pixel right and down; one larger than
// the screen shows its top-left corner.
TEST(CentredPlace, CentredThenKeptOnTheScreen) {
    for (auto [cx, cy, w, h, x, y] : {std::tuple{500, 400, 301, 201, 350, 300}, {1000, 760, 300, 200, 724, 568},
                                      {874, 668, 300, 200, 724, 568}, {100, 600, 300, 200, 0, 500}, {512, 384, 1500, 900, 0, 0}}) {
        ShellPlace p = centred_place(cx, cy, w, h, 1024, 768);
        EXPECT_EQ(std::pair(p.x, p.y), std::pair(x, y)) << cx << "," << cy << " " << w << "x" << h;
    }
}
