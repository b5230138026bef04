// Path codes and the private folder.
#include <gtest/gtest.h>

#include "core/paths.h"

#include "core/cstring.h"
#include "home_fixture.h"

#include <filesystem>
#include <unistd.h>

TEST(MakemUp, JoinsOnlyNonEmptyParts) {
    EXPECT_STREQ(CString(makem_up("/home/u", ".Telvane", "", "Default")).get(), "/home/u/.Telvane/Default");
    EXPECT_STREQ(CString(makem_up(nullptr, ".Telvane", nullptr, nullptr)).get(), ".Telvane");
    EXPECT_STREQ(CString(makem_up("", nullptr, "", nullptr)).get(), "");
}

class PathCodes : public ScratchHome {};

TEST_F(PathCodes, EveryCodeHasItsFolder) {
    const std::string home = home_.path();
    const struct {
        int code;
        const char *name;
        std::string path;   // empty: no path for the code
    } cases[] = {{17, "Default", home + "/.Telvane/Default"}, {49, ".setup", home + "/.Telvane/.setup"},
                 {18, "Default", "/usr/lib/X11/Telvane/address_books/Default"},
                 {19, nullptr, "/etc/opt/Telvane/address_books"}, {20, "x", ""}};
    for (const auto &c : cases) {
        CString p(generate_path(c.code, c.name));
        EXPECT_EQ(p ? p.get() : "", c.path) << c.code;
    }
    unsetenv("HOME");
    EXPECT_STREQ(CString(generate_path(17, nullptr)).get(), ".Telvane");
}

TEST_F(PathCodes, PrivateFolderIsMadeOnceAndFileInItsPlaceOrAHomeOnADeviceIsRefused) {
    EXPECT_EQ(make_directory_if_needed(17), 1);
    EXPECT_TRUE(std::filesystem::is_directory(private_dir()));
    EXPECT_EQ(make_directory_if_needed(49), 1);
    EXPECT_EQ(make_directory_if_needed(18), 1);

    rmdir(private_dir().c_str());
    telvane::testing::write_file(private_dir(), "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(make_directory_if_needed(49), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Expected Directory '" + private_dir() + "' is NOT a directory"));
    // A home below a device cannot hold folders, even for root.
    setenv("HOME", "/dev/null", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(make_directory_if_needed(49), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "Could not create directory '/dev/null/.Telvane'"));
}
