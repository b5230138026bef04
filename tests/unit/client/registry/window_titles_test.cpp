// Title marks in each title encoding and the dialog icons' bitmaps, without a display.
#include <gtest/gtest.h>

#include "registry/title_text.h"
#include "ui/message_dialog.h"

#include <cstring>

TEST(TitleMarks, InTheTitlesOwnEncodingAddedOnceAndTakenOffByteForByte) {
    using E = TitleEncoding;
    const char *A = "[alpha] ", *S = " [SHARED]", *P = " [PARTAG\xc3\x89]";
    // Encoding, marks, title, marked, unmarked again. xterm's "Plan — Q3"; a two-byte set left on,
    // its second byte a "]"; the suffix's look-alike in katakana; "?" where Latin-1 has nothing.
    const std::string plan = "Plan \x1b%G\xe2\x80\x94\x1b%@ Q3", kanji = "\x1b$(B\x3b\x5d", look = "\x1b(I [SHARED]";
    const std::tuple<E, const char *, const char *, std::string, std::string, std::string> rows[] = {
        {E::Latin1, A, S, "xterm", "[alpha] xterm [SHARED]", "xterm"},
        {E::Latin1, A, S, "", "[alpha]  [SHARED]", ""},
        {E::Latin1, A, S, "xterm [SHARED]", "[alpha] xterm [SHARED]", "xterm"},
        {E::Latin1, A, S, "build [1]", "[alpha] build [1] [SHARED]", "build [1] [SHARED]"},
        {E::Utf8, A, P, "notes \xe2\x80\x94 2", "[alpha] notes \xe2\x80\x94 2 [PARTAG\xc3\x89]", "notes \xe2\x80\x94 2"},
        {E::CompoundText, A, S, plan, "[alpha] " + plan + "\x1b(B [SHARED]", plan},
        {E::CompoundText, A, S, kanji, "[alpha] " + kanji + "\x1b(B [SHARED]", kanji},
        {E::CompoundText, A, S, look, "[alpha] " + look + "\x1b(B [SHARED]", look},
        {E::Latin1, A, P, "x", "[alpha] x [PARTAG\xc9]", "x"},
        {E::CompoundText, "[\xce\xb1] ", P, kanji, "[?] " + kanji + "\x1b(B\x1b-A [PARTAG\xc9]", kanji},
    };
    for (const auto &[encoding, pre, post, title, marked, back] : rows) {
        EXPECT_EQ(marked_title(title, encoding, pre, post), marked) << title;
        EXPECT_EQ(unmarked_title(marked, encoding, pre, post), back) << marked;
        EXPECT_TRUE(title_marked(marked, encoding, pre) && !title_marked(title, encoding, pre)) << title;
    }
    // Not ours: nothing to take off.
    for (auto [encoding, title] : {std::pair{E::Latin1, "xterm [SHARED]"}, {E::Latin1, "[alp"}, {E::CompoundText, "\x1b(B[alpha] x"}})
        EXPECT_EQ(unmarked_title(title, encoding, A, S), std::nullopt) << title;
}

TEST(DialogIcons, EveryKindHasATwentyByTwentyBitmap) {
    for (int kind = 0; kind <= 6; ++kind) {
        const auto &art = fallback_icon_art(kind);
        for (const char *row : art) ASSERT_EQ(strlen(row), 20u) << "kind " << kind;
        auto bytes = icon_bitmap_bytes(art);
        // Pixel 0 of a row is bit 0 of its first byte; the four spare bits of each row stay 0.
        for (int row = 0; row < 20; ++row)
            EXPECT_EQ(std::tuple(bytes[row * 3] & 1, bytes[row * 3 + 2] >> 3),
                      std::tuple(art[row][0] == '#' ? 1 : 0, art[row][19] == '#' ? 1 : 0)) << kind << " " << row;
    }
    // Kinds outside 1 to 5 show the information icon.
    EXPECT_EQ(&fallback_icon_art(9), &fallback_icon_art(3));
    EXPECT_NE(&fallback_icon_art(1), &fallback_icon_art(2));
}
