// List operations and character sizing on real Motif lists, texts and shells.
#include <gtest/gtest.h>

#include "toolkit_fixture.h"
#include "ui/list_utils.h"

#include <Xm/Form.h>

using namespace telvane::testing;
using Rows = std::vector<std::string>;

namespace {

int int_resource(Widget widget, const char *name) {
    int value = -1;
    XtVaGetValues(widget, name, &value, nullptr);
    return value;
}

class ListUtils : public ToolkitTest {
protected:
    ListUtils() { app_defaults = false; }
    // Lets the toolkit finish what the last calls started.
    void settle() { pump_until([] { return false; }, std::chrono::milliseconds(0)); }

    // A new shell holding a form with `margin` around its children.
    Widget new_form(int margin = 0) {
        Widget shell = XtVaCreatePopupShell("shell", topLevelShellWidgetClass, TopLevel, nullptr);
        return XtVaCreateManagedWidget("form", xmFormWidgetClass, shell, XmNmarginWidth, margin,
                                       XmNmarginHeight, margin, nullptr);
    }

    // A realised scrolled list of `visible` rows holding "row 1" ... "row <items>", filling a form with
    // `margin`, `offset` from its sides (-1: the form's margins stand).
    Widget scrolled_list(int visible, int items, unsigned char policy = XmEXTENDED_SELECT, int margin = 0,
                         int offset = -1) {
        Widget form = new_form(margin);
        Arg args[3];
        XtSetArg(args[0], XmNvisibleItemCount, visible);
        XtSetArg(args[1], XmNselectionPolicy, policy);
        XtSetArg(args[2], XmNlistSizePolicy, XmCONSTANT);
        Widget list = XmCreateScrolledList(form, const_cast<char *>("list"), args, 3);
        XtVaSetValues(XtParent(list), XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM,
                      XmNtopAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_FORM, nullptr);
        if (offset >= 0)
            XtVaSetValues(XtParent(list), XmNleftOffset, offset, XmNrightOffset, offset, XmNtopOffset, offset,
                          XmNbottomOffset, offset, nullptr);
        XtManageChild(list);
        for (int i = 1; i <= items; ++i) add_to_list(list, ("row " + std::to_string(i)).c_str(), 0);
        XtRealizeWidget(XtParent(form));
        settle();
        return list;
    }

    static Rows selected(Widget list) {
        XmStringTable items = nullptr;
        int n = 0;
        find_items_selected(list, &n, &items);
        return texts_of(items, n);
    }
};

}  // namespace

