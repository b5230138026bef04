// The message dialog in process, answered with real clicks.
#include <gtest/gtest.h>

#include "toolkit_fixture.h"

using namespace telvane::testing;

using MessageDialog = ToolkitTest;

TEST_F(MessageDialog, LevelsAnswersQueuedReportsAndTheScreenGrab) {
    using Self = std::remove_pointer_t<decltype(this)>;
    // Suppressed questions answer yes (one shown would wait for an answer nobody gives).
    user_preference.dialog_level = 2;
    EXPECT_EQ(message0(TelvaneSH, 3, 196, 1, 900, "Hidden question?"), 1);
    user_preference.dialog_level = 4;

    std::string text;
    bool buttons = false;
    when_dialog_up([&] {
        text = dialog_text();
        buttons = XtIsManaged(yes_button) && XtIsManaged(no_button) && !XtIsManaged(ok_button);
        screenshot("question");
        click(no_button);
    });
    EXPECT_EQ(message1(TelvaneSH, 1, 196, 1, 4, "Enter '%s'?", "myhost:0.0 John Smith"), 0);
    EXPECT_EQ(text, "Unmatched Alias.\n'myhost:0.0 John Smith'\nEnter Anyway?")
        << "the catalog's entry comes before the default";
    EXPECT_TRUE(buttons) << "Yes and No, no OK";
    EXPECT_FALSE(viewable(XtWindow(MessageSH)));
    when_dialog_up([&] { close_by_window_manager(display, XtWindow(MessageSH)); });
    EXPECT_EQ(message0(TelvaneSH, 1, 196, 1, 900, "Go on?"), 0) << "a close by the window manager says no";

    // A report that comes while a question is up waits until the question is answered.
    struct Person {
        static void answer_question(XtPointer self, XtIntervalId *) { static_cast<Self *>(self)->click(no_button); }
        static void answer_report(XtPointer self, XtIntervalId *) {
            if (message_in_progress && dialog_text() == "Missing font") static_cast<Self *>(self)->click(ok_button);
            else XtAppAddTimeOut(app_context, 10, answer_report, self);
        }
    };
    int report_answer = -2;
    when_dialog_up([&] {
        text = dialog_text();
        XtAppAddTimeOut(app_context, 10, Person::answer_question, this);
        XtAppAddTimeOut(app_context, 10, Person::answer_report, this);
        report_answer = message_show(TelvaneSH, 16, 1, 3, "Missing font");
    });
    EXPECT_EQ(message1(TelvaneSH, 1, 196, 1, 4, "Enter '%s'?", "myhost:0.0 John Smith"), 0)
        << "the question ends with its own answer";
    EXPECT_EQ(report_answer, 1) << "the report was answered once shown";
    EXPECT_TRUE(contains(text, "Enter Anyway?"));
    EXPECT_FALSE(viewable(XtWindow(MessageSH)));

    // Over the screen the dialog holds the pointer until answered.
    int grab_by_other = -1;
    when_dialog_up([&] {
        grab_by_other = grab_pointer_from_another_client();
        screenshot("error");
        click(ok_button);
    });
    EXPECT_EQ(message0(reinterpret_cast<Widget>(1), 1, 17, 199, 199, "Something broke inside"), 1);
    EXPECT_EQ(grab_by_other, AlreadyGrabbed);
    EXPECT_EQ(grab_pointer_from_another_client(), GrabSuccess) << "released again";
}
