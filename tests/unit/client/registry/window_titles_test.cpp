// Title marks in each title encoding, own-window ids and the dialog icons' bitmaps, without a display.
#include <gtest/gtest.h>

#include "registry/title_text.h"
#include "registry/window_properties.h"
#include "ui/message_dialog.h"

#include <cstring>

TEST(TitleMarks, InTheTitlesOwnEncodingAddedOnceAndTakenOffByteForByte) {
    using E = TitleEncoding;
    const char *pre = "[alpha] ", *post = " [SHARED]";
    // xterm's "Plan — Q3" (the dash in a UTF-8 segment) and a two-byte character set left on at
    // the end, whose second byte is a "]": the suffix comes back to ASCII first.
    const std::string plan = "Plan \x1b%G\xe2\x80\x94\x1b%@ Q3", kanji = "\x1b$(B\x3b\x5d";
    // Title, marked; each comes back whole from its mark.
    const std::tuple<E, std::string, std::string> marked[] = {
        {E::Latin1, "xterm", "[alpha] xterm [SHARED]"},
        {E::Latin1, "", "[alpha]  [SHARED]"},
        {E::Latin1, "caf\xe9", "[alpha] caf\xe9 [SHARED]"},
        {E::Utf8, "notes.txt \xe2\x80\x94 2", "[alpha] notes.txt \xe2\x80\x94 2 [SHARED]"},
        {E::CompoundText, plan, "[alpha] " + plan + "\x1b(B [SHARED]"},
        {E::CompoundText, kanji, "[alpha] " + kanji + "\x1b(B [SHARED]"},
        {E::CompoundText, "\x1b-F\xd9mega", "[alpha] \x1b-F\xd9mega\x1b(B [SHARED]"},
    };
    for (const auto &[encoding, title, want] : marked) {
        EXPECT_EQ(marked_title(title, encoding, pre, post), want) << title;
        EXPECT_EQ(unmarked_title(want, encoding, pre, post), title) << want;
        EXPECT_TRUE(title_marked(want, encoding, pre)) << want;
        EXPECT_FALSE(title_marked(title, encoding, pre)) << title;
    }
    // A suffix there already is not added twice, in ASCII only: a two-byte character's bytes are
    // no suffix. Brackets of the title's own keep the suffix on; not ours: nothing to take off.
    EXPECT_EQ(marked_title("xterm [SHARED]", E::Latin1, pre, post), "[alpha] xterm [SHARED]");
    EXPECT_EQ(marked_title("\x1b(B [SHARED]", E::CompoundText, pre, post), "[alpha] \x1b(B [SHARED]");
    const std::string look_alike = "\x1b$(B [SHARED]";
    EXPECT_EQ(marked_title(look_alike, E::CompoundText, pre, post), "[alpha] " + look_alike + "\x1b(B [SHARED]");
    const std::tuple<E, std::string, std::optional<std::string>> unmarked[] = {
        {E::Latin1, "[alpha] build [1] [SHARED]", "build [1] [SHARED]"},
        {E::CompoundText, "[alpha] build [1]\x1b(B [SHARED]", "build [1]\x1b(B [SHARED]"},
        {E::Latin1, "[alpha] plain", "plain"},
        {E::Latin1, "xterm [SHARED]", std::nullopt},
        {E::Latin1, "[alp", std::nullopt},
        {E::CompoundText, "\x1b(B[alpha] x", std::nullopt},
    };
    for (const auto &[encoding, title, want] : unmarked) EXPECT_EQ(unmarked_title(title, encoding, pre, post), want) << title;
    // Marks of the program's own in each encoding; what Latin-1 cannot hold becomes "?".
    const std::tuple<const char *, E, std::string> marks[] = {
        {" [PARTAG\xc3\x89]", E::Latin1, " [PARTAG\xc9]"},
        {" [PARTAG\xc3\x89]", E::Utf8, " [PARTAG\xc3\x89]"},
        {" [PARTAG\xc9]", E::Utf8, " [PARTAG\xc3\x89]"},
        {"[\xce\xb1] ", E::CompoundText, "[?] "},
    };
    for (const auto &[mark, encoding, want] : marks) EXPECT_EQ(mark_in(mark, encoding), want) << mark;
    // A suffix with Latin-1's upper half comes back to it too.
    EXPECT_EQ(marked_title(kanji, E::CompoundText, pre, " [PARTAG\xc9]"), "[alpha] " + kanji + "\x1b(B\x1b-A [PARTAG\xc9]");
    EXPECT_EQ(unmarked_title("[alpha] " + kanji + "\x1b(B\x1b-A [PARTAG\xc9]", E::CompoundText, pre, " [PARTAG\xc9]"), kanji);
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
