// The address book, save and matching dialogs on the real main window, clicked for real.
#include <gtest/gtest.h>

#include "core/cstring.h"
#include "main_window_fixture.h"
#include "receivers/address_book.h"
#include "receivers/receiver_list.h"
#include "receivers/save_list.h"

#include <Xm/SelectioB.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

using namespace telvane::testing;

namespace {

// The main window with books of the test's own; every notice is answered, its text kept in `texts`.
class AddressBook : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        if (HasFatalFailure()) return;
        use_scratch_books();
        answer_dialogs(texts);
    }
    std::string private_path(const std::string &name) const { return scratch.file(".Telvane/" + name); }
    std::string public_path(const std::string &name) const { return scratch.file("public/address_books/" + name); }

    // Writes a book dated `age` seconds ago, so that a change within this second still shows.
    static void write_book(const std::string &path, const std::string &text, int age = 100) {
        write_file(path, text);
        timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }

    void open_book() {
        popup_AddressBook();
        ASSERT_TRUE(pump_until([] { return AddressBook_is_mapped && viewable(XtWindow(AddressBookSH)); }));
        // The test clicks faster than a person; two clicks are never one double click.
        for (Widget list : {PrivateList, PublicList, AddressList}) XtVaSetValues(list, XmNdoubleClickInterval, 1, nullptr);
    }
    // Closes and opens the dialog again, as a person does to look at the books anew.
    void reopen_book() {
        click(XtNameToWidget(AddressBookSH, "*Close"));
        ASSERT_TRUE(pump_until([] { return !AddressBook_is_mapped; }));
        open_book();
    }

    // Clicks the book `name` with XTEST and, unless `wait` is false, waits until it is selected.
    void click_book(Widget list, const std::string &name, bool wait = true) {
        auto names = rows(list);
        int pos = static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin()) + 1;
        DialogDriver driver(server->name());
        ASSERT_TRUE(driver);
        auto click = [&] {
            Position x = 0, y = 0, rx = 0, ry = 0;
            Dimension w = 0, h = 0;
            if (!XmListPosToBounds(list, pos, &x, &y, &w, &h)) return false;
            XtTranslateCoords(list, static_cast<Position>(x + w / 2), static_cast<Position>(y + h / 2), &rx, &ry);
            XSync(display, False);
            return driver.click_at(rx, ry);
        };
        ASSERT_TRUE(click()) << name << " not in view";
        if (!wait) return;
        // A click while the dialog is still being placed is lost: like a person, click again.
        for (int attempt = 0; attempt < 3 && selected_positions(list) != std::vector<int>{pos}; ++attempt) {
            if (attempt > 0 && selected_positions(list).empty()) click();  // a failure shows below
            pump_until([&] { return selected_positions(list) == std::vector<int>{pos}; }, std::chrono::seconds(4));
        }
        ASSERT_EQ(selected_positions(list), std::vector<int>{pos}) << name;
    }

    // Presses the save dialog's OK (or Apply) with XTEST for `name`; returns once it is handled.
    void save_as(const std::string &name, bool apply = false) {
        if (!SaveList || !XtIsManaged(SaveList)) popup_SaveList();
        ASSERT_TRUE(pump_until([] { return viewable(XtWindow(SaveListSH)); }));
        Widget button = XmSelectionBoxGetChild(SaveList, apply ? XmDIALOG_APPLY_BUTTON : XmDIALOG_OK_BUTTON);
        int done = 0;  // counted after the dialog's own callback
        XtCallbackProc count = [](Widget, XtPointer done, XtPointer) { ++*static_cast<int *>(done); };
        XtAddCallback(button, XmNactivateCallback, count, &done);
        set_SaveList_str(name.c_str());
        click(button);
        EXPECT_TRUE(pump_until([&] { return done > 0; })) << name;
        XtRemoveCallback(button, XmNactivateCallback, count, &done);
    }

    std::vector<std::string> texts;
};

class ReceiverSearch : public AddressBook {
protected:
    void SetUp() override {
        AddressBook::SetUp();
        if (HasFatalFailure()) return;
        create_MatchFiles();
        user_preference.dialog_level = 3;
        user_preference.search_level = 3;
    }
    int type(const std::string &text) {
        put_edit_text(text.c_str());
        return add_receiver();
    }
    // Selects the given one-based rows of a dialog's list, presses its OK with XTEST, waits it down.
    void choose(Widget shell, Widget list, std::initializer_list<int> positions) {
        select_rows(positions, list);
        click(XtNameToWidget(XtParent(XtParent(list)), "OK"));
        ASSERT_TRUE(pump_until([&] { return !shown(shell); }));
    }
    static std::vector<std::string> aliases() {
        std::vector<std::string> out;
        for (const auto &row : rows()) {
            CString typed(typed_form_of_row(row.c_str()));
            const std::string t = typed ? typed.get() : "";
            out.push_back(t.substr(t.find(' ') + 1));
        }
        return out;
    }
    static bool shown(Widget shell) { return shell && viewable(XtWindow(shell)); }
};

}  // namespace

