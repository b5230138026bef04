// Canonical address texts, own-display tests and the file timestamps.
#include <gtest/gtest.h>

#include "registry/host_identity.h"

#include "core/startup.h"
#include "process.h"

#include <sys/stat.h>
#include <utime.h>

using telvane::testing::ScratchDir;
using telvane::testing::write_file;

namespace {

std::string ip_name_of(const char *display) {
    const char *text = get_ip_name(display);
    return text ? text : "<none>";
}

}  // namespace

TEST(CanonicalAddress, DisplayAndScreenDefaultToZero) {
    EXPECT_EQ(ip_name_of("10.1.2.3:0.1"), "10.1.2.3:0.1");
    EXPECT_EQ(ip_name_of("10.1.2.3"), "10.1.2.3:0.0");
    EXPECT_EQ(ip_name_of("10.1.2.3:2"), "10.1.2.3:2.0");
    EXPECT_EQ(ip_name_of("localhost:3.0"), "127.0.0.1:3.0");
    EXPECT_EQ(get_ip_num("192.168.0.1"), 0x0100a8c0u);  // network order
}

TEST(CanonicalAddress, RefusesWhatItCannotName) {
    EXPECT_EQ(ip_name_of(""), "<none>");
    EXPECT_EQ(ip_name_of(nullptr), "<none>");
    EXPECT_EQ(ip_name_of("nosuchhost.invalid:0"), "<none>");
    // 255.255.255.255 with ten-digit numbers would need 33 characters.
    EXPECT_EQ(ip_name_of("255.255.255.254:2147483647.2147483647"), "<none>");
    EXPECT_EQ(ip_name_of("10.1.2.3:99999999999999999999"), "<none>");
    EXPECT_EQ(ip_name_of("10.1.2.3:1234567.1"), "10.1.2.3:1234567.1");
    EXPECT_EQ(create_hostatom("10.1.2.3:0", nullptr), static_cast<Atom>(-1));
}

TEST(OwnDisplay, MatchesEveryLocalFormAndTheSender) {
    char name[] = "myhost:3", local[] = "local:3", unix_name[] = "unix:3", shm[] = "shmlink:3",
         null_name[] = ":3";
    my_display_name = name;
    my_local_display_name = local;
    my_unix_display_name = unix_name;
    my_shmlink_display_name = shm;
    my_null_display_name = null_name;
    EXPECT_EQ(is_this_us("myhost:3.0"), 1);
    EXPECT_EQ(is_this_us(":3.0"), 1);
    EXPECT_EQ(is_this_us("unix:3"), 1);
    EXPECT_EQ(is_this_us("myhost:4.0"), 0);
    EXPECT_EQ(is_this_us("otherhost:3.0"), 0);
    EXPECT_EQ(is_this_us("myhost:31.0"), 0) << "display 3 is not display 31";
    my_display_name = my_local_display_name = my_unix_display_name = nullptr;
    my_shmlink_display_name = my_null_display_name = nullptr;

    sending_hostname = nullptr;
    EXPECT_EQ(is_this_sender("anything:0"), 0);
    char empty[] = "";
    sending_hostname = empty;
    EXPECT_EQ(is_this_sender("anything:0"), 0);
    char sender[] = "hostb:0";
    sending_hostname = sender;
    EXPECT_EQ(is_this_sender("hostb:0.0"), 1);
    EXPECT_EQ(is_this_sender("hostc:0.0"), 0);
    char bare[] = "hostb";  // as the server writes it: the host alone
    sending_hostname = bare;
    EXPECT_EQ(is_this_sender("hostb:4.0"), 1);
    EXPECT_EQ(is_this_sender("hostbc:0.0"), 0);
    sending_hostname = nullptr;
}

TEST(FileTests, KindsAndTimestamps) {
    ScratchDir dir;
    std::string file = dir.file("book");
    write_file(file, "h:0 Somebody\n");
    EXPECT_EQ(legal_file(file.c_str()), 1);
    EXPECT_EQ(legal_directory(file.c_str()), 0);
    EXPECT_EQ(legal_directory(dir.path().c_str()), 1);
    EXPECT_EQ(legal_file(dir.path().c_str()), 0);
    EXPECT_EQ(legal_anything(dir.file("missing").c_str()), 0);
    EXPECT_EQ(modified_time(dir.file("missing").c_str()), 0);

    char *saved = nullptr;
    time_t when = 0;
    EXPECT_EQ(timestamp_current(file.c_str(), &saved, &when), 0);
    EXPECT_EQ(timestamp_current(file.c_str(), &saved, &when), 1);
    struct utimbuf later{when + 10, when + 10};
    utime(file.c_str(), &later);
    EXPECT_EQ(timestamp_current(file.c_str(), &saved, &when), 0);
    EXPECT_EQ(timestamp_current(file.c_str(), &saved, &when), 1);
    // Another path with the same time is a change of file.
    std::string other = dir.file("other");
    write_file(other, "");
    utime(other.c_str(), &later);
    EXPECT_EQ(timestamp_current(other.c_str(), &saved, &when), 0);
    clear_timestamp_current(&saved, &when);
    EXPECT_EQ(saved, nullptr);
    EXPECT_EQ(timestamp_current(other.c_str(), &saved, &when), 0);
    clear_timestamp_current(&saved, &when);

    // A missing file seen missing before counts as unchanged.
    time_t missing_time = 0;
    EXPECT_EQ(timestamp_current(dir.file("gone").c_str(), nullptr, &missing_time), 1);
}
