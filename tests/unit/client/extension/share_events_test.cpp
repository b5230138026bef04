// Share events without a display: log lines, problem lists and the grouped reports they give.
#include <gtest/gtest.h>

#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "extension/share_events.h"
#include "extension/share_extension.h"
#include "home_fixture.h"
#include "registry/hostatoms.h"
#include "registry/share_registry.h"

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>

using telvane::testing::count_of;

namespace {

struct Shown {
    int type, set, number;
    std::string text;
};
std::vector<Shown> shown;
int capture(Widget, int type, int set, int number, const char *text) {
    shown.push_back({type, set, number, text ? text : ""});
    return 1;
}

class ShareEvents : public ScratchHome {
protected:
    void SetUp() override {
        ScratchHome::SetUp();
        shown.clear();
        set_message_presenter(capture);
        add_hostatom(A, "hosta:0.0", "Alice ........ hosta:0.0", 0);
        add_hostatom(B, "hostb:0.0", "Bob .......... hostb:0.0", 0);
        add_hostatom(C, "hostc:0.0", "Carol ........ hostc:0.0", 0);
    }
    void TearDown() override {
        process_event_messages();  // leaves no list behind for the next test
        set_message_presenter(nullptr);
        while (first_tag) delete_tag(first_tag->tag);
        delete_all_hostatoms();
        dontReport_Color_host = dontReport_Font_host = dontReport_GC_host = nullptr;
        dontReport_Color_count = dontReport_Font_count = dontReport_GC_count = 0;
        out_of_memory_local = 0;
        ScratchHome::TearDown();
    }
    static void event(int status, unsigned host, unsigned window = 0, unsigned tag = 0, unsigned detail = 0,
                      const telvane::wire::KeyPrefix &key = {}) {
        TelvaneEvent e{};
        e.type = 99, e.window = window, e.host = host, e.status = status, e.tag = tag, e.detail = detail;
        std::copy(key.begin(), key.end(), e.key);
        processTelvaneEvent(reinterpret_cast<XEvent *>(&e));
    }
    // The dialogs that the reports waiting now give, in order.
    static const std::vector<Shown> &reports() {
        shown.clear();
        process_event_messages();
        return shown;
    }
    static constexpr unsigned A = 501, B = 502, C = 503;
};

}  // namespace

TEST_F(ShareEvents, FailuresOnThreeReceiversGiveOneDialogInOrderAndEachReasonItsOwn) {
    event(1, A, 0, 0, 0);
    event(1, B, 0, 0, 0);
    event(1, C, 0, 0, 7);  // a reason nobody knows counts as refused
    event(12, A);
    event(5, B);
    ASSERT_EQ(reports().size(), 3u);
    // Errors first (refused, then windows not shared), then the lost connection.
    EXPECT_EQ(std::tuple(shown[0].type, shown[0].set, shown[0].number), std::tuple(17, 2, 2));
    EXPECT_TRUE(contains(shown[0].text, "Connections refused by:\nAlice ........ hosta:0.0\nBob .......... hostb:0.0\n"
                                        "Carol ........ hostc:0.0\n\nTry using:\n"));
    EXPECT_EQ(shown[1].number, 9);
    EXPECT_EQ(std::tuple(shown[2].type, shown[2].set, shown[2].number), std::tuple(18, 3, 3));
    EXPECT_TRUE(reports().empty()) << "the lists were emptied";
    for (const char *line : {"STATUS connection refused by 'hosta:0.0'", "STATUS io_error on 'hosta:0.0'"})
        EXPECT_TRUE(contains(log_text(), line));

    // Each other reason of a failed connection has a report of its own; a changed key and a link
    // service that is down have theirs too.
    for (auto [detail, number] : {std::pair{1u, 28}, {2u, 29}, {3u, 30}, {4u, 31}, {5u, 33}, {6u, 37}}) {
        event(1, A, 0, 0, detail);
        ASSERT_EQ(reports().size(), 1u) << detail;
        EXPECT_EQ(shown[0].number, number);
        EXPECT_TRUE(contains(shown[0].text, "Alice"));
    }
}