TEST_F(AddressBook, OneBookAtATimeReloadedOnlyWhenItChangedOnDiskAndCopiedIntoTheList) {
    write_book(private_path("team"), "# the lab\n127.0.0.2:11\tAnn   Lab   # first\n\n127.0.0.2:12 Bob Lab\nbad:x Nobody\n");
    write_book(private_path(".hidden"), "127.0.0.2:13 Hidden\n");
    mkdir(private_path("folder").c_str(), 0755);
    write_book(public_path("site"), "127.0.0.2:21 Front Desk\n127.0.0.2:22 Hall\n");
    write_book(public_path("Default"), "127.0.0.2:23 Lobby\n");
    open_book();
    EXPECT_EQ(rows(PrivateList), std::vector<std::string>{"team"});
    EXPECT_EQ(rows(PublicList), (std::vector<std::string>{"Default", "site"}));

    // A book's lines as stored, tabs expanded; a public book after a private one: the private one
    // is no longer selected.
    click_book(PrivateList, "team");
    EXPECT_EQ(rows(AddressList), (std::vector<std::string>{"# the lab", "127.0.0.2:11    Ann   Lab   # first", "",
                                                           "127.0.0.2:12 Bob Lab", "bad:x Nobody"}));
    click_book(PrivateList, "team");
    click_book(PublicList, "site");
    EXPECT_TRUE(selected_positions(PrivateList).empty());
    EXPECT_EQ(rows(AddressList), (std::vector<std::string>{"127.0.0.2:21 Front Desk", "127.0.0.2:22 Hall"}));

    // Unchanged on disk, the book is not read again: the selection in it stays.
    select_rows({2}, AddressList);
    reopen_book();
    EXPECT_EQ(selected_positions(PublicList), std::vector<int>{2});
    EXPECT_EQ(selected_positions(AddressList), std::vector<int>{2});
    // Edited on disk: the lines are read again.
    write_book(public_path("site"), "127.0.0.2:24 Annex\n", 50);
    reopen_book();
    EXPECT_EQ(rows(AddressList), std::vector<std::string>{"127.0.0.2:24 Annex"});
    EXPECT_TRUE(selected_positions(AddressList).empty());


    // Copy takes the chosen entries, passing over comments and refusing illegal names.
    click_book(PrivateList, "team");
    select_rows({1, 2, 4, 5}, AddressList);
    screenshot("address-book", AddressBookSH);
    click(XtNameToWidget(AddressBookSH, "*Copy_to_Receiver_List"));
    ASSERT_TRUE(pump_until([&] { return rows().size() == 2 && texts.size() == 1; })) << texts.size();
    EXPECT_EQ(texts[0], "Illegal Display Name 'bad:x'");
    EXPECT_EQ(rows(), (std::vector<std::string>{alias_row("Ann Lab", "127.0.0.2:11.0"), alias_row("Bob Lab", "127.0.0.2:12.0")}));
    EXPECT_TRUE(selected_positions().empty());
    EXPECT_TRUE(selected_positions(AddressList).empty()) << "the copied lines are deselected";
}

