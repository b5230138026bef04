// The private folder and its files: path codes, the log file and the preference file.
#include <gtest/gtest.h>

#include "core/log.h"
#include "core/paths.h"
#include "core/preferences.h"

#include "core/cstring.h"
#include "home_fixture.h"

#include <filesystem>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using telvane::testing::read_file;
using telvane::testing::write_file;

namespace {

class LogFile : public ScratchHome {};

class PreferenceFile : public ScratchHome {
protected:
    void SetUp() override {
        ScratchHome::SetUp();
        mkdir(private_dir().c_str(), 0755);
        load_compiled_preferences();
        inactivity_timeout = prog_preference[34];
    }
    void write_setup(const std::string &text) { write_file(private_dir() + "/.setup", text); }
    // What the file sets, in its order: case, highlight, input, dialog level, search level and
    // the input delay.
    static std::vector<int> values() {
        return {user_preference.case_insensitive, user_preference.automatic_highlight, user_preference.allow_input,
                user_preference.dialog_level, user_preference.search_level, inactivity_timeout};
    }
};

class PathCodes : public ScratchHome {};

}  // namespace

// Parts joined by one "/", leaving out empty and missing ones (the book folder's "", no name, no HOME).
TEST_F(PathCodes, EveryCodeHasItsFolderMadeOnceWhereNothingElseStands) {
    const std::string home = home_.path();
    // Code, name and path; an empty path: none for the code.
    const std::tuple<int, const char *, std::string> cases[] = {
        {17, "Default", home + "/.Telvane/Default"}, {49, ".setup", home + "/.Telvane/.setup"},
        {18, "Default", "/usr/lib/X11/Telvane/address_books/Default"},
        {19, nullptr, "/etc/opt/Telvane/address_books"}, {20, "x", ""}};
    for (const auto &[code, name, path] : cases) {
        CString p(generate_path(code, name));
        EXPECT_EQ(p ? p.get() : "", path) << code;
    }
    EXPECT_EQ(make_directory_if_needed(17), 1);
    EXPECT_TRUE(std::filesystem::is_directory(private_dir()));
    EXPECT_EQ(make_directory_if_needed(49), 1);
    EXPECT_EQ(make_directory_if_needed(18), 1);
    // Not even root can make folders below a device.
    setenv("HOME", "/dev/null", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(make_directory_if_needed(49), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "Could not create directory '/dev/null/.Telvane'"));
    unsetenv("HOME");
    EXPECT_STREQ(CString(generate_path(17, nullptr)).get(), ".Telvane");
}

TEST_F(LogFile, LinesOnlyAtDiagnosticLevelWithACtimeStampAndEveryArgumentAlsoAfterAReopen) {
    user_preference.dialog_level = 3;
    EXPECT_EQ(log_msg0("quiet"), 1);
    user_preference.dialog_level = 4;
    max_logfile_size = 0;
    EXPECT_EQ(log_msg0("off"), 1);
    max_logfile_size = 32768;
    EXPECT_EQ(log_msg1("Startup of Telvane to display '%s'", "host:1"), 1);
    std::regex line(R"(^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9]\d \d\d:\d\d:\d\d   Startup of Telvane to display 'host:1'\n$)");
    EXPECT_TRUE(std::regex_match(log_text(), line)) << log_text();
    // Closing forgets the file; the next line opens it again and goes after the first.
    logfile_close();
    log_msg2n1("X Error Detected.  Error Code %d  Request Code %d  '%s'", 8, 42, "BadMatch");
    EXPECT_TRUE(contains(log_text(), "display 'host:1'\n") &&
                log_text().ends_with("  X Error Detected.  Error Code 8  Request Code 42  'BadMatch'\n")) << log_text();
}

