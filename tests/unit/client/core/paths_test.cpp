// Path codes and the private folder.
#include <gtest/gtest.h>

#include "core/paths.h"

#include "core/cstring.h"
#include "home_fixture.h"

#include <sys/stat.h>

TEST(MakemUp, JoinsOnlyNonEmptyParts) {
    CString a(makem_up("/home/u", ".Telvane", "", "Default"));
    EXPECT_STREQ(a.get(), "/home/u/.Telvane/Default");
    CString b(makem_up(nullptr, ".Telvane", nullptr, nullptr));
    EXPECT_STREQ(b.get(), ".Telvane");
    CString c(makem_up("", nullptr, "", nullptr));
    EXPECT_STREQ(c.get(), "");
}

class PathCodes : public ScratchHome {};

TEST_F(PathCodes, EveryCodeHasItsFolder) {
    std::string home = home_.path();
    CString p17(generate_path(17, "Default"));
    EXPECT_EQ(std::string(p17.get()), home + "/.Telvane/Default");
    CString p49(generate_path(49, ".setup"));
    EXPECT_EQ(std::string(p49.get()), home + "/.Telvane/.setup");
    CString p18(generate_path(18, "Default"));
    EXPECT_STREQ(p18.get(), "/usr/lib/X11/Telvane/address_books/Default");
    CString p19(generate_path(19, nullptr));
    EXPECT_STREQ(p19.get(), "/etc/opt/Telvane/address_books");
    EXPECT_EQ(generate_path(20, "x"), nullptr);
    unsetenv("HOME");
    CString rel(generate_path(17, nullptr));
    EXPECT_STREQ(rel.get(), ".Telvane");
}

TEST_F(PathCodes, PrivateFolderIsMadeOnceAndFileInItsPlaceIsRefused) {
    EXPECT_EQ(make_directory_if_needed(17), 1);
    struct stat st;
    ASSERT_EQ(stat(private_dir().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(make_directory_if_needed(49), 1);
    EXPECT_EQ(make_directory_if_needed(18), 1);

    rmdir(private_dir().c_str());
    telvane::testing::write_file(private_dir(), "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(make_directory_if_needed(49), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Expected Directory '" + private_dir() + "' is NOT a directory"));
}