TEST_F(AddressBook, SavedRowsAreWrittenAsBookLinesAndBadNamesAreRefused) {
    std::string long_alias(64, 'L');
    add_row("127.0.0.2:31.0", "John Smith");
    add_row("127.0.0.2:32.0", "Acme Inc.");
    add_row("127.0.0.2:33.0", long_alias);
    select_rows({1, 2, 3});
    open_book();
    save_as("Default");
    EXPECT_FALSE(XtIsManaged(SaveList)) << "a save takes the dialog down";
    // Display name, a tab, the alias: a final dot goes with the leader.
    const std::string saved = "127.0.0.2:31.0\tJohn Smith\n127.0.0.2:32.0\tAcme Inc\n127.0.0.2:33.0\t" + long_alias + "\n";
    EXPECT_EQ(read_file(private_path("Default")), saved);
    EXPECT_EQ(rows(PrivateList), std::vector<std::string>{"Default"}) << "the open book shows it at once";

    // An existing book: OK asks first, and No leaves it as it was with the dialog up.
    answer_dialogs(texts, [] { return no_button && XtIsManaged(no_button) ? no_button : nullptr; });
    save_as("Default");
    EXPECT_EQ(texts, std::vector<std::string>{"File '" + private_path("Default") + "' Exists. \n Overwrite it?"});
    EXPECT_EQ(read_file(private_path("Default")), saved);
    EXPECT_TRUE(XtIsManaged(SaveList));
    screenshot("save-list", SaveListSH);
    // Apply appends without asking.
    select_rows({1});
    save_as("Default", true);
    EXPECT_EQ(read_file(private_path("Default")), saved + "127.0.0.2:31.0\tJohn Smith\n");

    // Names refused with the dialog kept up.
    mkdir(private_path("folder").c_str(), 0755);
    for (const char *name : {" \t  ", ".setup", "folder", "\001.hidden"}) save_as(name);
    EXPECT_EQ(std::vector<std::string>(texts.begin() + 1, texts.end()),
              (std::vector<std::string>{"Filename NOT specified", "Filename may NOT begin with a '.'",
                                        "File '" + private_path("folder") + "' is NOT writable",
                                        "Filename may NOT contain control characters"}));
    EXPECT_TRUE(XtIsManaged(SaveList));
    EXPECT_FALSE(legal_anything(private_path(".setup").c_str()));
    // Blanks around a name go.
    save_as("  Lab Team\t");
    EXPECT_EQ(read_file(private_path("Lab Team")), "127.0.0.2:31.0\tJohn Smith\n");
    EXPECT_EQ(texts.size(), 5u);
}

TEST_F(ReceiverSearch, OneMatchingLineIsAddedSelectedSeveralOpenTheNameDialogAndBookNamesTheFileDialog) {
    write_file(private_path("team"), "# the team\n127.0.0.2:11 Ann Lab\n127.0.0.2:12 Bob Lab\n127.0.0.2:13 Cid Lab\n"
                                     "127.0.0.2:14 Dee Office\n");
    EXPECT_EQ(type("Office"), 1);
    ASSERT_EQ(aliases(), (std::vector<std::string>{"Dee Office"}));
    EXPECT_EQ(selected_positions(), (std::vector<int>{1}));

    EXPECT_EQ(type("Lab"), 1);
    ASSERT_TRUE(pump_until([] { return shown(MatchNamesSH); }));
    choose(MatchNamesSH, MatchNamesList, {1, 3});
    // Two chosen with Only_If_One_Entry: both go in, neither selected, the last chosen on top.
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Cid Lab", "Ann Lab", "Dee Office"}));
    EXPECT_EQ(selected_positions(), (std::vector<int>{3}));
    EXPECT_EQ(edit_text(), "");
    EXPECT_TRUE(texts.empty());

    // Matching book names open the file dialog; a book that went before it was read is reported.
    write_file(private_path("lab north"), "127.0.0.2:51 North One\n127.0.0.2:52 North Two\n");
    write_file(private_path("lab south"), "127.0.0.2:53 South One\n");
    EXPECT_EQ(type("lab"), 1);
    ASSERT_TRUE(pump_until([] { return shown(MatchFilesSH); }));
    ASSERT_EQ(rows(MatchFilesList), (std::vector<std::string>{"lab north", "lab south"}));
    unlink(private_path("lab south").c_str());
    choose(MatchFilesSH, MatchFilesList, {1, 2});
    EXPECT_EQ(texts, std::vector<std::string>{"Could not read file '" + private_path("lab south") + "' for addresses"});
    EXPECT_EQ(aliases(), (std::vector<std::string>{"North One", "North Two", "Cid Lab", "Ann Lab", "Dee Office"}));
}