TEST_F(ShareEvents, MemoryShortagesAreToldOnceLocallyAndPerReceiver) {
    event(101, 0);
    event(101, 0);
    event(101, B);
    // A failed connection whose display ends in 0 is the local shortage too.
    event(1, A, 0, 0, 101);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(shown[0].number, 13);
    EXPECT_EQ(shown[0].text, "X Server Out of Memory:\nlocal\nBob .......... hostb:0.0\nlocal\n"
                             "Windows shared may have been UNshared");
    // The failed connection logs its own line.
    EXPECT_EQ(count_of(log_text(), "STATUS local server ran out of malloc() space"), 2u) << log_text();
    EXPECT_TRUE(contains(log_text(), "STATUS receiver 'hostb:0.0' ran out of malloc() space"));
}

TEST_F(ShareEvents, FiltersUnknownHostsFontsUnexpectedStatusesAndReportsAboveTheUsersLevel) {
    Atom quiet[] = {B};
    dontReport_Color_host = dontReport_Font_host = dontReport_GC_host = quiet;
    dontReport_Color_count = dontReport_Font_count = dontReport_GC_count = 1;
    event(11, B);   // filtered: only the log line
    event(13, B);
    event(6, B);
    event(15, B);
    event(16, B);
    event(11, A);   // reported
    event(6, C, 0); // a font with no atom
    event(9, 999);  // a receiver nobody knows
    event(50, A);
    event(103, A);
    ASSERT_EQ(reports().size(), 4u);
    EXPECT_EQ(shown[0].text, "Could not Match Colors on:\nAlice ........ hosta:0.0\n\n"
                             "But windows were shared anyway,using different colors.");
    EXPECT_EQ(shown[1].text, "Fonts missing on:\nFONT: unknown\nCarol ........ hostc:0.0\n\n\n"
                             "But windows were shared anyway,using other fonts.");
    EXPECT_EQ(shown[2].text, "User changed a Property on:\nUnknown\n\n"
                             "All application windows shared to there were UNshared");
    EXPECT_EQ(shown[3].set, 199);
    EXPECT_EQ(shown[3].text, "2 Unexpected X Events");
    EXPECT_EQ(unexpected_events, 0);
    // What is filtered is still logged.
    for (const char *line : {"STATUS bad-color on 'hostb:0.0'", "STATUS bad-font of 'FONT: unknown' on 'hostb:0.0'"})
        EXPECT_TRUE(contains(log_text(), line));

    // Reports above the user's level are dropped, not kept for later.
    user_preference.dialog_level = 2;
    event(11, A);  // a level-3 warning
    event(2 + 8, A);  // server time-out, level 1
    event(16, A);     // no colormap, level 1
    ASSERT_EQ(reports().size(), 2u);
    EXPECT_EQ(std::pair(shown[0].number, shown[1].number), std::pair(10, 1));
    user_preference.dialog_level = 4;
    EXPECT_TRUE(reports().empty());
}

TEST_F(ShareEvents, SharedAndUnsharedWindowsKeepTheRecords) {
    event(3, A, 0x400010, 7, 0);
    event(3, A, 0x400020, 7, 0);
    event(3, B, 0x400010, 8, 1);
    EXPECT_EQ(find_window(7, 0x400020), 1);
    event(4, A, 0x400010, 7);
    EXPECT_NE(find_window(0, 0x400010), 0) << "still shared to Bob";
    event(2, A);  // Alice's connection closed: her tag goes
    EXPECT_EQ(find_tag(7), nullptr);
    EXPECT_NE(find_tag(8), nullptr);
    event(4, B, 0x400010, 8);
    EXPECT_EQ(find_tag(8), nullptr) << "the last window took its tag along";
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(contains(log_text(), "STATUS unshare window (0x400010) from 'hostb:0.0'"));
}

