// The window status and preferences dialogs and every dialog's help, with real clicks behind the server.
#include <gtest/gtest.h>

#include "main_window_fixture.h"
#include "text_checks.h"
#include "receivers/address_book.h"
#include "telepointer/telepointer.h"
#include "help/xkh.h"

#include <Xm/Scale.h>
#include <Xm/ToggleB.h>


using namespace telvane::testing;

namespace {

class Dialogs : public MainWindowTest {
protected:
    // The text of a label widget.
    static std::string label_of(Widget label) {
        XmString s = nullptr;
        XtVaGetValues(label, XmNlabelString, &s, nullptr);
        std::string out = texts_of(&s, 1).at(0);
        XmStringFree(s);
        return out;
    }
    // Chooses `window` with the status action, as the menu item does.
    void choose(Window window) {
        click_when_picking(window);
        show_receivers_of_window();
        ASSERT_EQ(windowListId, window);
        ASSERT_TRUE(pump_until([] { return WindowStatus_is_mapped == 1; }));
    }
    // What a help dialog shows in its text area.
    static std::string shown_text(Widget dialog) {
        return taken_text(XmTextGetString(XkhQuickDialogGetChild(dialog, XkhQUICK_TEXT)));
    }
    static bool showing_list() { return XtIsManaged(StatusListSW) && !XtIsManaged(NoStatusList); }
    static bool showing_not_shared() { return !XtIsManaged(StatusListSW) && XtIsManaged(NoStatusList); }

    static Widget pref(const char *name) { return XtNameToWidget(PreferencesSH, (std::string("*") + name).c_str()); }
    static bool is_on(const char *name) { return XmToggleButtonGetState(pref(name)); }
    static int delay_shown() {
        int value = -1;
        XmScaleGetValue(pref("scale"), &value);
        return value;
    }
    // Pops the preferences dialog up and presses its buttons and toggles `choices` in turn.
    void open_preferences(std::initializer_list<const char *> choices = {}) {
        popup_Preferences();
        ASSERT_TRUE(pump_until([] { return viewable(XtWindow(PreferencesSH)); }));
        for (const char *name : choices) {
            click(pref(name));
            pump_until([] { return false; }, std::chrono::milliseconds(50));
        }
    }
    void close_preferences(const char *button = "OK") {
        click(pref(button));
        ASSERT_TRUE(pump_until([] { return !viewable(XtWindow(PreferencesSH)); })) << button;
    }
};

}  // namespace

TEST_F(Dialogs, PreferencesApplySaveResetAndForget) {
    // Level 1 has no toggle; OK keeps it.
    user_preference = {0, 0, 1, 1, 1};
    inactivity_timeout = 20;
    open_preferences();
    screenshot("preferences", PreferencesSH);
    for (const char *level : {"Diagnostic", "Normal", "Experienced"}) EXPECT_FALSE(is_on(level)) << level;
    for (const char *shown : {"Case_Sensitive", "Always_Off", "Input_Allowed", "Private_Only"})
        EXPECT_TRUE(is_on(shown)) << shown;
    EXPECT_EQ(delay_shown(), 20);
    close_preferences();
    EXPECT_EQ(user_preference.dialog_level, 1);
    EXPECT_EQ(inactivity_timeout, 20);

    // Reset shows the compiled-in values; Cancel forgets them.
    open_preferences({"Reset"});
    for (const char *shown : {"Case_Insensitive", "Only_If_One_Entry", "Input_Disallowed", "Normal", "Private_And_Public"})
        EXPECT_TRUE(is_on(shown)) << shown;
    EXPECT_EQ(delay_shown(), 5);
    close_preferences("Cancel");
    EXPECT_EQ(std::tuple(user_preference.case_insensitive, user_preference.search_level, inactivity_timeout),
              std::tuple(0, 1, 20));

    // Save applies every choice and then writes the values in use, so the file shows both.
    open_preferences({"Case_Insensitive", "Always_On", "Input_Disallowed", "Experienced", "Ask_Before_Public"});
    XmScaleSetValue(pref("scale"), 12);
    close_preferences("Save");
    EXPECT_EQ(read_file(scratch.file(".Telvane/.setup")), "1 2 0 2 2 12 ");
}