TEST_F(ReceiverSearch, ATypedFilePathAddsEveryLineInTheBooksOrder) {
    add_row("127.0.0.2:20.0", "Listed");
    // Among new lines, one for a listed display under another name.
    write_file(private_path("pair"), "127.0.0.2:21 Alpha\n127.0.0.2:20 Listed Again\n127.0.0.2:22 Beta\n");
    EXPECT_EQ(type(private_path("pair")), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Alpha", "Beta", "Listed"}));
    EXPECT_TRUE(selected_positions().empty()) << "two rows are never selected with Only_If_One_Entry";
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(contains(texts[0], "Listed Again") && contains(texts[0], "because it uses the same display name")) << texts[0];
    // A lone line that is a row already: nothing new, and the row there is the one selected.
    write_file(private_path("one"), "127.0.0.2:22 Beta\n");
    EXPECT_EQ(type(private_path("one")), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Alpha", "Beta", "Listed"}));
    EXPECT_EQ(selected_positions(), (std::vector<int>{2}));
}

TEST_F(ReceiverSearch, TypedNamesBecomeRowsIllegalOnesStayAndListedOnesMatch) {
    EXPECT_EQ(type("LocalHost:5 Ann Smith"), 1);
    EXPECT_EQ(rows(), std::vector<std::string>{alias_row("Ann Smith", "localhost:5.0")});
    EXPECT_EQ(edit_text(), "") << "an added entry empties the edit line";
    EXPECT_TRUE(texts.empty()) << "below the diagnostic level nobody is asked";
    EXPECT_EQ(type("myhost:x"), 0);
    EXPECT_EQ(edit_text(), "myhost:x") << "left for correction";
    EXPECT_EQ(texts, std::vector<std::string>{"Illegal Display Name 'myhost:x'"});

    // Edit puts a row's typed form back on the line, from its text: the host need not resolve.
    std::string line = alias_row("John Smith", "myhost:0.0");
    add_to_list_unique(ReceiverList, line.c_str(), 0);
    add_hostatom(XInternAtom(display, "10.9.8.7:0.0", False), "myhost:0.0", line.c_str(), 0);
    select_rows({2});
    edit_receiver(nullptr, nullptr, nullptr);
    EXPECT_EQ(texts.back(), "Destroy Edit Line Contents?") << "the line still held the illegal name";
    EXPECT_EQ(edit_text(), "myhost:0.0 John Smith");
    EXPECT_EQ(aliases(), std::vector<std::string>{"Ann Smith"}) << "the edited row went";

    // A listed receiver matches by an alias word: nothing new.
    add_row("127.0.0.2:31.0", "Printer room");
    EXPECT_EQ(type("printer"), 1);
    EXPECT_EQ(rows().size(), 2u);
    EXPECT_EQ(texts.size(), 2u);
}

TEST_F(ReceiverSearch, SearchLevelsGuardThePublicBooksAndTheDefaultList) {
    // The default list comes from the private book, else the public one, and starts afresh.
    write_file(public_path("Default"), "127.0.0.2:61 Public Default\n");
    EXPECT_EQ(default_receivers(), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Public Default"}));
    EXPECT_TRUE(selected_positions().empty());
    write_file(private_path("Default"), "127.0.0.2:62 Mine\n127.0.0.2:63 Also Mine\n");
    EXPECT_EQ(default_receivers(), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Mine", "Also Mine"}));
    unlink(private_path("Default").c_str());
    user_preference.search_level = 1;  // Private_Only
    EXPECT_EQ(default_receivers(), 0) << "Private_Only never reads the public default";
    EXPECT_TRUE(rows().empty());

    write_file(public_path("staff"), "127.0.0.2:41 Public Person\n");
    user_preference.dialog_level = 4;
    answer_dialogs(texts, [] { return no_button && XtIsManaged(no_button) ? no_button : nullptr; });
    EXPECT_EQ(type("Person"), 0) << "no public book is read; the literal entry is declined";
    EXPECT_EQ(texts, std::vector<std::string>{"Unmatched Alias.\n'Person'\nEnter Anyway?"});

    user_preference.search_level = 2;  // Ask_Before_Public: No stops the search there
    texts.clear();
    EXPECT_EQ(type("Person"), 0);
    EXPECT_EQ(texts, (std::vector<std::string>{"Continue Searching the Global List for 'Person'?",
                                               "Unmatched Alias.\n'Person'\nEnter Anyway?"}));
    EXPECT_TRUE(rows().empty());

    user_preference.dialog_level = 3;
    user_preference.search_level = 3;  // Private_And_Public
    texts.clear();
    EXPECT_EQ(type("Person"), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Public Person"}));
    EXPECT_TRUE(texts.empty());

    // A matching private line that names no display ends the search there.
    write_file(private_path("broken"), "bad:x Second Person\n");
    write_file(public_path("more"), "127.0.0.2:42 Second Public\n");
    EXPECT_EQ(type("Second"), 1);
    EXPECT_EQ(aliases(), (std::vector<std::string>{"Public Person"}));
    EXPECT_EQ(texts, (std::vector<std::string>{"Illegal Display Name 'bad:x'",
                                               "Entry contains no receiver addresses,\nnothing added to receivers list"}));
}
