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

    struct Case {
        const char *value;
        std::vector<std::string> words;
    };
    std::string many;
    std::vector<std::string> many_words;
    for (int i = 0; i < 20; ++i) {
        many += "\tw" + std::to_string(i) + "  ";
        many_words.push_back("w" + std::to_string(i));
    }
    const Case cases[] = {
        {"xterm  xclock", {"xterm", "xclock"}},
        {" xterm", {"xterm"}},
        {"\t\txterm\t", {"xterm"}},
        {"  xterm \t  xclock  ", {"xterm", "xclock"}},
        {" \t ", {}},
        {many.c_str(), many_words},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(add_xxnames(c.value, &words, &count), 1) << c.value;
        ASSERT_EQ(count, static_cast<int>(c.words.size())) << c.value;
        for (int i = 0; i < count; ++i) EXPECT_EQ(words[i], c.words[i]) << c.value;
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

TEST(StrToLower, AsciiInPlace) {
    char text[] = "Term12:3.0 ÄB";
    str2lower(text);
    EXPECT_STREQ(text, "term12:3.0 Äb");
    EXPECT_EQ(str2lower(nullptr), nullptr);
}

TEST(DisplayNames, NumberAndHostFollowTheLocalForms) {
    EXPECT_EQ(display_number_of("term12:3.0"), 3);
    EXPECT_EQ(display_number_of(":7"), 7);
    EXPECT_EQ(display_number_of("host:12.0"), 12);
    EXPECT_EQ(display_number_of(":101"), 101);
    EXPECT_EQ(display_number_of("host"), 0);
    EXPECT_EQ(display_number_of("host:x"), 0);

    CString a(display_host_of("term12:3.0", "machine"));
    EXPECT_STREQ(a.get(), "term12");
    for (const char *local : {"unix:3", ":3", "local:0", "shmlink:1"}) {
        CString b(display_host_of(local, "MyMachine"));
        EXPECT_STREQ(b.get(), "mymachine") << local;
    }
    std::string long_machine(98, 'M');
    CString c(display_host_of(":0", long_machine.c_str()));
    EXPECT_EQ(std::string(c.get()), std::string(95, 'm'));
    CString d(display_host_of("nohostcolon", "m"));
    EXPECT_STREQ(d.get(), "nohostcolon");
}
