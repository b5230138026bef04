#pragma once
// The telepointer rules that need no X: hot spots, turning the arrow, keeping the 25 by 25
// window inside its shared window, the style of a new telepointer, the nearest one to a point.

#include <array>

// A telepointer window's width and height.
constexpr int TELE_SIZE = 25;

// The glyph tables' sizes, one per pixmap (style - 1) * 8 + direction, all TELE_SIZE.
inline constexpr std::array<int, 40> pix_size_width = [] {
    std::array<int, 40> sizes{};
    sizes.fill(TELE_SIZE);
    return sizes;
}();
inline constexpr std::array<int, 40> pix_size_height = pix_size_width;

// Directions 0 up-left, 1 up-right, 2 down-right, 3 down-left; 4 to 7 the same inverted.
// The hot spot inside the window, by direction: the tables, and readers that take any
// direction. Used by the manager and the rules below.
inline constexpr int hotX[8] = {1, 23, 23, 1, 1, 23, 23, 1};
inline constexpr int hotY[8] = {1, 1, 23, 23, 1, 1, 23, 23};
int tele_hot_x(int direction);
int tele_hot_y(int direction);

// The direction after turning towards `side` (1 left, 2 up, 3 right, 4 down), keeping the
// colour half; directions that already point that way stay. Used by swap_tele.
int tele_turned(int direction, int side);

// Where move_tele puts a telepointer whose hot spot is asked for at (x, y) of a parent of
// `width` by `height`: the window's top-left corner, the direction after any turns, and
// whether an edge rule applied (then a drag warps the pointer onto the new hot spot). Any
// numbers are safe: those far outside X's coordinates count as far beyond the edge.
struct TelePlace {
    int left = 0, top = 0;
    int direction = 0;
    bool at_edge = false;
};
TelePlace tele_place(int direction, int width, int height, int x, int y, bool keep);

// The style (1 to 5) for a new telepointer, given how many of each style its window already
// has (`counts[0]` for style 1): the least used, the lowest number on a tie. Used by create_tele.
int tele_new_style(const int counts[5]);

// The squared distance from (x, y) to the centre of a telepointer recorded at (tx, ty), or -1
// when it is too far to count (999999 or more). Used by delete_tele.
long tele_distance(int tx, int ty, int x, int y);
