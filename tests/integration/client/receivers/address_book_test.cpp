// The address book and the save dialog on the real main window behind telvane-server: choosing
// books, reloading only what changed on disk, copying lines into the receiver list, saving
// rows and reading them back, and books that are broken in the ways files break.
#include <gtest/gtest.h>

#include "main_window_fixture.h"
#include "receivers/address_book.h"
#include "receivers/match_dialogs.h"
#include "receivers/save_list.h"

#include <Xm/SelectioB.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

using namespace telvane::testing;

namespace {

class AddressBook : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        if (HasFatalFailure()) return;
        use_scratch_books();
        // A notice nobody expected is answered and fails the test, rather than waiting forever.
        answer_dialogs(unexpected_);
    }
    void TearDown() override {
        EXPECT_TRUE(unexpected_.empty()) << unexpected_.front();
        forget_books();
        MainWindowTest::TearDown();
    }

    std::string private_path(const std::string &name) const { return scratch.file(".Telvane/" + name); }
    std::string public_path(const std::string &name) const { return scratch.file("public/address_books/" + name); }

    // Writes a book as if it had been written `age` seconds ago, so that a later change within
    // the same second still shows in its modification time.
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

    // Clicks the book `name` with XTEST, as a person picks a book, and unless `wait` is false
    // waits until it is selected.
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
        // On a loaded machine a click that arrives while the dialog is still being placed is
        // lost; like a person, click again, but only while the book is still not selected.
        bool chosen = false;
        for (int attempt = 0; attempt < 3 && !chosen; ++attempt) {
            chosen = pump_until([&] { return selected_positions(list) == std::vector<int>{pos}; }, std::chrono::seconds(4));
            if (!chosen && selected_positions(list).empty()) {
                ASSERT_TRUE(click());
            }
        }
        ASSERT_TRUE(chosen) << name;
    }

    // Sets the save dialog's name and presses OK (or Apply) with XTEST; returns once the
    // dialog has done with the press, its questions and notices answered.
    void save_as(const std::string &name, bool apply = false) {
        if (!SaveList || !XtIsManaged(SaveList)) popup_SaveList();
        ASSERT_TRUE(pump_until([] { return viewable(XtWindow(SaveListSH)); }));
        Widget button = XmSelectionBoxGetChild(SaveList, apply ? XmDIALOG_APPLY_BUTTON : XmDIALOG_OK_BUTTON);
        // Added after the dialog's own callback, so it runs once the save has finished.
        int done = 0;
        XtCallbackProc count = [](Widget, XtPointer done, XtPointer) { ++*static_cast<int *>(done); };
        XtAddCallback(button, XmNactivateCallback, count, &done);
        set_SaveList_str(name.c_str());
        click(button);
        EXPECT_TRUE(pump_until([&] { return done > 0; })) << name;
        XtRemoveCallback(button, XmNactivateCallback, count, &done);
    }

private:
    std::vector<std::string> unexpected_;
};

const char *kTeam =
    "# the lab\n"
    "127.0.0.2:11\tAnn   Lab   # first\n"
    "\n"
    "127.0.0.2:12 Bob Lab\n";

}  // namespace

