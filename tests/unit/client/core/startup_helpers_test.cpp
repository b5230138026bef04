// Start-up helpers: word lists, truth words, and the names derived from the display's name.
#include <gtest/gtest.h>

#include "core/startup.h"

#include "core/cstring.h"

#include <string>
#include <vector>

TEST(NameLists, SplitAtBlanksAndTabsAndGrowByEight) {
    char **words = nullptr;
    int count = -1;
    EXPECT_EQ(add_xxnames(nullptr, &words, &count), 0);
    EXPECT_EQ(add_xxnames("", &words, &count), 0);
    EXPECT_EQ(count, -1) << "a refused value changes nothing";

    std::string many;
    std::vector<std::string> many_words;
    for (int i = 0; i < 20; ++i) {
        many += "\tw" + std::to_string(i) + "  ";
        many_words.push_back("w" + std::to_string(i));
    }
    const std::pair<const char *, std::vector<std::string>> cases[] = {
        {"xterm  xclock", {"xterm", "xclock"}},
        {" xterm", {"xterm"}},
        {"\t\txterm\t", {"xterm"}},
        {"  xterm \t  xclock  ", {"xterm", "xclock"}},
        {" \t ", {}},
        {many.c_str(), many_words},
    };
    for (const auto &[value, want] : cases) {
        ASSERT_EQ(add_xxnames(value, &words, &count), 1) << value;
        EXPECT_EQ(std::vector<std::string>(words, words + count), want) << value;
        // The words live in one copy that starts at the first of them, as add_xxhosts frees it.
        if (count > 0) free(words[0]);
        free(words);
    }
}

TEST(TrueValue, OnlyTheSixWordsAreTrue) {
    for (const char *yes : {"TRUE", "True", "true", "YES", "Yes", "yes"}) EXPECT_EQ(true_value(yes), 1);
    for (const char *no : {"on", "1", "tRUE", "yes ", "", "false"}) EXPECT_EQ(true_value(no), 0) << no;
    EXPECT_EQ(true_value(nullptr), 0);
}

TEST(DisplayNames, NumberAndHostFollowTheLocalForms) {
    for (auto [name, number] : {std::pair{"term12:3.0", 3}, {":7", 7}, {"host:12.0", 12}, {":101", 101}, {"host", 0},
                                {"host:x", 0}})
        EXPECT_EQ(display_number_of(name), number) << name;
    // A local form gives this machine's name in lower case (ASCII only), cut to 95 characters.
    const std::string long_machine(98, 'M'), cut(95, 'm');
    const struct {
        const char *name, *machine, *host;
    } hosts[] = {{"term12:3.0", "machine", "term12"},      {"unix:3", "MyMachine", "mymachine"},
                 {":3", "Term12:3.0 ÄB", "term12:3.0 Äb"}, {"local:0", "MyMachine", "mymachine"},
                 {"shmlink:1", "MyMachine", "mymachine"},   {":0", long_machine.c_str(), cut.c_str()},
                 {"nohostcolon", "m", "nohostcolon"}};
    for (const auto &h : hosts) EXPECT_STREQ(CString(display_host_of(h.name, h.machine)).get(), h.host) << h.name;
}
