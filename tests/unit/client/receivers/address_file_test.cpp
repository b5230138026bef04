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
    EXPECT_EQ(read_address_lines("/nonexistent/book", [](const char *, void *) {}, nullptr), 0);
    EXPECT_EQ(read_address_lines(nullptr, [](const char *, void *) {}, nullptr), 0);
}
