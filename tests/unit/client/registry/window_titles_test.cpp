// Title marks as text, own-window ids and the dialog icons' bitmaps, without a display.
#include <gtest/gtest.h>

#include "registry/window_properties.h"
#include "ui/message_dialog.h"

#include <cstring>

TEST(TitleMarks, SuffixAddedOnlyOnceAndCutOnlyWhenItIsTheOnlyBracket) {
    const char *pre = "[alpha] ", *post = " [SHARED]";
    const std::pair<const char *, const char *> marked[] = {
        {"xterm", "[alpha] xterm [SHARED]"}, {"xterm [SHARED]", "[alpha] xterm [SHARED]"}, {"", "[alpha]  [SHARED]"}};
    for (auto [title, want] : marked) EXPECT_STREQ(marked_title(title, pre, post).get(), want) << title;
    // A title's own brackets keep the suffix on; not ours, or too short: nothing to remove.
    const std::pair<const char *, const char *> unmarked[] = {
        {"[alpha] xterm [SHARED]", "xterm"}, {"[alpha] build [1] [SHARED]", "build [1] [SHARED]"},
        {"[alpha] plain", "plain"}, {"xterm [SHARED]", nullptr}, {"[alp", nullptr}};
    for (auto [title, want] : unmarked) EXPECT_STREQ(unmarked_title(title, pre, post).get(), want) << title;
    // Marking and unmarking give the title back.
    auto twice = marked_title("editor: notes.txt", "[beta] ", post);
    EXPECT_STREQ(unmarked_title(twice.get(), "[beta] ", post).get(), "editor: notes.txt");
}

TEST(OwnWindows, OnlyTheBitsOutsideTheResourceMaskCount) {
    const unsigned long mask = 0x001FFFFF;
    EXPECT_EQ(client_part(0x04600012, mask), client_part(0x046FFFFF, mask));
    EXPECT_NE(client_part(0x04600012, mask), client_part(0x04800012, mask));
}

TEST(DialogIcons, EveryKindHasATwentyByTwentyBitmap) {
    for (int kind = 0; kind <= 6; ++kind) {
        const auto &art = fallback_icon_art(kind);
        for (const char *row : art) ASSERT_EQ(strlen(row), 20u) << "kind " << kind;
        auto bytes = icon_bitmap_bytes(art);
        // Pixel 0 of a row is bit 0 of its first byte; the four spare bits of each row stay 0.
        for (int row = 0; row < 20; ++row) {
            EXPECT_EQ((bytes[row * 3] & 1) != 0, art[row][0] == '#');
            EXPECT_EQ((bytes[row * 3 + 2] >> 3) & 1, art[row][19] == '#' ? 1 : 0);
            EXPECT_EQ(bytes[row * 3 + 2] & 0xF0, 0);
        }
    }
    // Kinds outside 1 to 5 show the information icon.
    EXPECT_EQ(&fallback_icon_art(0), &fallback_icon_art(3));
    EXPECT_EQ(&fallback_icon_art(9), &fallback_icon_art(3));
    EXPECT_NE(&fallback_icon_art(1), &fallback_icon_art(2));
}
