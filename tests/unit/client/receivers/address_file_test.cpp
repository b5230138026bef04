// Reading address files: entries, comments, over-long lines and binary bytes.
#include <gtest/gtest.h>

#include "receivers/address_text.h"
#include "process.h"

#include <cstdlib>
#include <string>
#include <vector>

using telvane::testing::ScratchDir;
using telvane::testing::write_file;

namespace {

struct Read {
    std::vector<std::string> raw;
    std::vector<std::pair<std::string, std::string>> entries;
    int illegal = 0;
};

Read read_book(const std::string &path) {
    Read r;
    EXPECT_EQ(read_address_lines(path.c_str(),
                                 [](const char *line, void *data) {
                                     auto *r = static_cast<Read *>(data);
                                     r->raw.emplace_back(line);
                                     AddressEntry e{};
                                     int got = parse_address_line(line, &e);
                                     if (got == 1) {
                                         r->entries.emplace_back(e.display, e.alias);
                                         free(e.display);
                                         free(e.alias);
                                     } else if (got < 0) {
                                         ++r->illegal;
                                     }
                                 },
                                 &r),
              1);
    return r;
}

}  // namespace

TEST(AddressFile, EntriesAliasesAndComments) {
    ScratchDir dir;
    write_file(dir.file("book"), "# team\n\nhostA:1\tJohn   Smith  # lead\nSoloHost\nbad:x Nobody\nlast:2.1 No Newline");
    Read r = read_book(dir.file("book"));
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_EQ(r.entries[0], std::make_pair(std::string("hosta:1.0"), std::string("John Smith")));
    EXPECT_EQ(r.entries[1], std::make_pair(std::string("solohost:0.0"), std::string("SoloHost")));
    EXPECT_EQ(r.entries[2], std::make_pair(std::string("last:2.1"), std::string("No Newline")));
    EXPECT_EQ(r.illegal, 1);
}

TEST(AddressFile, LongLinesAndBinaryBytesAreReadInPieces) {
    ScratchDir dir;
    std::string book = "h1:0 " + std::string(4995, 'x') + "\n";
    book += std::string("h2:0 bin\x01\x02\xff\x7f", 13) + "\n";
    book += std::string("h3:0 nul\0after", 14) + "\n";
    write_file(dir.file("book"), book);
    Read r = read_book(dir.file("book"));
    // 5000 characters arrive as pieces of at most 999.
    ASSERT_GE(r.raw.size(), 6u);
    for (const auto &line : r.raw) EXPECT_LE(line.size(), 999u);
    EXPECT_EQ(r.entries.front().first, "h1:0.0");
    EXPECT_EQ(r.entries.back().first, "h3:0.0");
    EXPECT_EQ(r.entries.back().second, "nul");
}

TEST(AddressFile, MissingFileOrFolderIsNotRead) {
    ScratchDir dir;
    EXPECT_EQ(read_address_lines(dir.file("none").c_str(), [](const char *, void *) {}, nullptr), 0);
    EXPECT_EQ(read_address_lines(nullptr, [](const char *, void *) {}, nullptr), 0);
}
