// The preference file: reading with range checks, bad and short files, saving, logging switch.
#include <gtest/gtest.h>

#include "core/preferences.h"

#include "home_fixture.h"
#include "core/paths.h"

#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using telvane::testing::write_file;
using telvane::testing::read_file;

namespace {

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

}  // namespace

// What a file does not give keeps the compiled default.
TEST_F(PreferenceFile, ReadingKeepsTheDefaultsForWhatTheFileDoesNotGive) {
    const struct {
        const char *name;
        std::optional<std::string> file;
        int read;
        std::vector<int> values;
    } cases[] = {
        {"missing", std::nullopt, 0, {1, 1, 0, 3, 3, 5}},
        {"all six", "0 2 1 4 1 20 ", 1, {0, 2, 1, 4, 1, 20}},
        {"short", "0 2", 1, {0, 2, 0, 3, 3, 5}},
        {"stops at a bad word", "1 x 1 1 1 1", 1, {1, 1, 0, 3, 3, 5}},
        {"binary", std::string("\x01\xff\x7f garbage \0\0 99999999999999999999", 35), 1, {1, 1, 0, 3, 3, 5}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        load_compiled_preferences();
        inactivity_timeout = prog_preference[34];
        unlink((private_dir() + "/.setup").c_str());
        if (c.file) write_setup(*c.file);
        EXPECT_EQ(use_user_defaults(), c.read);
        EXPECT_EQ(values(), c.values);
    }
    EXPECT_EQ(prog_preference[18], 1);  // load the default list at start-up
}

TEST_F(PreferenceFile, OutOfRangeValuesAreReplacedAndLogged) {
    // Dialog level 4 comes first in the file's order of checks, so the lines are logged.
    write_setup("-1 7 2 4 0 51");
    EXPECT_EQ(use_user_defaults(), 1);
    EXPECT_EQ(values(), (std::vector<int>{1, 1, 0, 4, 3, 5}));
    for (const char *name : {"CASE_INSENSITIVE", "AUTOMATIC_HIGHLIGHT", "AALLOW_INPUT", "SEARCH_LEVEL",
                             "Time Between Users Inputs"})
        EXPECT_TRUE(
            contains(log_text(), std::string("User preference file '") + name + "' value out of range, using DEFAULT"));
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
    load_compiled_preferences();
    inactivity_timeout = 5;
    ASSERT_EQ(use_user_defaults(), 1);
    EXPECT_EQ(values(), (std::vector<int>{0, 2, 1, 2, 1, 17}));

    std::filesystem::remove_all(private_dir());
    write_file(private_dir(), "not a folder");
    testing::internal::CaptureStderr();
    EXPECT_EQ(save_user_defaults(), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "is NOT a directory"));
}

TEST_F(PreferenceFile, SetLoggingRemembersTheLevel) {
    user_preference.dialog_level = 2;
    EXPECT_EQ(setLogging(1), 0);
    EXPECT_EQ(user_preference.dialog_level, 4);
    EXPECT_EQ(setLogging(1), 1);
    EXPECT_EQ(setLogging(0), 0);
    EXPECT_EQ(user_preference.dialog_level, 2);
    EXPECT_EQ(setLogging(0), 1);
    EXPECT_EQ(setLogging(7), 1);
    EXPECT_EQ(user_preference.dialog_level, 2);
}
