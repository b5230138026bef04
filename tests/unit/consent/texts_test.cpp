// Identities made safe to show and log, line wrapping, and the log lines tests and admins read.
#include <gtest/gtest.h>

#include "texts.h"

using namespace telvane::consent;

TEST(PrintableIdentity, OnlyPrintableAsciiPassesRaw) {
    EXPECT_EQ(printable_identity("Ann Smith <ann@host>"), "Ann Smith <ann@host>");
    EXPECT_EQ(printable_identity(std::string("a\nb\tc\x7f\xe9", 7)), "a\\x0Ab\\x09c\\x7F\\xE9");
    // The escape character is itself escaped, so "\x0A" typed by a sender is not a newline.
    EXPECT_EQ(printable_identity("\\x0A"), "\\\\x0A");
    EXPECT_EQ(printable_identity(""), "");
}

TEST(PrintableIdentity, NoByteCanBreakALogLine) {
    std::string every;
    for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
    std::string line = question_line({10, 0, 0, 1}, every);
    for (char c : line) {
        auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE(byte >= 0x20 && byte < 0x7f) << "raw byte " << int(byte) << " in the log line";
    }
}

TEST(QuestionText, NamesWhoAndFromWhere) {
    EXPECT_EQ(question_sentence("Ann Smith", {127, 0, 0, 1}),
              "Ann Smith at 127.0.0.1 wants to share windows with this display.");
    EXPECT_EQ(question_sentence("", {192, 168, 255, 10}),
              "Someone (no name given) at 192.168.255.10 wants to share windows with this display.");
}

TEST(WrapWords, LinesStayWithinWidthAndKeepEveryWord) {
    EXPECT_TRUE(wrap_words("", 10).empty());
    EXPECT_TRUE(wrap_words("   ", 10).empty());
    EXPECT_EQ(wrap_words("Ann Smith at 127.0.0.1", 12), (std::vector<std::string>{"Ann Smith at", "127.0.0.1"}));
    EXPECT_EQ(wrap_words("abc de", 6), (std::vector<std::string>{"abc de"}));
    // A word longer than the line is cut, not allowed to stretch the dialog.
    EXPECT_EQ(wrap_words("ab cdefghij k", 4), (std::vector<std::string>{"ab", "cdef", "ghij", "k"}));

    std::string text = "Dr. Bartholomew Featherstonehaugh-Montgomery-Smythe at 10.1.2.3 wants to share";
    std::string rejoined;
    for (const auto &line : wrap_words(text, 11)) {
        EXPECT_LE(line.size(), 11u) << line;
        EXPECT_FALSE(line.empty());
        rejoined += line;
    }
    std::string squeezed;
    for (char c : text)
        if (c != ' ') squeezed += c;
    std::string rejoined_squeezed;
    for (char c : rejoined)
        if (c != ' ') rejoined_squeezed += c;
    EXPECT_EQ(rejoined_squeezed, squeezed);
}

TEST(LogLines, AnswerByteAndReasonPerOutcome) {
    const Ipv4Address a{127, 0, 0, 1};
    EXPECT_EQ(listening_line("0.0.0.0:34590"), "telvane-consent: listening on 0.0.0.0:34590");
    EXPECT_EQ(question_line(a, "Ann 'A' Smith"), "telvane-consent: question from 127.0.0.1 'Ann 'A' Smith'");
    EXPECT_EQ(went_away_line({10, 0, 0, 2}), "telvane-consent: peer 10.0.0.2 went away");
    const std::pair<Outcome, const char *> cases[] = {
        {Outcome::Accepted, "answer 1 to 127.0.0.1 (accepted)"},
        {Outcome::Refused, "answer 0 to 127.0.0.1 (refused)"},
        {Outcome::TimedOut, "answer 0 to 127.0.0.1 (timed out)"},
        {Outcome::TooLong, "answer 0 to 127.0.0.1 (bad request: identity too long)"},
        {Outcome::NoZero, "answer 0 to 127.0.0.1 (bad request: no terminating zero)"},
        {Outcome::NothingInTime, "answer 0 to 127.0.0.1 (bad request: nothing received in time)"},
        {Outcome::Stopping, "answer 0 to 127.0.0.1 (service stopping)"},
    };
    for (const auto &[outcome, text] : cases) {
        EXPECT_EQ(answer_line(a, outcome), std::string("telvane-consent: ") + text);
        EXPECT_EQ(answer_byte(outcome), outcome == Outcome::Accepted ? '1' : '0');
    }
}