TEST_F(Dialogs, WindowStatusFollowsSharesAliasesAndTheTitleAndEveryHelpShowsItsText) {
    auto second = XvfbServer::start();
    ASSERT_TRUE(second);
    ForeignWindow report(server->name(), "Report", 300, 300, 160, 120);
    ForeignWindow lone(server->name(), "Lone", 520, 300, 100, 100);
    Atom one = add_row(receiver_name(), "Twin");
    Atom two = add_row(second->tcp_name() + ".0", "Twin");

    choose(lone.id());
    XtVaSetValues(WindowStatusSH, XmNx, 20, XmNy, 420, nullptr);
    EXPECT_TRUE(showing_not_shared()) << "a window shared to nobody";
    EXPECT_EQ(label_of(StatusTitle), "Lone");
    screenshot("window-status-not-shared", WindowStatusSH);

    share(report.id(), one);
    share(report.id(), two);
    choose(report.id());
    EXPECT_TRUE(showing_list());
    // Both receivers are reached over plain X11, and each says so.
    const std::string plain = "    (plain X11, not encrypted)";
    const std::string line_one = alias_row("Twin", receiver_name()) + plain,
                      line_two = alias_row("Twin", second->tcp_name() + ".0") + plain;
    auto listed = rows(StatusList);
    EXPECT_EQ(std::multiset(listed.begin(), listed.end()), (std::multiset{line_one, line_two}));
    EXPECT_TRUE(contains(label_of(StatusTitle), "Report"));
    screenshot("window-status", WindowStatusSH);
    report.rename("Minutes", "UTF8_STRING");   // a title Latin-1 readers do not see
    EXPECT_TRUE(pump_until([&] { return contains(label_of(StatusTitle), "Minutes"); })) << label_of(StatusTitle);

    // Each unshare takes one of the equal items; the last switches to the label.
    unshare(report.id(), one);
    EXPECT_EQ(rows(StatusList), std::vector<std::string>{line_two});
    EXPECT_TRUE(showing_list());
    unshare(report.id(), two);
    EXPECT_TRUE(rows(StatusList).empty());
    EXPECT_TRUE(showing_not_shared());
    // A new alias goes first; of equal ones each removal takes one.
    for (const char *alias : {"Other", "Twin", "Twin"}) add_WindowStatus(alias);
    EXPECT_EQ(rows(StatusList), (std::vector<std::string>{"Twin", "Twin", "Other"}));
    for (const char *alias : {"Twin", "Other"}) delete_WindowStatus(alias);
    EXPECT_EQ(rows(StatusList), std::vector<std::string>{"Twin"});
    delete_WindowStatus("Twin");
    EXPECT_TRUE(showing_not_shared());

    // The window manager's close pops it down, as does Close.
    close_by_window_manager(display, XtWindow(WindowStatusSH));
    ASSERT_TRUE(pump_until([] { return WindowStatus_is_mapped == 0; }));
    choose(lone.id());
    click(XtNameToWidget(WindowStatusSH, "*Close"));
    ASSERT_TRUE(pump_until([] { return WindowStatus_is_mapped == 0; }));

    // Every dialog's help shows its own catalog text.
    use_scratch_books();
    create_MatchFiles();
    popup_AddressBook();
    open_message_catalog();
    ASSERT_NE(CatD, reinterpret_cast<nl_catd>(-1)) << "the built catalog is found through NLSPATH";
    for (auto [form, topic] : {std::pair{XtNameToWidget(TelvaneSH, "*Form"), 3}, {XtNameToWidget(AddressBookSH, "*Form"), 1},
                               {XtNameToWidget(MatchNamesSH, "*form"), 2}, {XtNameToWidget(MatchFilesSH, "*form"), 6},
                               {XtNameToWidget(WindowStatusSH, "*Form"), 5}}) {
        ASSERT_NE(form, nullptr) << topic;
        XtCallCallbacks(form, XmNhelpCallback, nullptr);
        ASSERT_NE(Form_Help, nullptr);
        EXPECT_EQ(shown_text(Form_Help), catgets(CatD, 6, topic, "")) << topic;
    }
    screenshot("quick-help", XtParent(Form_Help));
    // Number 0 never asks the catalog, not even to open it; a number it lacks gives the default.
    close_message_catalog();
    EXPECT_EQ(shown_text(quick_help(Form_Help, TopLevel, 6, 0, "Zero")), "Zero");
    EXPECT_EQ(CatD, reinterpret_cast<nl_catd>(-1)) << "number 0 opened the catalog";
    form_help(nullptr, 99);
    EXPECT_EQ(shown_text(Form_Help), "No Help Available");
    EXPECT_EQ(shown_text(quick_help(Form_Help, TopLevel, 6, 0, "")), "Help Not Available");
    // Help windows are titled in words, with only Close left of the quick dialog's buttons.
    EXPECT_EQ(title_of(XtWindow(XtParent(Form_Help))), "Quick Help");
    EXPECT_FALSE(XtIsManaged(XkhQuickDialogGetChild(Form_Help, XkhQUICK_MORE_BUTTON)));
    EXPECT_TRUE(XtIsManaged(XkhQuickDialogGetChild(Form_Help, XkhQUICK_CLOSE_BUTTON)));

    // The help volume's two topics, each as the window's title and its text.
    for (long client : {0L, 810L}) {
        menu_help(nullptr, reinterpret_cast<XtPointer>(client));
        ASSERT_TRUE(pump_until([] { return viewable(XtWindow(XtParent(Main_Help))); }));
        std::string text = shown_text(Main_Help);
        EXPECT_EQ(title_of(XtWindow(XtParent(Main_Help))), client ? "Troubleshooting" : "Telvane Help");
        EXPECT_TRUE(contains(text, client ? "xhost" : "telvane(1)"));
        screenshot(client ? "help-troubleshooting" : "help-home", XtParent(Main_Help));
    }

    std::vector<std::string> texts;
    answer_dialogs(texts);
    telepointer_version = const_cast<char *>("Telvane 2.3 Telepointer - 1994");
    my_ip_address = const_cast<char *>("10.1.2.3");
    version_help(nullptr, nullptr, nullptr);
    ASSERT_TRUE(pump_until([&] { return !texts.empty() && !message_in_progress; }));
    EXPECT_TRUE(contains(texts[0], "Telvane 2.3 Telepointer - 1994\n") && contains(texts[0], "   (10.1.2.3)\n")) << texts[0];
    EXPECT_EQ(texts[0].rfind("Telvane 2.4 Connector  - 1995\n", 0), 0u) << "without its marker: " << texts[0];
}