TEST_F(ListUtils, AddingUniqueFindingSelectingAndDeletingRows) {
    Widget list = scrolled_list(5, 0);
    recs_added = 0;
    EXPECT_EQ(add_to_list_unique(list, "alpha", 0), 1);
    EXPECT_EQ(recs_added, 1);
    EXPECT_EQ(add_to_list_unique(list, "beta", 1), 1);
    recs_added = 0;
    EXPECT_EQ(add_to_list_unique(list, "alpha", 1), 0);
    // A localized string, as dialogs make them, is equal to the same text.
    XmString localized = XmStringCreateLocalized(const_cast<char *>("beta"));
    EXPECT_EQ(add_to_List_unique(list, localized, 0), 0);
    XmStringFree(localized);
    EXPECT_EQ(add_to_list(list, "alpha", 0), 1);
    EXPECT_EQ(rows(list), (Rows{"beta", "alpha", "alpha"}));
    EXPECT_EQ(recs_added, 0);

    // Finding and scrolling by item (the top row's arithmetic has its own table), and selecting by
    // text, which keeps other rows, never toggles off and calls no callback.
    list = scrolled_list(10, 12, XmBROWSE_SELECT);
    int pos = -1, visible = -1, count = -1;
    XmString item = XmStringCreateLocalized(const_cast<char *>("row 5"));
    EXPECT_EQ(find_Item_in_list(list, item, &pos, &visible, &count), 1);
    EXPECT_EQ(pos, 4) << "zero-based";
    set_list_to_show_Str(list, item);
    XmStringFree(item);
    EXPECT_EQ(int_resource(list, XmNtopItemPosition), 3) << "the last full page";

    static int callbacks = 0;
    auto counted = [](Widget, XtPointer, XtPointer) { ++callbacks; };
    XtAddCallback(list, XmNbrowseSelectionCallback, counted, nullptr);
    XtAddCallback(list, XmNmultipleSelectionCallback, counted, nullptr);
    for (const char *row : {"row 2", "row 5", "row 2"}) set_selected_str(list, row, 1);
    EXPECT_EQ(selected(list), (Rows{"row 2", "row 5"}));
    EXPECT_EQ(int_resource(list, XmNselectionPolicy) & 0xff, XmBROWSE_SELECT);
    set_selected_str(list, "row 2", 0);
    EXPECT_EQ(selected(list), (Rows{"row 5"}));
    EXPECT_EQ(callbacks, 0);
    EXPECT_EQ(set_selected_pos(list, 3), 1);
    EXPECT_EQ(selected(list), (Rows{"row 3"}));
    EXPECT_EQ(callbacks, 1);
    delete_all(list);
    EXPECT_EQ(set_selected_pos(list, 1), 0);

    // Deleting takes selected rows by position.
    list = scrolled_list(10, 12);
    EXPECT_EQ(delete_item_str(list, "row 42"), 0);
    EXPECT_EQ(delete_item_str(list, "row 1"), 1);

    // The copy of the selection outlives its rows; of two "row 4" only the selected last one goes.
    add_to_list(list, "row 4", 0);
    set_selected_pos(list, 12);
    set_selected_str(list, "row 12", 1);
    set_selected_str(list, "row 7", 1);
    int n = 0;
    XmStringTable copy = nullptr;
    replicate_selected_list(list, &n, &copy);
    delete_selected(list);
    EXPECT_EQ(rows(list), (Rows{"row 2", "row 3", "row 4", "row 5", "row 6", "row 8", "row 9", "row 10", "row 11"}));
    EXPECT_EQ(texts_of(copy, n), (Rows{"row 7", "row 12", "row 4"}));
    free_replicated_list(n, copy);
}

TEST_F(ListUtils, SizingInCharactersAndPlacingShells) {
    // A scrolled list sized for 7 rows of 30 characters shows 7 rows, and scrolls sideways only for wider ones.
    int width = 0, height = 0;
    Widget list = scrolled_list(1, 0, XmEXTENDED_SELECT, 5, 8);
    for (int i = 0; i < 10; ++i) add_to_list(list, "a", 0);  // the vertical bar shows
    Widget sw = XtParent(list), horizontal = nullptr;
    size_ScrolledList_widget(list, 7, 30, &width, &height);
    set_shell_size(XtParent(XtParent(sw)), 10, 10, width, height);
    settle();
    EXPECT_EQ(int_resource(list, XmNvisibleItemCount), 7);
    XtVaGetValues(sw, XmNhorizontalScrollBar, &horizontal, nullptr);
    for (int more : {0, 2}) {
        add_to_list(list, std::string(30 + more, 'M').c_str(), 0);
        settle();
        EXPECT_EQ(XtIsManaged(horizontal), more != 0) << "a row " << more << " characters wider than asked for";
    }

    // A shell never shrinks; a dialog is centred on its reference's shell (kept on the screen by its own table).
    Widget dialog = new_form(), reference = new_form();
    Widget shell = XtParent(dialog), reference_shell = XtParent(reference);
    XtVaSetValues(shell, XmNwidth, 400, XmNheight, 300, nullptr);
    XtRealizeWidget(shell);
    set_shell_size(shell, 50, 40, 300, 500);
    Dimension w = 0, h = 0;
    XtVaGetValues(shell, XmNwidth, &w, XmNheight, &h, nullptr);
    EXPECT_EQ((std::pair<int, int>(w, h)), std::pair(400, 500));
    XtVaSetValues(reference, XmNwidth, 200, XmNheight, 100, nullptr);
    XtVaSetValues(reference_shell, XmNx, 400, XmNy, 300, nullptr);
    XtRealizeWidget(reference_shell);
    center_widget(dialog, reference);
    settle();
    Window child;
    int x = -1, y = -1;
    XTranslateCoordinates(display, XtWindow(shell), DefaultRootWindow(display), 0, 0, &x, &y, &child);
    EXPECT_EQ(std::pair(x, y), std::pair(400 + 100 - 200, 300 + 50 - 250));
}
