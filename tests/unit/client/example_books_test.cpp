// The example address books shipped in resources/ read as books: every line a comment, blank
// or a legal entry, and each book with entries to show.
// gtest goes first: X11's macros (None, Bool, Status) break it when they come before.
#include <gtest/gtest.h>

#include "receivers/address_text.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct Count {
    int entries = 0;
    std::string illegal;
};

}  // namespace

TEST(ExampleBooks, EveryLineIsACommentOrALegalEntry) {
    int books = 0;
    for (const auto &file : std::filesystem::directory_iterator(TELVANE_SOURCE_DIR "/resources/address_books")) {
        ++books;
        Count count;
        ASSERT_EQ(read_address_lines(file.path().c_str(),
                                     [](const char *line, void *data) {
                                         auto *c = static_cast<Count *>(data);
                                         AddressEntry e{};
                                         int got = parse_address_line(line, &e);
                                         if (got < 0) c->illegal += std::string(line) + "\n";
                                         if (got == 1) {
                                             ++c->entries;
                                             free(e.display);
                                             free(e.alias);
                                         }
                                     },
                                     &count),
                  1);
        EXPECT_EQ(count.illegal, "") << file.path();
        EXPECT_GT(count.entries, 0) << file.path();
    }
    EXPECT_GE(books, 2);
}
