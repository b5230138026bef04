// The shipped message catalog: every entry of resources/Telvane.msg reaches the compiled
// catalog as written, uses only "%s" conversions, and fits what its callers pass.
#include <gtest/gtest.h>

#include "core/cstring.h"
#include "core/messages.h"
#include "process.h"
#include "text_checks.h"

#include <nl_types.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

using telvane::testing::contains;

namespace {

struct Entry {
    int set;
    int number;
    std::string text;  // with gencat's escapes resolved
    int line;          // in the source file, for failure messages
};

// Resolves the escapes the catalog source uses. Anything else is reported, so that a text
// gencat would read differently from what was meant does not slip through.
std::string unescape(const std::string &raw, int line) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        if (++i == raw.size()) {
            ADD_FAILURE() << "line " << line << ": text ends in a backslash";
            break;
        }
        switch (raw[i]) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        default: ADD_FAILURE() << "line " << line << ": unexpected escape \\" << raw[i];
        }
    }
    return out;
}

// Reads the catalog source: "$set N" starts a set, other "$" lines are comments or
// directives, and each message is `number "text"` on one line.
std::vector<Entry> read_catalog_source() {
    const std::string path = std::string(TELVANE_SOURCE_DIR) + "/resources/Telvane.msg";
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    static const std::regex message(R"re(([0-9]+) +"(.*)")re");
    std::vector<Entry> entries;
    int set = 0, line_number = 0;
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        ++line_number;
        if (line.rfind("$set ", 0) == 0)
            set = std::atoi(line.c_str() + 5);
        else if (std::regex_match(line, m, message))
            entries.push_back({set, std::stoi(m[1]), unescape(m[2], line_number), line_number});
        else if (!line.empty() && line[0] != '$')
            ADD_FAILURE() << "line " << line_number << " is not `number \"text\"`: " << line;
    }
    return entries;
}

// Number of "%s" in `text`; -1 when it holds any other conversion ("%%" is plain text).
int string_conversions(const std::string &text) {
    int count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (++i == text.size()) return -1;
        if (text[i] == '%') continue;
        if (text[i] != 's') return -1;
        ++count;
    }
    return count;
}

class CatalogFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("NLSPATH", telvane::testing::build_path("resources/%N.cat").c_str(), 1);
        catalog_ = catopen("Telvane", 0);
        entries_ = read_catalog_source();
    }
    static void TearDownTestSuite() {
        if (catalog_ != reinterpret_cast<nl_catd>(-1)) catclose(catalog_);
    }

    const Entry *find(int set, int number) const {
        for (const Entry &e : entries_)
            if (e.set == set && e.number == number) return &e;
        return nullptr;
    }

    static inline nl_catd catalog_ = reinterpret_cast<nl_catd>(-1);
    static inline std::vector<Entry> entries_;
};

constexpr const char *kMissing = "<no entry>";

TEST_F(CatalogFile, EveryEntryIsStoredAsWritten) {
    ASSERT_NE(catalog_, reinterpret_cast<nl_catd>(-1)) << "the built catalog does not open";
    ASSERT_GT(entries_.size(), 50u);
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry &e = entries_[i];
        SCOPED_TRACE("set " + std::to_string(e.set) + " number " + std::to_string(e.number) +
                     " (line " + std::to_string(e.line) + ")");
        // Sets ascend and numbers ascend within a set: a repeated pair would silently replace
        // the earlier text in the compiled catalog.
        if (i > 0) {
            const Entry &before = entries_[i - 1];
            EXPECT_TRUE(before.set < e.set || (before.set == e.set && before.number < e.number));
        }
        EXPECT_GT(e.set, 0);
        EXPECT_GT(e.number, 0);
        EXPECT_EQ(std::string(catgets(catalog_, e.set, e.number, kMissing)), e.text);
    }
}

TEST_F(CatalogFile, EveryHelpNumberOfTheDialogsHasItsOwnText) {
    // The dialogs' help topics (address book 1, matching names 2, main window 3, window status
    // 5, matching files 6) and their controls' item numbers, as the dialogs hand them over.
    std::vector<int> numbers = {1, 2, 3, 5, 6, 500, 501, 503, 504, 505};
    for (int base : {100, 200, 300, 600})
        for (int k = 0; k <= (base == 100 ? 5 : base == 300 ? 6 : 4); ++k) numbers.push_back(base + k);
    for (int n : numbers) {
        const Entry *e = find(6, n);
        ASSERT_NE(e, nullptr) << "help number " << n << " has no text";
        EXPECT_FALSE(contains(e->text, "No Help Available")) << n;
        EXPECT_GT(e->text.size(), 10u) << n;
    }
}

TEST_F(CatalogFile, EntriesUseOnlyStringConversions) {
    // The message functions format every text with string arguments only; any other
    // conversion would read an argument of the wrong type.
    for (const Entry &e : entries_) {
        EXPECT_GE(string_conversions(e.text), 0)
            << "set " << e.set << " number " << e.number << ": " << e.text;
    }
}

TEST_F(CatalogFile, EntriesFitTheirCallers) {
    // The refused-connections report passes the receivers first and this display's host
    // second.
    CString refused(format_message(catalog_text(2, 2, "unused %s %s", 2), "hostb", "mine", nullptr));
    EXPECT_STREQ(refused.get(),
                 "Connections refused by:\nhostb\n\nTry using:\n/usr/bin/X11/xhost mine\n"
                 "on the remote machine.");

    // The refusal of a second row for the same display names the new line, then the old one.
    const Entry *same_display = find(2, 4);
    ASSERT_NE(same_display, nullptr);
    EXPECT_EQ(string_conversions(same_display->text), 2);

    // Number 11 of set 2 serves several "Nobody Selected to ..." notices; with any text there
    // they would all say the same thing.
    EXPECT_EQ(find(2, 11), nullptr);
    EXPECT_STREQ(catalog_text(2, 11, "Nobody Selected to Move", 0), "Nobody Selected to Move");
    EXPECT_STREQ(catalog_text(2, 11, "Nobody Selected to Unshare From", 0),
                 "Nobody Selected to Unshare From");

    // The version text is laid out by this entry unchecked, with exactly five strings.
    const Entry *version = find(6, 7);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(string_conversions(version->text), 5);

    // Notices shown without arguments must not ask for one, or the catalog text is passed
    // over for the default.
    for (auto [set, number] : {std::pair{1, 2}, {1, 3}, {1, 7}, {2, 8}, {2, 17}, {4, 1},
                               {5, 6}, {5, 10}, {5, 12}}) {
        const Entry *e = find(set, number);
        ASSERT_NE(e, nullptr) << set << "/" << number;
        EXPECT_EQ(string_conversions(e->text), 0) << set << "/" << number;
        EXPECT_EQ(std::string(catalog_text(set, number, kMissing, 0)), e->text);
    }
}

}  // namespace
