// Address-book text rules, and reading address files however they are broken.
#include <gtest/gtest.h>

#include "receivers/address_text.h"

#include "core/cstring.h"
#include "process.h"

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

using telvane::testing::ScratchDir;
using telvane::testing::write_file;

namespace {

using Entry = std::pair<std::string, std::string>;

struct Read {
    std::vector<std::string> raw;
    std::vector<Entry> entries;
    int illegal = 0;
};

// Each line of a book holding `text` as it is read, and the entries parsed from them.
Read read_book(const std::string &text) {
    ScratchDir dir;
    write_file(dir.file("book"), text);
    Read r;
    auto take = [](const char *line, void *data) {
        auto *r = static_cast<Read *>(data);
        r->raw.emplace_back(line);
        AddressEntry e{};
        const int got = parse_address_line(line, &e);
        r->illegal += got < 0;
        if (got != 1) return;
        r->entries.emplace_back(e.display, e.alias);
        free(e.display);
        free(e.alias);
    };
    EXPECT_EQ(read_address_lines(dir.file("book").c_str(), take, &r), 1);
    return r;
}

}  // namespace

TEST(ParseComments, FoldsBlanksAndDropsCommentsAtWordStart) {
    const std::pair<const char *, const char *> lines[] = {
        {"  host1 \t Team\t\tLead   # the boss\n", "host1 Team Lead"}, {"host3 a#b #c", "host3 a#b"},
        {"host4:0 Dos Line\r", "host4:0 Dos Line"},  // a book saved with DOS line ends
        {"host4 Name\nignored after newline", "host4 Name"}, {"# only a comment", ""}, {" \t \n", ""}};
    for (const auto &[line, kept] : lines) {
        std::string buf(line);
        EXPECT_EQ(parse_comments(buf.data()), *kept == '\0') << line;
        EXPECT_STREQ(buf.c_str(), kept) << line;
    }
    EXPECT_EQ(parse_comments(nullptr), 1);
}

TEST(ParseDisplayName, NormalisesLegalNamesAndRefusesOthers) {
    // Only the host part is lower-cased.
    const std::pair<const char *, const char *> names[] = {
        {"MyHost", "myhost:0.0"}, {"myhost:", "myhost:0.0"}, {"myhost:2.", "myhost:2.0"}, {"myhost:2.1", "myhost:2.1"},
        {":.5", ":.5"}, {"Term12:3.0", "term12:3.0"}, {"myhost:x", nullptr}, {"myhost:2.1.0", nullptr},
        {"myhost:2a", nullptr}, {"a::0", nullptr}, {"h:1.x", nullptr}, {nullptr, nullptr}};
    for (auto [typed, want] : names) EXPECT_STREQ(CString(parse_display_name(typed)).get(), want) << (typed ? typed : "null");
}

TEST(FinalAliasLine, DotLeaderPutsTheDisplayAtColumn61) {
    auto line = [](const std::string &alias, const char *display) {
        return std::string(CString(final_alias_line(alias.c_str(), display)).get());
    };
    std::string leader = "Jo";
    for (size_t c = 2; c <= 60; ++c) leader += c % 4 == 0 && c <= 59 ? '.' : ' ';
    EXPECT_EQ(line("Jo", "host:0.0"), leader + "host:0.0");
    // The column after the alias stays blank even when it is a multiple of 4.
    EXPECT_EQ(line("John", "h:0.0").substr(4, 5), "    .");
    EXPECT_EQ(line(std::string(59, 'a'), "h:1.0"), std::string(59, 'a') + "  h:1.0");
    EXPECT_EQ(line("", "h:0.0").substr(61), "h:0.0");
}

TEST(ParseTabs, ExpandsToMultiplesOfEight) {
    for (auto [text, expanded] : {std::pair{"a\tb", "a       b"}, {"12345678\t\ty", "12345678                y"}})
        EXPECT_STREQ(CString(parse_tabs(text)).get(), expanded) << text;
}

TEST(GrepWordMatch, FlagsSelectPrefixAndFirstWord) {
    const char *line = "hosta:0.0 John Smith";
    const std::tuple<const char *, const char *, int, int, int> cases[] = {  // pattern, text, case, flags, match
        // Flags 0: whole alias words only, never the display name; a blank spans words. Flag 1: a
        // word's beginning suffices; flag 2: the first word is a candidate too.
        {"hosta:0.0", line, 0, 0, 0}, {"Jo", line, 0, 0, 0}, {"john", line, 0, 0, 0}, {"john", line, 1, 0, 1},
        {"John Smith", line, 0, 0, 1}, {"Jo", line, 0, 1, 1}, {"ohn", line, 0, 1, 0}, {"hosta:0.0", line, 0, 2, 1},
        {"host", line, 0, 2, 0}, {"host", line, 0, 3, 1}, {"a", "", 0, 3, 0}, {"", line, 0, 0, 0}, {"", line, 0, 1, 1},
    };
    for (auto [pattern, text, ignore_case, flags, match] : cases)
        EXPECT_EQ(grep_word_match(pattern, text, ignore_case, flags), match)
            << pattern << " in '" << text << "' " << ignore_case << flags;
}

TEST(DisplayMatchesTyped, HostPartsAndAddressPrefixes) {
    const std::tuple<const char *, const char *, bool> cases[] = {
        // An address typed in part matches only at a dot of the same address.
        {"15.1.2.3:0.0", "15.1", true}, {"15.10.2.3:0.0", "15.1", false}, {"15.1.2.3:0.0", "15.1.2.3:0", true},
        // A host name matches its fully qualified form and its display, regardless of case.
        {"myhost.example.com:0.0", "MyHost", true}, {"myhosts:0.0", "myhost", false}, {"myhost:0.0", "myhost:0.0.1", false},
        // A typed address with anything but digits and dots before the dot is no prefix of one.
        {"15.1a.2.3:0.0", "15.1a", false}, {nullptr, "x", false}};
    for (auto [display, typed, want] : cases) EXPECT_EQ(display_matches_typed(display, typed), want) << typed;
}

TEST(AddressFile, EntriesCommentsLongLinesAndBinaryBytes) {
    Read r = read_book("# team\n\nhostA:1\tJohn   Smith  # lead\nSoloHost\nbad:x Nobody\nlast:2.1 No Newline");
    EXPECT_EQ(r.entries, (std::vector<Entry>{{"hosta:1.0", "John Smith"}, {"solohost:0.0", "SoloHost"}, {"last:2.1", "No Newline"}}));
    EXPECT_EQ(r.illegal, 1);

    // 5000 characters arrive as pieces of at most 999; binary bytes are read, a NUL ends a line.
    r = read_book("h1:0 " + std::string(4995, 'x') + "\n" + std::string("h2:0 bin\x01\x02\xff\x7f\n", 13) +
                  std::string("h3:0 nul\0after\n", 15));
    ASSERT_GE(r.raw.size(), 6u);
    for (const auto &line : r.raw) EXPECT_LE(line.size(), 999u);
    EXPECT_EQ(r.entries.front().first, "h1:0.0");
    EXPECT_EQ(r.entries.back(), Entry("h3:0.0", "nul"));

    // A missing file, or none named, is not read.
    for (const char *none : {"/nonexistent/book", (const char *)nullptr})
        EXPECT_EQ(read_address_lines(none, [](const char *, void *) {}, nullptr), 0);
}