TEST_F(ShareEvents, AChangedKeyNamesBothKeysItsLineAndTheFileAndAPlainRoadMarksTheReceiver) {
    const std::string fp = "78d243f5009aa53f" + std::string(48, '0');
    const auto key = telvane::wire::key_prefix("4f1c09d277abe310");
    // The first line for the receiver's own address is the one to delete, as the server judged it.
    const std::string file = "# known\n10.0.0.70 " + std::string(64, 'a') + "\n10.0.0.7 " + fp +
                             "\n10.0.0.7 " + std::string(64, 'b') + "\n";
    for (auto [name, text, known] : {std::tuple{"10.0.0.7:0", file, "78d2 43f5 009a a53f (line 3)"},
                                     {"10.0.0.7:0", std::string("10.0.0.70 " + fp + "\n"), "none: its line has gone"},
                                     {"10.0.0.7:0", std::string("10.0.0.7 not-a-key\n"), "none: its line has gone"},
                                     {"", file, "none: its line has gone"}})
        EXPECT_EQ(changed_key_entry("Lab", name, key.data(), text),
                  "Lab\n    now shows the key 4f1c 09d2 77ab e310\n    known by the key " + std::string(known))
            << name << " in " << text;

    // The report reads the file in the private folder and names it.
    const Atom lab = 504;
    add_hostatom(lab, "10.0.0.7:0", "Lab ... 10.0.0.7:0", 0);
    ASSERT_EQ(mkdir(private_dir().c_str(), 0700), 0);
    telvane::testing::write_file(private_dir() + "/known_receivers", file);
    event(1, lab, 0, 0, 5, key);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(std::tuple(shown[0].type, shown[0].set, shown[0].number), std::tuple(17, 2, 33));
    EXPECT_TRUE(contains(shown[0].text, "changed:\nLab ... 10.0.0.7:0\n    now shows the key 4f1c 09d2 77ab e310\n"
                                      "    known by the key 78d2 43f5 009a a53f (line 3)\n\n"));
    EXPECT_TRUE(contains(shown[0].text, "\n" + private_dir() + "/known_receivers\n"));
    EXPECT_TRUE(contains(log_text(), "STATUS receiver '10.0.0.7:0' shows a changed key (4f1c 09d2 77ab e310)"));

    // A connection made over plain X11 marks its receiver until it is made again through a link.
    user_preference.allow_input = 0;
    for (auto [detail, plain] : {std::pair{1u, 1}, {0u, 0}, {1u, 1}}) {
        event(0, lab, 0, 0, detail);
        EXPECT_EQ(hostatom_plain(lab), plain) << detail;
    }
    EXPECT_EQ(count_of(log_text(), "STATUS connection to '10.0.0.7:0' is not encrypted"), 2u) << log_text();
}

TEST(StatusAnswers, EachFailureAnswersTheWaitingRequesterWithItsOwnCode) {
    // Made; refused, no address, no connection, no X server, no permission, any other reason,
    // the local shortage only on a display ending in 0; time-out, i/o error; and no answers.
    const std::tuple<int, unsigned, const char *, int> cases[] = {
        {0, 0, "h:1.0", 0},  {1, 0, "h:1.0", 12},   {1, 1, "h:1.0", 15},    {1, 2, "h:1.0", 13},
        {1, 3, "h:1.0", 14}, {1, 4, "h:1.0", 11},   {1, 7, "h:1.0", 12},    {1, 101, "h:3.0", 9},
        {1, 101, "h:0.1", 12}, {10, 0, "h:1.0", 16}, {12, 0, "h:1.0", 17},  {11, 0, "h:1.0", -1},
        // A changed receiver key is refused access; a link service down leaves no display.
        {1, 5, "h:1.0", 11}, {1, 6, "h:1.0", 14},
    };
    for (auto [status, detail, name, code] : cases)
        EXPECT_EQ(status_answer(status, detail, name), code) << status << "/" << detail << " on " << name;
}
