// Canonical address texts, own-display tests and the file timestamps.
#include <gtest/gtest.h>

#include "registry/host_identity.h"

#include "core/startup.h"
#include "process.h"

#include <utime.h>

using telvane::testing::ScratchDir;
using telvane::testing::write_file;

TEST(CanonicalAddress, DisplayAndScreenDefaultToZeroAndWhatCannotBeNamedIsRefused) {
    const std::pair<const char *, const char *> cases[] = {
        {"10.1.2.3", "10.1.2.3:0.0"}, {"10.1.2.3:2", "10.1.2.3:2.0"}, {"localhost:3.0", "127.0.0.1:3.0"},
        {"10.1.2.3:1234567.1", "10.1.2.3:1234567.1"}, {nullptr, nullptr}, {"nosuchhost.invalid:0", nullptr},
        // 255.255.255.255 with ten-digit numbers would need 33 characters.
        {"255.255.255.254:2147483647.2147483647", nullptr}, {"10.1.2.3:99999999999999999999", nullptr},
    };
    for (auto [typed, want] : cases) EXPECT_STREQ(get_ip_name(typed), want) << (typed ? typed : "null");
    EXPECT_EQ(get_ip_num("192.168.0.1"), 0x0100a8c0u);  // network order
    EXPECT_EQ(create_hostatom("10.1.2.3:0", nullptr), static_cast<Atom>(-1));
}

TEST(OwnDisplay, MatchesEveryLocalFormAndTheSender) {
    char name[] = "myhost:3", local[] = "local:3", unix_name[] = "unix:3", shm[] = "shmlink:3", null_name[] = ":3";
    my_display_name = name;
    my_local_display_name = local;
    my_unix_display_name = unix_name;
    my_shmlink_display_name = shm;
    my_null_display_name = null_name;
    // Display 3 is not display 31.
    for (auto [typed, want] : {std::pair{"myhost:3.0", 1}, {":3.0", 1}, {"unix:3", 1}, {"myhost:4.0", 0},
                               {"otherhost:3.0", 0}, {"myhost:31.0", 0}})
        EXPECT_EQ(is_this_us(typed), want) << typed;
    my_display_name = my_local_display_name = my_unix_display_name = nullptr;
    my_shmlink_display_name = my_null_display_name = nullptr;

    // No sender, an empty one, a display, and the host alone as the server writes it.
    char empty[] = "", sender[] = "hostb:0", bare[] = "hostb";
    const std::tuple<char *, const char *, int> senders[] = {{nullptr, "anything:0", 0}, {empty, "anything:0", 0},
                                                             {sender, "hostb:0.0", 1},   {sender, "hostc:0.0", 0},
                                                             {bare, "hostb:4.0", 1},     {bare, "hostbc:0.0", 0}};
    for (auto [from, typed, want] : senders) {
        sending_hostname = from;
        EXPECT_EQ(is_this_sender(typed), want) << (from ? from : "null") << " " << typed;
    }
    sending_hostname = nullptr;
}

TEST(FileTests, KindsAndTimestamps) {
    ScratchDir dir;
    std::string file = dir.file("book");
    write_file(file, "h:0 Somebody\n");
    for (auto [path, is_file, is_dir] : {std::tuple{file, 1, 0}, {dir.path(), 0, 1}, {dir.file("missing"), 0, 0}}) {
        EXPECT_EQ(std::pair(legal_file(path.c_str()), legal_directory(path.c_str())), std::pair(is_file, is_dir));
        EXPECT_EQ(legal_anything(path.c_str()), is_file | is_dir) << path;
    }

    // A file is current once seen, until its time changes; another path is a change of file.
    char *saved = nullptr;
    time_t when = 0;
    EXPECT_EQ(timestamp_current(file.c_str(), &saved, &when), 0);
    EXPECT_EQ(timestamp_current(file.c_str(), &saved, &when), 1);
    struct utimbuf later{when + 10, when + 10};
    utime(file.c_str(), &later);
    EXPECT_EQ(timestamp_current(file.c_str(), &saved, &when), 0);
    write_file(dir.file("other"), "");
    utime(dir.file("other").c_str(), &later);
    EXPECT_EQ(timestamp_current(dir.file("other").c_str(), &saved, &when), 0);
    clear_timestamp_current(&saved, &when);
    EXPECT_EQ(saved, nullptr);

    // A missing file seen missing before counts as unchanged.
    time_t missing_time = 0;
    EXPECT_EQ(timestamp_current(dir.file("gone").c_str(), nullptr, &missing_time), 1);
}