TEST_F(AddressBook, OneBookAtATimeReloadedOnlyWhenItChangedOnDisk) {
    write_book(private_path("team"), kTeam);
    write_book(private_path("gone"), "127.0.0.2:52 Gone\n");
    write_book(private_path(".hidden"), "127.0.0.2:13 Hidden\n");
    mkdir(private_path("folder").c_str(), 0755);
    write_book(public_path("site"), "127.0.0.2:21 Front Desk\n127.0.0.2:22 Hall\n");
    write_book(public_path("Default"), "127.0.0.2:23 Lobby\n");
    open_book();
    // Regular files only, hidden ones left out, by byte value.
    EXPECT_EQ(rows(PrivateList), (std::vector<std::string>{"gone", "team"}));
    EXPECT_EQ(rows(PublicList), (std::vector<std::string>{"Default", "site"}));

    // A book's lines as stored: comments and blank lines too, tabs expanded. A second click
    // deselects it: no book, no lines.
    click_book(PrivateList, "team");
    EXPECT_EQ(rows(AddressList),
              (std::vector<std::string>{"# the lab", "127.0.0.2:11    Ann   Lab   # first", "", "127.0.0.2:12 Bob Lab"}));
    click_book(PrivateList, "team", false);
    ASSERT_TRUE(pump_until([] { return selected_positions(PrivateList).empty(); }));
    EXPECT_TRUE(rows(AddressList).empty());
    // A public book after a private one: the private one is no longer selected.
    click_book(PrivateList, "team");
    click_book(PublicList, "site");
    EXPECT_TRUE(selected_positions(PrivateList).empty());
    EXPECT_EQ(rows(AddressList), (std::vector<std::string>{"127.0.0.2:21 Front Desk", "127.0.0.2:22 Hall"}));

    // Unchanged on disk, the book is not read again: what the user selected in it stays.
    select_rows({2}, AddressList);
    reopen_book();
    EXPECT_EQ(selected_positions(PublicList), std::vector<int>{2});
    EXPECT_EQ(selected_positions(AddressList), std::vector<int>{2});
    // Edited on disk: the lines are read again.
    write_book(public_path("site"), "127.0.0.2:24 Annex\n", 50);
    reopen_book();
    EXPECT_EQ(rows(AddressList), std::vector<std::string>{"127.0.0.2:24 Annex"});
    EXPECT_TRUE(selected_positions(AddressList).empty());
    // Deleted: it leaves its list and its lines go.
    unlink(public_path("site").c_str());
    popup_AddressBook();  // while up, opening again refreshes it
    EXPECT_EQ(rows(PublicList), std::vector<std::string>{"Default"});
    EXPECT_TRUE(rows(AddressList).empty());
    EXPECT_TRUE(selected_positions(PublicList).empty() && selected_positions(PrivateList).empty());

    // A book that went between listing and choosing: told, and dropped from the list.
    unlink(private_path("gone").c_str());
    std::vector<std::string> texts;
    answer_dialogs(texts);
    click_book(PrivateList, "gone", false);
    ASSERT_TRUE(pump_until([&] { return texts.size() == 1; }));
    EXPECT_EQ(texts[0], "Could not read file '" + private_path("gone") + "' for addresses");
    EXPECT_TRUE(pump_until([] { return rows(PrivateList) == std::vector<std::string>{"team"}; }));
    EXPECT_TRUE(selected_positions(PrivateList).empty());
    EXPECT_TRUE(rows(AddressList).empty());
}

TEST_F(AddressBook, CopyTakesTheEntriesPassesOverCommentsAndRefusesTakenDisplays) {
    write_book(private_path("team"), std::string(kTeam) + "bad:x Nobody\n127.0.0.2:14 Cid Lab\n");
    add_row("127.0.0.2:14.0", "Cid Elsewhere");
    // A file where the public folder should be.
    rmdir(scratch.file("public/address_books").c_str());
    write_file(scratch.file("public/address_books"), "not a folder\n");
    std::vector<std::string> texts;
    answer_dialogs(texts);
    open_book();
    ASSERT_TRUE(pump_until([&] { return texts.size() == 1; }));
    EXPECT_EQ(texts[0], "Expected Directory '" + scratch.file("public/address_books") + "' is NOT a directory");
    EXPECT_TRUE(rows(PublicList).empty());

    click_book(PrivateList, "team");
    select_rows({1, 2, 4, 5, 6}, AddressList);
    screenshot("address-book", AddressBookSH);
    click(XtNameToWidget(AddressBookSH, "*Copy_to_Receiver_List"));
    ASSERT_TRUE(pump_until([&] { return rows().size() == 3 && texts.size() == 3; })) << texts.size();
    EXPECT_EQ(texts[1], "Illegal Display Name 'bad:x'");
    EXPECT_EQ(texts[2].substr(0, 15), "The new entry\n\n");
    // In the order of the book, at the top; two new rows, so neither is selected.
    EXPECT_EQ(rows(), (std::vector<std::string>{alias_row("Ann Lab", "127.0.0.2:11.0"), alias_row("Bob Lab", "127.0.0.2:12.0"),
                                                alias_row("Cid Elsewhere", "127.0.0.2:14.0")}));
    EXPECT_TRUE(selected_positions().empty());
    EXPECT_TRUE(selected_positions(AddressList).empty()) << "the copied lines are deselected";
}

