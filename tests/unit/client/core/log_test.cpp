// The log file: levels, lazy open, line format, trimming to whole lines, reopen after close.
#include <gtest/gtest.h>

#include "core/log.h"

#include "home_fixture.h"

#include <filesystem>
#include <regex>

using telvane::testing::write_file;

namespace {

class LogFile : public ScratchHome {
protected:
    void SetUp() override {
        ScratchHome::SetUp();
        user_preference.dialog_level = 4;
        max_logfile_size = 32768;
    }
};

}  // namespace

TEST_F(LogFile, BelowDiagnosticLevelOrWithoutAUsableHomeNothingIsWritten) {
    user_preference.dialog_level = 3;
    EXPECT_EQ(log_msg0("quiet"), 1);
    user_preference.dialog_level = 4;
    max_logfile_size = 0;
    EXPECT_EQ(log_msg0("off"), 1);
    EXPECT_FALSE(std::filesystem::exists(private_dir() + "/.logfile"));

    max_logfile_size = 32768;
    setenv("HOME", "/dev/null", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_msg0("lost"), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(log_file, nullptr);
}

TEST_F(LogFile, LinesCarryACtimeStampTwoBlanksAndEveryArgumentAlsoAfterAReopen) {
    EXPECT_EQ(log_msg1("Startup of Telvane to display '%s'", "host:1"), 1);
    std::regex line(R"(^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9]\d \d\d:\d\d:\d\d   Startup of Telvane to display 'host:1'\n$)");
    EXPECT_TRUE(std::regex_match(log_text(), line)) << log_text();
    // Closing forgets the file; the next line opens it again and goes after the first.
    logfile_close();
    log_msg2("%s and %s", "a", nullptr);
    log_msg3("%s%s%s", "x", "y", "z");
    log_msg1n("n=%d", -7);
    log_msg2n("%d,%d", 1, 2);
    log_msg4n("%d%d%d%d", 1, 2, 3, 4);
    log_msg5n("%d%d%d%d%d", 1, 2, 3, 4, 5);
    log_msg1n1("window (0x%x) to '%s'", 0x1a, "h:0");
    log_msg2n1("X Error Detected.  Error Code %d  Request Code %d  '%s'", 8, 42, "BadMatch");
    const std::string long_message(300, 'm');
    log_msg0(long_message.c_str());
    const std::string text = log_text();
    EXPECT_TRUE(std::regex_search(text, std::regex("^[^\n]*Startup of Telvane")));
    for (const std::string &want : std::vector<std::string>{"  a and \n", "  xyz\n", "  n=-7\n", "  1,2\n", "  1234\n", "  12345\n",
                                   "  window (0x1a) to 'h:0'\n", "  " + long_message + "\n",
                                   "  X Error Detected.  Error Code 8  Request Code 42  'BadMatch'\n"})
        EXPECT_TRUE(contains(text, want)) << want;
}

TEST_F(LogFile, TrimmingKeepsTheNewestWholeLines) {
    // 40000 bytes of numbered lines, each 42 bytes long.
    std::string old;
    for (int i = 0; old.size() < 40000; ++i) old += "line " + std::to_string(100000 + i) + " .............................\n";
    old.resize(40000);
    std::filesystem::create_directory(private_dir());
    write_file(private_dir() + "/.logfile", old);
    EXPECT_EQ(log_msg0("after trimming"), 1);
    std::string text = log_text();
    std::string kept = old.substr(old.find('\n', 40000 - 16384) + 1);
    ASSERT_GE(text.size(), kept.size());
    EXPECT_EQ(text.substr(0, kept.size()), kept);
    EXPECT_NE(text.find("  after trimming\n", kept.size()), std::string::npos);
    EXPECT_LT(text.size(), 16384u + 100u);
}
