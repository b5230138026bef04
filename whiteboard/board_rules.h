#pragma once
// The whiteboard's rules without X: the rectangle a drag marks, the file format a name asks
// for, and the pens. Testable without a display.

#include <cstdint>
#include <string_view>

namespace whiteboard {

struct Rect {
    int x = 0, y = 0;
    int width = 0, height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
};

// The rectangle between two corners of a drag, in either order, clipped to a screen of
// `screen_width` x `screen_height`; both corners count as inside. Empty when the drag lies
// wholly off the screen. Called by the snapshot drag.
Rect marked_rect(int x0, int y0, int x1, int y1, int screen_width, int screen_height);

enum class ImageFormat { Png, Xpm, Unknown };

// The format a file name asks for by its extension, ignoring case: ".png" or ".xpm".
// Called by Save.
ImageFormat format_for(std::string_view path);

// A pen of the tool bar: its widget name, its colour name, and its width in pixels. The last
// pen is the eraser, which paints the board's background back.
struct Pen {
    const char *name;
    const char *colour;
    unsigned width;
};
inline constexpr Pen kPens[] = {
    {"Black", "black", 3}, {"Red", "red3", 3}, {"Blue", "blue3", 3}, {"Green", "green4", 3}, {"Eraser", nullptr, 18},
};
inline constexpr int kPenCount = sizeof kPens / sizeof kPens[0];

// The words of the command line that are the board's own: "-grab" asks for a snapshot; "--"
// and everything the toolkit took are passed by. Returns false for any other word, with its
// index in *bad. Called by main.
bool parse_words(int argc, char **argv, bool *grab, int *bad);

}  // namespace whiteboard
