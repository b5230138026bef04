// Catalog texts: entries override defaults, empty and unsafe entries fall back.
#include <gtest/gtest.h>

#include "core/messages.h"
#include "home_fixture.h"

#include "core/cstring.h"
#include "process.h"

#include <cstdlib>

namespace {

const std::string kBuiltCatalog = telvane::testing::build_path("resources/%N.cat");
// Set before any test opens the catalog, so that the binary gives the same results run by hand
// as under ctest.
const bool catalog_path_set = setenv("NLSPATH", kBuiltCatalog.c_str(), 1) == 0;

// Closes the program's catalog; the next text is looked for through `nlspath`.
void use_catalog(const std::string &nlspath) {
    close_message_catalog();
    setenv("NLSPATH", nlspath.c_str(), 1);
}

}  // namespace

TEST(Catalog, EntryOrDefaultFormattedWithStringArgumentsOnly) {
    // Without a presenter the formatted entry goes to standard error.
    testing::internal::CaptureStderr();
    print_message1(0, 5, 8, "unused", "host:3");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "X-Server 'host:3' does not support sharing\n");
    EXPECT_STREQ(catalog_text(77, 1, "only the default", 0), "only the default");
    // The entry for set 199 has one "%s"; asked for none, the default must be used.
    EXPECT_STREQ(catalog_text(199, 199, "plain", 0), "plain");

    CString a(format_message("Connections refused by:\n%s\n\nTry %s", "hostb", "me", nullptr));
    EXPECT_STREQ(a.get(), "Connections refused by:\nhostb\n\nTry me");
    CString b(format_message("100%% %s", nullptr, nullptr, nullptr));
    EXPECT_STREQ(b.get(), "100% ");
    // A stray conversion is shown as text instead of reading missing arguments.
    CString c(format_message("bad %d %n", "x", nullptr, nullptr));
    EXPECT_STREQ(c.get(), "bad %d %n");
}

TEST(Catalog, AnEmptyEntryFallsBackAndAFilledOneOverrides) {
    telvane::testing::ScratchDir dir;
    telvane::testing::write_file(dir.file("Telvane.msg"), "$quote \"\n$set 3\n1 \"\"\n2 \"Over %s\"\n");
    ASSERT_EQ(system(("gencat " + dir.file("Telvane.cat") + " " + dir.file("Telvane.msg")).c_str()), 0);
    use_catalog(dir.file("%N.cat"));
    EXPECT_STREQ(catalog_text(3, 1, "Default one", 0), "Default one");
    EXPECT_STREQ(catalog_text(3, 2, "Default %s", 1), "Over %s");
    EXPECT_STREQ(catalog_text(3, 3, "Missing", 0), "Missing");
    use_catalog(kBuiltCatalog);
}

class NoCatalog : public ScratchHome {};

TEST_F(NoCatalog, DefaultsAreUsedAndOneLineIsLogged) {
    user_preference.dialog_level = 4;
    use_catalog(home_.file("nowhere/%N.cat"));
    EXPECT_STREQ(catalog_text(5, 8, "Default %s", 1), "Default %s");
    EXPECT_STREQ(catalog_text(2, 2, "Other", 0), "Other");
    std::string log = log_text();
    size_t first = log.find("Could not open Message Catalog 'Telvane.cat'");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("Could not open Message Catalog", first + 1), std::string::npos);
    use_catalog(kBuiltCatalog);
}
