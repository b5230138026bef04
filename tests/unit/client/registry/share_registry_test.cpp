// The share registry: tags and windows, newest first, cleanup, daisy list and sender status.
#include <gtest/gtest.h>

#include "registry/share_registry.h"

#include <vector>

namespace {

class Registry : public ::testing::Test {
protected:
    void TearDown() override {
        while (first_tag) delete_tag(first_tag->tag);
        while (daisy_allowed_count) delete_daisy_allowed(daisy_allowed[0]);
    }
    static constexpr uint32_t HA = 501, HB = 502;
};

// getSenderStatus's count and the ids of its list in order; the list is freed.
std::pair<int, std::vector<uint32_t>> sender_status(uint32_t window, uint32_t host) {
    SenderStatus *list = nullptr;
    const int count = getSenderStatus(window, host, &list);
    std::vector<uint32_t> ids;
    for (SenderStatus *s = list; s; s = s->next) ids.push_back(s->id);
    freeSenderStatus(list);
    return {count, ids};
}

}  // namespace

TEST_F(Registry, KnownTagKeepsItsFirstHostAndDetail) {
    EXPECT_EQ(add_window(HA, 7, 0x100, 1, 0x100), 1);
    EXPECT_EQ(add_window(HA, 7, 0x100, 1, 0x100), 0);
    EXPECT_EQ(add_window(HB, 7, 0x101, 0, 0x999), 1);
    uint32_t picked = 0, detail = 9;
    EXPECT_EQ(find_tag_window(7, &picked, &detail), 1);
    EXPECT_EQ(std::tuple(find_tag(7)->host, picked, detail), std::tuple(HA, 0x100u, 1u));
}

TEST_F(Registry, LastWindowTakesItsTagAlongAndAReceiversTagsGoWithoutTheOthers) {
    add_window(HA, 1, 0x100, 1, 0);
    add_window(HA, 1, 0x101, 1, 0);
    EXPECT_EQ(delete_window(HA, 1, 0x100), 1);
    EXPECT_EQ(find_is_host_sharing(HA), 1);
    EXPECT_EQ(delete_window(HA, 9, 0x101), 0);
    EXPECT_EQ(delete_window(HA, 1, 0x101), 1);
    EXPECT_EQ(find_tag(1), nullptr);
    EXPECT_EQ(find_is_host_sharing(HA), 0);

    // Deleting a receiver's tags leaves the others.
    add_window(HA, 1, 0x100, 0, 0);
    add_window(HA, 1, 0x101, 0, 0);
    add_window(HB, 2, 0x100, 1, 0);
    add_window(HA, 3, 0x102, 1, 0);
    static int windows_of_b;
    windows_of_b = 0;  // also when the test is repeated
    for_all_host_windows(HB, [](uint32_t, uint32_t, uint32_t, uint32_t) { ++windows_of_b; });
    EXPECT_EQ(windows_of_b, 1) << "only that receiver's windows";
    delete_all_host_tags(HA);
    EXPECT_EQ(find_is_host_sharing(HA), 0);
    EXPECT_EQ(find_window(0, 0x100), 1);
    // Iterating a host's tags may delete them.
    add_window(HB, 4, 0x103, 1, 0);
    for_all_host_tags(HB, [](uint32_t tag, uint32_t, uint32_t) { delete_tag(tag); });
    EXPECT_EQ(first_tag, nullptr);
}

TEST_F(Registry, DaisyListRefusesRepeatsAndFillsHolesFromTheEnd) {
    for (uint32_t w = 1; w <= 11; ++w) EXPECT_EQ(add_daisy_allowed(w), 1);
    EXPECT_EQ(add_daisy_allowed(5), 0);
    EXPECT_EQ(delete_daisy_allowed(5), 1);
    EXPECT_EQ(delete_daisy_allowed(5), 0);
    EXPECT_EQ(std::vector<uint32_t>(daisy_allowed, daisy_allowed + daisy_allowed_count),
              (std::vector<uint32_t>{1, 2, 3, 4, 11, 6, 7, 8, 9, 10}));
}

TEST_F(Registry, LookupsSeeTheNewestTagFirstAndSenderStatusHasFourShapes) {
    add_window(HA, 1, 0x100, 1, 0);
    add_window(HA, 2, 0x101, 0, 0);
    add_window(HA, 2, 0x100, 0, 0);
    add_window(HB, 3, 0x100, 1, 0);
    EXPECT_EQ(find_host_window_tag(HA, 0x100), 2u);
    EXPECT_EQ(find_window(0, 0x100), 3);

    // Every receiver once, though HA has two tags; a window under two tags of one host is listed
    // twice. The order is the reverse of the walk.
    EXPECT_EQ(sender_status(0, 0), std::pair(2, std::vector<uint32_t>{HA, HB}));
    EXPECT_EQ(sender_status(0, HA), std::pair(3, std::vector<uint32_t>{0x100, 0x101, 0x100}));
    EXPECT_EQ(sender_status(0x100, 0), std::pair(3, std::vector<uint32_t>{HA, HA, HB}));
    EXPECT_EQ(sender_status(0x101, HA), std::pair(1, std::vector<uint32_t>{0x101}));
    EXPECT_EQ(sender_status(0x101, HB), std::pair(0, std::vector<uint32_t>{}));
}