TEST_F(LogFile, TrimmingKeepsTheNewestWholeLines) {
    // 40000 bytes of numbered lines, each 42 bytes long.
    std::string old;
    for (int i = 0; old.size() < 40000; ++i) old += "line " + std::to_string(100000 + i) + " .............................\n";
    old.resize(40000);
    std::filesystem::create_directory(private_dir());
    write_file(private_dir() + "/.logfile", old);
    EXPECT_EQ(log_msg0("after trimming"), 1);
    const std::string text = log_text(), kept = old.substr(old.find('\n', 40000 - 16384) + 1);
    EXPECT_TRUE(text.starts_with(kept));
    EXPECT_NE(text.find("  after trimming\n", kept.size()), std::string::npos);
    EXPECT_LT(text.size(), 16384u + 100u);
}

// What a file does not give keeps the compiled default.
TEST_F(PreferenceFile, ReadingKeepsTheDefaultsForWhatTheFileDoesNotGive) {
    // What the file holds, if there is one, use_user_defaults's result and the values then.
    const std::tuple<const char *, std::optional<std::string>, int, std::vector<int>> cases[] = {
        {"missing", std::nullopt, 0, {1, 1, 0, 3, 3, 5}},
        {"all six", "0 2 1 4 1 20 ", 1, {0, 2, 1, 4, 1, 20}},
        {"short", "0 2", 1, {0, 2, 0, 3, 3, 5}},
        {"stops at a bad word", "1 x 1 1 1 1", 1, {1, 1, 0, 3, 3, 5}},
    };
    for (const auto &[name, file, read, want] : cases) {
        SCOPED_TRACE(name);
        load_compiled_preferences();
        inactivity_timeout = prog_preference[34];
        unlink((private_dir() + "/.setup").c_str());
        if (file) write_setup(*file);
        EXPECT_EQ(use_user_defaults(), read);
        EXPECT_EQ(values(), want);
    }
}

TEST_F(PreferenceFile, OutOfRangeValuesAreReplacedAndLogged) {
    // Dialog level 4 comes first in the file's order of checks, so the lines are logged.
    write_setup("-1 7 2 4 0 51");
    EXPECT_EQ(use_user_defaults(), 1);
    EXPECT_EQ(values(), (std::vector<int>{1, 1, 0, 4, 3, 5}));
    for (const char *name : {"CASE_INSENSITIVE", "AALLOW_INPUT", "Time Between Users Inputs"})
        EXPECT_TRUE(contains(log_text(), std::string("User preference file '") + name + "' value out of range, using DEFAULT"));
    EXPECT_FALSE(contains(log_text(), "DIALOG_LEVEL"));

    // A bad dialog level falls back to diagnostic, not to the compiled default.
    write_setup("1 1 0 9 3 5");
    use_user_defaults();
    EXPECT_EQ(user_preference.dialog_level, 4);
    EXPECT_TRUE(contains(log_text(), "'DIALOG_LEVEL' value out of range"));
}

TEST_F(PreferenceFile, SaveWritesWhatReadingGivesBackOrFailsWhereNoFolderCanBeMade) {
    user_preference = {0, 2, 1, 2, 1};
    inactivity_timeout = 17;
    ASSERT_EQ(save_user_defaults(), 1);
    EXPECT_EQ(read_file(private_dir() + "/.setup"), "0 2 1 2 1 17 ");

    std::filesystem::remove_all(private_dir());
    write_file(private_dir(), "not a folder");
    testing::internal::CaptureStderr();
    EXPECT_EQ(save_user_defaults(), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Expected Directory '" + private_dir() + "' is NOT a directory"));
}

TEST_F(PreferenceFile, SetLoggingRemembersTheLevel) {
    // Each call in turn: on, on again, off, a bad value; 0 when the level changed.
    user_preference.dialog_level = 2;
    for (auto [on, result, level] : {std::tuple{1, 0, 4}, {1, 1, 4}, {0, 0, 2}, {7, 1, 2}}) {
        EXPECT_EQ(setLogging(on), result) << on;
        EXPECT_EQ(user_preference.dialog_level, level) << on;
    }
}
