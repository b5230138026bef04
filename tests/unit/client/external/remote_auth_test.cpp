// The access file: what each kind of file leaves in the list and says in the log.
#include <gtest/gtest.h>

#include "external/remote_auth.h"
#include "home_fixture.h"

#include <arpa/inet.h>
#include <sys/stat.h>

namespace {

class AccessFile : public ScratchHome {
protected:
    void SetUp() override {
        ScratchHome::SetUp();
        mkdir(private_dir().c_str(), 0755);
    }
    void TearDown() override {
        CLfreeAuthList(&auth_data);
        ScratchHome::TearDown();
    }
    void write(const std::string &text) { telvane::testing::write_file(private_dir() + "/.cmd_access", text); }
    static int records() {
        int n = 0;
        for (AuthRecord *r = auth_data; r; r = r->next) ++n;
        return n;
    }
};

const uint32_t kLocal = inet_addr("127.0.0.1");

}  // namespace

TEST_F(AccessFile, EachKindOfFileLeavesItsListAndLogLine) {
    // The file, initialize_auth_file's result, the records it leaves and its log line.
    const std::tuple<std::string, int, int, const char *> cases[] = {
        {"1204 127.0.0.1\n", 0, 1, "Init REMOTE Access Authorization: OK."},
        {"# only\n   # comments\n\n", 1, 0, "ERROR: Init Authorization: empty_auth_file."},
        {"1204 127.0.0.1#glued\nx 10.0.0.1\n1204 127.0.0.1\n", 0, 2, "Init REMOTE Access Authorization: OK."},
        {"7 no-such-host.invalid\n8 127.0.0.1\n", 1, 1, "ERROR: Init Authorization:Bad_entry[7 no-such-host.invalid\n]."},
        {"5 127.0.0.1", 0, 1, "Init REMOTE Access Authorization: OK."},  // no final newline
    };
    for (const auto &[text, result, count, log] : cases) {
        SCOPED_TRACE(text);
        CLfreeAuthList(&auth_data);
        write(text);
        const size_t logged = log_text().size();  // each case's line, not one an earlier case wrote
        EXPECT_EQ(initialize_auth_file(), result);
        EXPECT_EQ(records(), count);
        EXPECT_TRUE(contains(log_text().substr(logged), log));
    }
    // A line far over 255 characters is cut, its rest not taken for lines of its own.
    write("1 127.0.0.1 " + std::string(600, 'z') + " 2 127.0.0.1\n3 127.0.0.1\n");
    EXPECT_EQ(initialize_auth_file(), 0);
    EXPECT_EQ(records(), 2);
    EXPECT_EQ(verify_auth(3, kLocal), 1);
    EXPECT_EQ(verify_auth(2, kLocal), 0);
    // A file that has gone keeps the list that was loaded.
    unlink((private_dir() + "/.cmd_access").c_str());
    EXPECT_EQ(initialize_auth_file(), 1);
    EXPECT_EQ(records(), 2);
    EXPECT_TRUE(contains(log_text(), "ERROR: Init Authorization: NO_auth_file."));
    EXPECT_TRUE(contains(log_text(), "COMAND LINE:Verify Authorization Status=[1]."));
}
