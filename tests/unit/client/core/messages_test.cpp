// Catalog texts and their fallbacks, and the shipped catalog: every entry of resources/Telvane.msg
// stored as written, with only the "%s" conversions its callers pass.
#include <gtest/gtest.h>

#include "core/messages.h"
#include "home_fixture.h"

#include "core/cstring.h"
#include "process.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

using telvane::testing::write_file;

namespace {

const std::string kBuiltCatalog = telvane::testing::build_path("resources/%N.cat");
// Set before any test opens the catalog, so that a run by hand gives what ctest's does.
const bool catalog_path_set = setenv("NLSPATH", kBuiltCatalog.c_str(), 1) == 0;

// Closes the program's catalog; the next text is looked for through `nlspath`.
void use_catalog(const std::string &nlspath) {
    close_message_catalog();
    setenv("NLSPATH", nlspath.c_str(), 1);
}

class Catalog : public ScratchHome {};

}  // namespace

TEST_F(Catalog, EntryOrDefaultAndWithoutACatalogOneLineIsLogged) {
    testing::internal::CaptureStderr();   // without a presenter
    print_message1(0, 5, 8, "unused", "host:3");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "X-Server 'host:3' does not support sharing\n");
    EXPECT_STREQ(CString(format_message("Try %s\n%s", "hostb", "me", nullptr)).get(), "Try hostb\nme");
    EXPECT_STREQ(CString(format_message("100%% %s", nullptr, nullptr, nullptr)).get(), "100% ");
    // A stray conversion is shown as text instead of reading missing arguments.
    EXPECT_STREQ(CString(format_message("bad %d %n", "x", nullptr, nullptr)).get(), "bad %d %n");

    write_file(home_.file("Telvane.msg"), "$quote \"\n$set 3\n1 \"\"\n2 \"Over %s\"\n");
    ASSERT_EQ(system(("gencat " + home_.file("Telvane.cat") + " " + home_.file("Telvane.msg")).c_str()), 0);
    use_catalog(home_.file("%N.cat"));
    EXPECT_STREQ(catalog_text(3, 1, "Default one", 0), "Default one");
    EXPECT_STREQ(catalog_text(3, 2, "Default %s", 1), "Over %s");

    use_catalog(home_.file("nowhere/%N.cat"));
    EXPECT_STREQ(catalog_text(5, 8, "Default %s", 1), "Default %s");
    EXPECT_STREQ(catalog_text(2, 2, "Other", 0), "Other");
    EXPECT_EQ(telvane::testing::count_of(log_text(), "Could not open Message Catalog 'Telvane.cat'"), 1u);
    use_catalog(kBuiltCatalog);
}

namespace {

struct Entry {
    int set, number;
    std::string text;  // with "\n", the one escape the source uses, resolved
    int line;          // in the source file, for failure messages
};

// The catalog source: "$set N" starts a set, other "$" lines are comments or directives, and
// each message is `number "text"` on one line.
const std::vector<Entry> &entries() {
    static const std::vector<Entry> read = [] {
        const std::string path = std::string(TELVANE_SOURCE_DIR) + "/resources/Telvane.msg";
        std::ifstream in(path);
        EXPECT_TRUE(in) << "cannot read " << path;
        static const std::regex message(R"re(([0-9]+) +"(.*)")re");
        std::vector<Entry> out;
        int set = 0, number = 0;
        std::smatch m;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (line.rfind("$set ", 0) == 0) set = std::atoi(line.c_str() + 5);
            else if (std::regex_match(line, m, message))
                out.push_back({set, std::stoi(m[1]), std::regex_replace(m[2].str(), std::regex(R"(\\n)"), "\n"), number});
            else if (!line.empty() && line[0] != '$') ADD_FAILURE() << "line " << number << " is not `number \"text\"`: " << line;
        }
        return out;
    }();
    return read;
}

// The entry as called with `args` strings: itself only when it asks for no more than that.
std::string used(int set, int number, int args) { return catalog_text(set, number, "<not used>", args); }

}  // namespace

TEST(CatalogFile, EveryEntryIsStoredAsWrittenWithOnlyStringConversions) {
    ASSERT_GT(entries().size(), 50u);
    for (size_t i = 0; i < entries().size(); ++i) {
        const Entry &e = entries()[i];
        SCOPED_TRACE(testing::Message() << "set " << e.set << " number " << e.number << " (line " << e.line << ")");
        // Pairs ascend: a repeated one would silently replace the earlier text in the catalog.
        EXPECT_TRUE(i == 0 || std::pair(entries()[i - 1].set, entries()[i - 1].number) < std::pair(e.set, e.number));
        // Any other backslash would be read by gencat differently from what was meant.
        EXPECT_FALSE(contains(e.text, "\\"));
        EXPECT_EQ(used(e.set, e.number, 9), e.text);
    }
}

TEST(CatalogFile, EveryHelpNumberOfTheDialogsHasItsOwnText) {
    // The dialogs' help topics (address book 1, matching names 2, main window 3, window status
    // 5, matching files 6) and their controls' item numbers, as the dialogs hand them over.
    std::vector<int> numbers = {1, 2, 3, 5, 6, 500, 501, 503, 504, 505};
    for (int base : {100, 200, 300, 600})
        for (int k = 0; k <= (base == 100 ? 5 : base == 300 ? 6 : 4); ++k) numbers.push_back(base + k);
    for (int n : numbers) {
        const std::string text = used(6, n, 9);
        EXPECT_GT(text.size(), std::string("<not used>").size()) << "help number " << n << ": " << text;
        EXPECT_FALSE(contains(text, "No Help Available")) << n;
    }
}

TEST(CatalogFile, EntriesFitTheirCallers) {
    // Each entry with exactly the strings its caller passes (the refused connections' report two,
    // the version text five, notices shown without arguments none): with more, the catalog text
    // would be passed over for the default.
    for (auto [set, number, args] : {std::tuple{2, 2, 2}, {2, 4, 2}, {6, 7, 5}, {1, 2, 0}, {1, 3, 0}, {1, 7, 0},
                                     {2, 8, 0}, {2, 17, 0}, {4, 1, 0}, {5, 6, 0}, {5, 10, 0}, {5, 12, 0},
                                     {2, 33, 2}, {2, 34, 3}, {2, 35, 2}, {2, 36, 0}, {2, 37, 1}, {6, 8, 1}}) {
        SCOPED_TRACE(std::to_string(set) + "/" + std::to_string(number));
        EXPECT_NE(used(set, number, args), "<not used>");
        if (args > 0) {
            EXPECT_EQ(used(set, number, args - 1), "<not used>");
        }
    }
}
