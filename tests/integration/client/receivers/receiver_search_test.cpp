// Typed receiver names searched through the listed receivers and the private and public address
// books, the two matching dialogs answered with real clicks, and the default list at start-up.
#include <gtest/gtest.h>

#include "core/paths.h"
#include "main_window_fixture.h"
#include "receivers/match_dialogs.h"
#include "receivers/receiver_entry.h"
#include "receivers/receiver_list.h"

#include <sys/stat.h>

using namespace telvane::testing;

namespace {

class ReceiverSearch : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        if (HasFatalFailure()) return;
        use_scratch_books();
        create_MatchFiles();
        user_preference.dialog_level = 3;
        user_preference.search_level = 3;
    }
    void TearDown() override {
        forget_books();
        MainWindowTest::TearDown();
    }
    void private_book(const std::string &name, const std::string &text) {
        write_file(scratch.file(".Telvane/" + name), text);
    }
    void public_book(const std::string &name, const std::string &text) {
        write_file(scratch.file("public/address_books/" + name), text);
    }
    int type(const std::string &text) {
        put_edit_text(text.c_str());
        return add_receiver();
    }
    // Selects the given one-based rows of a dialog's list and presses its OK with XTEST.
    void choose(Widget list, std::initializer_list<int> positions) {
        select_rows(positions, list);
        click(XtNameToWidget(XtParent(XtParent(list)), "OK"));
    }
    static std::vector<std::string> aliases() {
        std::vector<std::string> out;
        for (const auto &row : rows()) {
            char *typed = typed_form_of_row(row.c_str());
            std::string t = typed ? typed : "";
            free(typed);
            out.push_back(t.substr(t.find(' ') + 1));
        }
        return out;
    }
    static bool shown(Widget shell) { return shell && viewable(XtWindow(shell)); }
};

const char *kTeam =
    "# the team\n"
    "127.0.0.2:11 Ann Lab\n"
    "127.0.0.2:12 Bob Lab\n"
    "127.0.0.2:13 Cid Lab\n"
    "127.0.0.2:14 Dee Office\n";

}  // namespace

TEST_F(ReceiverSearch, OneMatchingLineIsAddedSelectedAndSeveralOpenTheNameDialog) {
    private_book("team", kTeam);
    EXPECT_EQ(type("Office"), 1);
    ASSERT_EQ(aliases(), (std::vector<std::string>{"Dee Office"}));
    EXPECT_EQ(selected_positions(), (std::vector<int>{1}));

    EXPECT_EQ(type("Lab"), 1);
    ASSERT_TRUE(pump_until([] { return shown(MatchNamesSH); }));
    choose(MatchNamesList, {1, 3});
    ASSERT_TRUE(pump_until([] { return !shown(MatchNamesSH); }));
    // Two chosen with Only_If_One_Entry: both go in, neither selected, the last chosen on top.
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Cid Lab", "Ann Lab", "Dee Office"}));
    EXPECT_EQ(selected_positions(), (std::vector<int>{3}));
    EXPECT_EQ(edit_text(), "");
}

