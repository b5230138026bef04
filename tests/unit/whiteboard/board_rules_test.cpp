// The whiteboard's rules: the dragged rectangle, the file formats, its command line.
#include <gtest/gtest.h>

#include "board_rules.h"

#include <tuple>
#include <vector>

using namespace whiteboard;

TEST(MarkedRect, EitherCornerFirstAndClippedToTheScreen) {
    const struct { int x0, y0, x1, y1; Rect want; } cases[] = {
        {10, 20, 110, 70, {10, 20, 101, 51}},
        {110, 70, 10, 20, {10, 20, 101, 51}},        // dragged up and left
        {-50, -50, 30, 40, {0, 0, 31, 41}},          // begun off the screen
        {1000, 700, 1100, 900, {1000, 700, 24, 68}}, // ended off a 1024x768 screen
        {5, 5, 5, 5, {5, 5, 1, 1}},                  // a click
        {-20, 10, -5, 40, {}},                       // wholly off
    };
    for (const auto &c : cases) {
        const Rect r = marked_rect(c.x0, c.y0, c.x1, c.y1, 1024, 768), w = c.want;
        EXPECT_EQ(std::tuple(r.x, r.y, r.width, r.height), std::tuple(w.x, w.y, w.width, w.height)) << c.x0 << "," << c.y0;
    }
}

TEST(FormatFor, ByTheEndingWhateverItsCase) {
    const struct { const char *path; ImageFormat want; } cases[] = {
        {"board.png", ImageFormat::Png}, {"/tmp/A.PNG", ImageFormat::Png}, {"x.Xpm", ImageFormat::Xpm},
        {"board.jpg", ImageFormat::Unknown}, {"png", ImageFormat::Unknown}, {".png", ImageFormat::Unknown},
        {"/tmp/.png", ImageFormat::Unknown}, {"", ImageFormat::Unknown}, {"board.png.txt", ImageFormat::Unknown},
    };
    for (const auto &c : cases) EXPECT_EQ(format_for(c.path), c.want) << c.path;
}

TEST(ParseWords, OnlyGrabAndTheSeparatorAreTheBoards) {
    const struct { std::vector<const char *> words; bool ok, grab; int bad; } cases[] = {
        {{"wb"}, true, false, 0},
        {{"wb", "-grab"}, true, true, 0},
        {{"wb", "--"}, true, false, 0},
        {{"wb", "--", "-grab"}, true, true, 0},
        {{"wb", "-grab", "-frob"}, false, true, 2},
        {{"wb", "file.png"}, false, false, 1},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv;
        for (const char *w : c.words) argv.push_back(const_cast<char *>(w));
        bool grab = false;
        int bad = 0;
        const bool ok = parse_words(static_cast<int>(argv.size()), argv.data(), &grab, &bad);
        EXPECT_EQ(std::tuple(ok, grab, bad), std::tuple(c.ok, c.grab, c.bad)) << "row " << &c - cases;
    }
}
