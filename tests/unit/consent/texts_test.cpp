// Identities made safe to show and log, and the wrapping of the dialog's lines.
#include <gtest/gtest.h>

#include "texts.h"

using namespace telvane::consent;

TEST(SenderTexts, OnlyPrintableAsciiPassesRawAndTheSentenceShowsWhereTheConnectionComesFrom) {
    EXPECT_EQ(printable_identity("Ann Smith <ann@host>"), "Ann Smith <ann@host>");
    EXPECT_EQ(printable_identity(std::string("a\nb\tc\x7f\xe9", 7)), "a\\x0Ab\\x09c\\x7F\\xE9");
    // The escape character is itself escaped, so "\x0A" typed by a sender is not a newline.
    EXPECT_EQ(printable_identity("\\x0A"), "\\\\x0A");
    const Ipv4Address claimed{192, 168, 1, 23}, other{10, 0, 0, 9};
    EXPECT_EQ(question_sentence("Ann Smith", claimed, claimed),
              "Ann Smith at 192.168.1.23 wants to share windows with this display.");
    EXPECT_EQ(question_sentence("", claimed, other),
              "Someone (no name given) at 192.168.1.23 (connecting from 10.0.0.9) wants to share windows with "
              "this display.");
    // A display link's question names the display it wants.
    EXPECT_EQ(question_sentence("Ann Smith", claimed, claimed, 3),
              "Ann Smith at 192.168.1.23 wants to share windows with display :3.");
    // No byte at all reaches the log line raw.
    std::string every;
    for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
    for (unsigned char byte : question_line({10, 0, 0, 1}, every))
        ASSERT_TRUE(byte >= 0x20 && byte < 0x7f) << "raw byte " << int(byte) << " in the log line";
}

TEST(WrapWords, LinesStayWithinWidthAndKeepEveryWord) {
    EXPECT_TRUE(wrap_words("   ", 10).empty());
    EXPECT_EQ(wrap_words("Ann Smith at 127.0.0.1", 12), (std::vector<std::string>{"Ann Smith at", "127.0.0.1"}));
    // A word longer than the line is cut rather than allowed to stretch the dialog.
    EXPECT_EQ(wrap_words("ab cdefghij k l", 4), (std::vector<std::string>{"ab", "cdef", "ghij", "k l"}));
}