TEST_F(ReceiverSearch, ATypedFilePathAddsEveryLineInTheBooksOrder) {
    std::vector<std::string> told;
    answer_dialogs(told);
    add_row("127.0.0.2:20.0", "Listed");
    // Lines that cannot all become rows: the same display under another name, as a row there
    // is already and within the book, the same line twice, and a host that does not resolve.
    private_book("pair", "127.0.0.2:21 Alpha\n127.0.0.2:20 Listed Again\n127.0.0.2:22 Beta\n"
                         "127.0.0.2:21.0 Alpha Again\n127.0.0.2:22 Beta\nno-such-host.invalid:0 Nowhere\n");
    EXPECT_EQ(type(scratch.file(".Telvane/pair")), 1);
    // The lines go in from the last to the first, each on top: so the later of two lines for
    // one display is the one kept, and the book's order stands.
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Beta", "Alpha Again", "Listed"}));
    EXPECT_TRUE(selected_positions().empty()) << "two rows are never selected with Only_If_One_Entry";
    ASSERT_EQ(told.size(), 3u);
    EXPECT_TRUE(contains(told[0], "cannot convert host"));
    EXPECT_TRUE(contains(told[0], "no-such-host.invalid:0"));
    EXPECT_TRUE(contains(told[1], "Listed Again"));
    EXPECT_TRUE(contains(told[2], "entry\n\nAlpha Again")) << "the row kept is the later line: ";
    EXPECT_EQ(edit_text(), scratch.file(".Telvane/pair")) << "a line that did not resolve keeps the text";
    // A lone line that is a row already: nothing new, and the row there is the one selected.
    private_book("one", "127.0.0.2:22 Beta\n");
    EXPECT_EQ(type(scratch.file(".Telvane/one")), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Beta", "Alpha Again", "Listed"}));
    EXPECT_EQ(selected_positions(), (std::vector<int>{1}));
}

TEST_F(ReceiverSearch, TypedNamesBecomeRowsIllegalOnesStayAndListedOnesMatch) {
    std::vector<std::string> texts;
    answer_dialogs(texts);
    EXPECT_EQ(type("LocalHost:5 Ann Smith"), 1);
    EXPECT_EQ(rows(), std::vector<std::string>{alias_row("Ann Smith", "localhost:5.0")});
    EXPECT_EQ(edit_text(), "") << "an added entry empties the edit line";
    EXPECT_TRUE(texts.empty()) << "below the diagnostic level nobody is asked";
    EXPECT_EQ(type("myhost:x"), 0);
    EXPECT_EQ(edit_text(), "myhost:x") << "left for correction";
    // The same display under another name is refused in favour of the row already there.
    type("127.0.0.1:5 Someone Else");
    EXPECT_EQ(rows().size(), 1u);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Illegal Display Name 'myhost:x'");
    EXPECT_TRUE(contains(texts[1], "because it uses the same display name"));

    // Edit puts a row's typed form back on the line, from the row's text: its host need not
    // resolve.
    std::string line = alias_row("John Smith", "myhost:0.0");
    add_to_list_unique(ReceiverList, line.c_str(), 0);
    add_hostatom(XInternAtom(display, "10.9.8.7:0.0", False), "myhost:0.0", line.c_str(), 0);
    select_rows({2});
    edit_receiver(nullptr, nullptr, nullptr);
    EXPECT_EQ(edit_text(), "myhost:0.0 John Smith");
    EXPECT_EQ(aliases(), std::vector<std::string>{"Ann Smith"}) << "the edited row went, with its record";
    EXPECT_EQ(hostatom_count, 1);

    // Listed receivers match by the start of the display's address, both offered, none added
    // twice, a cancelled choice keeping the text; a word of an alias finds its one row, there
    // already, so nothing changes.
    add_row("127.0.0.2:31.0", "Printer room");
    add_row("127.0.0.2:32.0", "Spare");
    EXPECT_EQ(type("127.0.0"), 1);
    ASSERT_TRUE(pump_until([] { return shown(MatchNamesSH); }));
    screenshot("match-names", MatchNamesSH);
    click(XtNameToWidget(MatchNames, "Cancel"));
    ASSERT_TRUE(pump_until([] { return !shown(MatchNamesSH); }));
    EXPECT_EQ(rows().size(), 3u);
    EXPECT_EQ(edit_text(), "127.0.0");
    EXPECT_EQ(type("printer"), 1);
    EXPECT_EQ(rows().size(), 3u);
    EXPECT_EQ(texts.size(), 2u);
}

TEST_F(ReceiverSearch, SearchLevelsGuardThePublicBooksAndTheDefaultList) {
    // The default list comes from the private book, else the public one, and starts afresh.
    public_book("Default", "127.0.0.2:61 Public Default\n");
    EXPECT_EQ(default_receivers(), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Public Default"}));
    EXPECT_TRUE(selected_positions().empty());
    private_book("Default", "127.0.0.2:62 Mine\n127.0.0.2:63 Also Mine\n");
    EXPECT_EQ(default_receivers(), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Mine", "Also Mine"}));
    unlink(scratch.file(".Telvane/Default").c_str());
    user_preference.search_level = 1;  // Private_Only
    EXPECT_EQ(default_receivers(), 0) << "Private_Only never reads the public default";
    EXPECT_TRUE(rows().empty());

    public_book("staff", "127.0.0.2:41 Public Person\n");
    user_preference.dialog_level = 4;
    std::vector<std::string> texts;
    answer_dialogs(texts, [] { return no_button && XtIsManaged(no_button) ? no_button : nullptr; });
    EXPECT_EQ(type("Person"), 0) << "no public book is read; the literal entry is declined";
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "Unmatched Alias.\n'Person'\nEnter Anyway?");

    user_preference.search_level = 2;  // Ask_Before_Public: No stops the search there
    texts.clear();
    EXPECT_EQ(type("Person"), 0);
    ASSERT_GE(texts.size(), 1u);
    EXPECT_EQ(texts[0], "Continue Searching the Global List for 'Person'?");
    EXPECT_TRUE(rows().empty());

    user_preference.dialog_level = 3;
    user_preference.search_level = 3;  // Private_And_Public
    texts.clear();
    EXPECT_EQ(type("Person"), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Public Person"}));
    EXPECT_TRUE(texts.empty());

    // A private line that matches but names no display ends the search with that book: the
    // public books and the literal entry are not tried.
    private_book("broken", "bad:x Second Person\n");
    public_book("more", "127.0.0.2:42 Second Public\n");
    EXPECT_EQ(type("Second"), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Public Person"}));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], "Illegal Display Name 'bad:x'");
}

TEST_F(ReceiverSearch, BookNamesOpenTheFileDialogAndAVanishedBookIsReported) {
    private_book("lab north", "127.0.0.2:51 North One\n127.0.0.2:52 North Two\n");
    private_book("lab south", "127.0.0.2:53 South One\n");
    private_book("kitchen", "127.0.0.2:54 Not Chosen\n");
    mkdir(scratch.file(".Telvane/lab archive").c_str(), 0755);   // a folder is no book
    std::vector<std::string> texts;
    answer_dialogs(texts);
    EXPECT_EQ(type("lab"), 1);
    ASSERT_TRUE(pump_until([] { return shown(MatchFilesSH); }));
    // Offered in the address book's order; one of the chosen books goes away before OK.
    ASSERT_EQ(rows(MatchFilesList), (std::vector<std::string>{"lab north", "lab south"}));
    unlink(scratch.file(".Telvane/lab south").c_str());
    choose(MatchFilesList, {1, 2});
    ASSERT_TRUE(pump_until([] { return !shown(MatchFilesSH); }));
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "Could not read file '" + scratch.file(".Telvane/lab south") + "' for addresses");
    EXPECT_EQ(aliases(), (std::vector<std::string>{"North One", "North Two"}));
}