TEST_F(AddressBook, SavedRowsReadBackAsTheSameReceiversAndBadNamesAreRefused) {
    std::string long_alias(64, 'L');
    add_row("127.0.0.2:31.0", "John Smith");
    add_row("127.0.0.2:32.0", "Acme Inc.");
    add_row("127.0.0.2:33.0", long_alias);
    auto before = rows();
    select_rows({1, 2, 3});
    open_book();
    popup_SaveList();
    ASSERT_TRUE(pump_until([] { return viewable(XtWindow(SaveListSH)); }));
    screenshot("save-list", SaveListSH);

    save_as("Default");
    EXPECT_FALSE(XtIsManaged(SaveList)) << "a save takes the dialog down";
    // Display name, a tab, the alias without its leader; the alias that ends in a dot loses
    // it with the leader.
    const std::string saved = "127.0.0.2:31.0\tJohn Smith\n127.0.0.2:32.0\tAcme Inc\n127.0.0.2:33.0\t" + long_alias + "\n";
    EXPECT_EQ(read_file(private_path("Default")), saved);
    EXPECT_EQ(rows(PrivateList), std::vector<std::string>{"Default"}) << "the open book shows it at once";

    // An existing book: OK asks first, and No leaves it as it was with the dialog up.
    std::vector<std::string> texts;
    answer_dialogs(texts, [] { return no_button && XtIsManaged(no_button) ? no_button : nullptr; });
    save_as("Default");
    EXPECT_EQ(texts, std::vector<std::string>{"File '" + private_path("Default") + "' Exists. \n Overwrite it?"});
    EXPECT_EQ(read_file(private_path("Default")), saved);
    EXPECT_TRUE(XtIsManaged(SaveList));
    // Apply appends without asking.
    select_rows({1});
    save_as("Default", true);
    EXPECT_EQ(read_file(private_path("Default")), saved + "127.0.0.2:31.0\tJohn Smith\n");

    // Names refused with the dialog kept up: none, a leading dot (Ctrl+A typed before it too),
    // a folder, control characters.
    mkdir(private_path("folder").c_str(), 0755);
    const std::string refused[] = {" \t  ", ".setup", scratch.file(".plan"), "folder", "\001.hidden", "Lab\tTeam"};
    for (const auto &name : refused) save_as(name);
    const std::string dot = "Filename may NOT begin with a '.'", control = "Filename may NOT contain control characters";
    EXPECT_EQ(std::vector<std::string>(texts.begin() + 1, texts.end()),
              (std::vector<std::string>{"Filename NOT specified", dot, dot,
                                        "File '" + private_path("folder") + "' is NOT writable", control, control}));
    EXPECT_TRUE(XtIsManaged(SaveList));
    EXPECT_FALSE(legal_anything(private_path(".setup").c_str()));
    EXPECT_FALSE(legal_anything(private_path("\001.hidden").c_str()));
    // Blanks around a name go; a path is used as typed.
    save_as("  Lab Team\t");
    EXPECT_EQ(read_file(private_path("Lab Team")), "127.0.0.2:31.0\tJohn Smith\n");
    save_as(scratch.file("elsewhere"));
    EXPECT_EQ(read_file(scratch.file("elsewhere")), "127.0.0.2:31.0\tJohn Smith\n");
    EXPECT_EQ(texts.size(), 7u);

    // Read back through the address book into an emptied list.
    for (const auto &row : rows()) delete_item_str(ReceiverList, row.c_str());
    delete_all_hostatoms();
    reopen_book();
    click_book(PrivateList, "Default");
    select_rows({1, 2, 3}, AddressList);
    click(XtNameToWidget(AddressBookSH, "*Copy_to_Receiver_List"));
    ASSERT_TRUE(pump_until([] { return rows().size() == 3; }));
    EXPECT_EQ(rows(), (std::vector<std::string>{before[0], alias_row("Acme Inc", "127.0.0.2:32.0"), before[2]}));
}
