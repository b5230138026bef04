// The Preferences dialog: radio boxes and a scale over the preference record.
#include "preferences_dialog.h"

#include "core/log.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "receivers/busy.h"
#include "registry/window_properties.h"
#include "ui/input_controls.h"
#include "ui/list_utils.h"
#include "ui/main_window.h"

#include <Xm/Form.h>
#include <Xm/Label.h>
#include <Xm/Protocols.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/Scale.h>
#include <Xm/Separator.h>
#include <Xm/ToggleB.h>
#include <X11/Shell.h>

Widget PreferencesSH = nullptr;

namespace {

// The toggles, in the order of the table below.
enum Toggle {
    PrivateAndPublic, AskBeforePublic, PrivateOnly,
    CaseSensitive, CaseInsensitive,
    AlwaysOn, OnlyIfOneEntry, AlwaysOff,
    InputAllowed, InputDisallowed,
    Diagnostic, Normal, Experienced,
    ToggleCount
};

Widget toggles[ToggleCount];
Widget scale = nullptr;

// One radio box: its label, its name and its toggles with the value each stands for.
struct RadioBox {
    const char *label;
    const char *box;
    struct Choice {
        const char *name;
        Toggle toggle;
        int value;
    } choices[3];
    int count;
};

const RadioBox kBoxes[] = {
    {"Search_method", "RowColumn5",
     {{"Private_And_Public", PrivateAndPublic, 3}, {"Ask_Before_Public", AskBeforePublic, 2},
      {"Private_Only", PrivateOnly, 1}}, 3},
    {"Address_matching", "RowColumn1",
     {{"Case_Sensitive", CaseSensitive, 0}, {"Case_Insensitive", CaseInsensitive, 1}}, 2},
    {"Automatic_highlight", "RowColumn2",
     {{"Always_On", AlwaysOn, 2}, {"Only_If_One_Entry", OnlyIfOneEntry, 1}, {"Always_Off", AlwaysOff, 0}}, 3},
    {"Receiver_input_control", "RowColumn3",
     {{"Input_Allowed", InputAllowed, 1}, {"Input_Disallowed", InputDisallowed, 0}}, 2},
    {"Dialog_level_control", "RowColumn4",
     {{"Diagnostic", Diagnostic, 4}, {"Normal", Normal, 3}, {"Experienced", Experienced, 2}}, 3},
};

bool on(Toggle t) { return toggles[t] && XmToggleButtonGetState(toggles[t]); }

// Sets the dialog from one set of values: each box's toggle of its value on, the rest off.
void show_values(int search, int case_field, int highlight, int allow, int level, int delay) {
    if (!PreferencesSH) return;
    const int values[] = {search, case_field, highlight, allow, level};
    for (size_t b = 0; b < sizeof kBoxes / sizeof kBoxes[0]; ++b) {
        for (int c = 0; c < kBoxes[b].count; ++c) {
            const auto &choice = kBoxes[b].choices[c];
            XmToggleButtonSetState(toggles[choice.toggle], choice.value == values[b], False);
        }
    }
    XmScaleSetValue(scale, delay < 0 ? 0 : delay > 50 ? 50 : delay);
}

void ok_P_callback(Widget, XtPointer, XtPointer) {
    popdown_Preferences();
    update_preferences();
}

void save_P_callback(Widget, XtPointer, XtPointer) {
    popdown_Preferences();
    update_preferences();
    save_user_defaults();
}

void cancel_P_callback(Widget, XtPointer, XtPointer) { popdown_Preferences(); }

void reset_P_callback(Widget, XtPointer, XtPointer) { reset_preferences(); }

void delete_P_callback(Widget, XtPointer, XtPointer) { popdown_Preferences(); }

Widget separator(Widget form, const char *name, Widget above) {
    return XtVaCreateManagedWidget(name, xmSeparatorWidgetClass, form, XmNtopAttachment, XmATTACH_WIDGET,
                                   XmNtopWidget, above, XmNtopOffset, 6, XmNleftAttachment, XmATTACH_FORM,
                                   XmNrightAttachment, XmATTACH_FORM, nullptr);
}

Widget label_below(Widget form, const char *name, Widget above, int offset = 6) {
    return XtVaCreateManagedWidget(name, xmLabelWidgetClass, form, XmNtopAttachment, XmATTACH_WIDGET,
                                   XmNtopWidget, above, XmNtopOffset, offset, XmNleftAttachment,
                                   XmATTACH_FORM, nullptr);
}

void create_Preferences() {
    if (PreferencesSH || !TopLevel) return;
    start_hourglass();
    Widget main_shell = TelvaneSH ? TelvaneSH : TopLevel;
    PreferencesSH = XtVaCreatePopupShell("Preferences", transientShellWidgetClass, main_shell,
                                         XmNdeleteResponse, XmDO_NOTHING, nullptr);
    Atom delete_window = XmInternAtom(XtDisplay(PreferencesSH), const_cast<char *>("WM_DELETE_WINDOW"), False);
    XmAddWMProtocolCallback(PreferencesSH, delete_window, delete_P_callback, nullptr);
    Widget form = XtVaCreateWidget("form", xmFormWidgetClass, PreferencesSH, XmNmarginWidth, 8,
                                   XmNmarginHeight, 8, nullptr);
    Widget heading = XtVaCreateManagedWidget("Choose_preferences_to_apply", xmLabelWidgetClass, form,
                                             XmNtopAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM,
                                             nullptr);
    Widget above = separator(form, "sep4", heading);
    above = separator(form, "sep6", label_below(form, "Receiver_List_Control", above));
    // The radio boxes sit in a column of their own right of the widest label.
    const char *separators_after[] = {nullptr, nullptr, "sep8", "sep7", "sep13"};
    Widget labels[5];
    for (size_t b = 0; b < sizeof kBoxes / sizeof kBoxes[0]; ++b) {
        const RadioBox &box = kBoxes[b];
        Widget rc = XmCreateRadioBox(form, const_cast<char *>(box.box), nullptr, 0);
        XtVaSetValues(rc, XmNorientation, XmHORIZONTAL, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, above,
                      XmNtopOffset, 2, XmNleftAttachment, XmATTACH_POSITION, XmNleftPosition, 30,
                      XmNrightAttachment, XmATTACH_FORM, nullptr);
        for (int c = 0; c < box.count; ++c)
            toggles[box.choices[c].toggle] = XtVaCreateManagedWidget(box.choices[c].name, xmToggleButtonWidgetClass,
                                                                     rc, nullptr);
        XtManageChild(rc);
        labels[b] = XtVaCreateManagedWidget(box.label, xmLabelWidgetClass, form, XmNtopAttachment,
                                            XmATTACH_OPPOSITE_WIDGET, XmNtopWidget, rc, XmNbottomAttachment,
                                            XmATTACH_OPPOSITE_WIDGET, XmNbottomWidget, rc, XmNleftAttachment,
                                            XmATTACH_FORM, XmNleftOffset, 12, nullptr);
        above = rc;
        if (separators_after[b]) above = separator(form, separators_after[b], above);
    }
    (void)labels;
    scale = XtVaCreateManagedWidget("scale", xmScaleWidgetClass, form, XmNorientation, XmHORIZONTAL,
                                    XmNminimum, 0, XmNmaximum, 50, XmNdecimalPoints, 1, XmNshowValue, True,
                                    XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, above, XmNtopOffset, 6,
                                    XmNleftAttachment, XmATTACH_POSITION, XmNleftPosition, 30,
                                    XmNrightAttachment, XmATTACH_FORM, nullptr);
    XtVaCreateManagedWidget("Time_Between_Users_Input", xmLabelWidgetClass, form, XmNbottomAttachment,
                            XmATTACH_OPPOSITE_WIDGET, XmNbottomWidget, scale, XmNleftAttachment, XmATTACH_FORM,
                            XmNleftOffset, 12, nullptr);
    above = separator(form, "sep11", scale);

    struct Button {
        const char *name;
        XtCallbackProc callback;
    } buttons[] = {{"OK", ok_P_callback}, {"Save", save_P_callback}, {"Cancel", cancel_P_callback},
                   {"Reset", reset_P_callback}};
    for (int i = 0; i < 4; ++i) {
        Widget b = XtVaCreateManagedWidget(buttons[i].name, xmPushButtonWidgetClass, form, XmNtopAttachment,
                                           XmATTACH_WIDGET, XmNtopWidget, above, XmNtopOffset, 8,
                                           XmNleftAttachment, XmATTACH_POSITION, XmNleftPosition, i * 25 + 2,
                                           XmNrightAttachment, XmATTACH_POSITION, XmNrightPosition, i * 25 + 23,
                                           XmNbottomAttachment, XmATTACH_FORM, nullptr);
        XtAddCallback(b, XmNactivateCallback, buttons[i].callback, nullptr);
    }
    XtManageChild(form);
    XtRealizeWidget(PreferencesSH);
    set_share_alone(XtWindow(PreferencesSH));
    stop_hourglass();
}

}  // namespace

void popup_Preferences() {
    if (!PreferencesSH) create_Preferences();
    if (!PreferencesSH) return;
    set_preferences();
    center_widget(PreferencesSH, TelvaneSH ? TelvaneSH : TopLevel);
    XtPopup(PreferencesSH, XtGrabExclusive);
    XRaiseWindow(XtDisplay(PreferencesSH), XtWindow(PreferencesSH));
}

void popdown_Preferences() {
    if (PreferencesSH) XtPopdown(PreferencesSH);
}

void cursor_Preferences(Cursor cursor) {
    if (PreferencesSH && XtIsRealized(PreferencesSH))
        XDefineCursor(XtDisplay(PreferencesSH), XtWindow(PreferencesSH), cursor);
}

void set_preferences() {
    const UserPreference &p = user_preference;
    show_values(p.search_level, p.case_insensitive, p.automatic_highlight, p.allow_input, p.dialog_level,
                inactivity_timeout);
}

void reset_preferences() {
    show_values(prog_preference[33], prog_preference[2], prog_preference[10], prog_preference[29],
                prog_preference[17], prog_preference[34]);
}

void update_preferences() {
    if (!PreferencesSH) return;
    UserPreference &p = user_preference;
    p.case_insensitive = on(CaseInsensitive) ? 1 : 0;
    p.automatic_highlight = on(AlwaysOff) ? 0 : on(OnlyIfOneEntry) ? 1 : 2;
    p.allow_input = on(InputAllowed) ? 1 : 0;
    // The level goes up before the first line and down after the second, so both are logged.
    if (on(Diagnostic)) {
        p.dialog_level = 4;
        log_msg0("Diagnostic Level Turned ON");
    } else if (on(Normal)) {
        log_msg0("Diagnostic Level Turned OFF");
        logfile_close();
        p.dialog_level = 3;
    } else if (on(Experienced)) {
        log_msg0("Diagnostic Level Turned OFF");
        logfile_close();
        p.dialog_level = 2;
    }
    if (on(PrivateAndPublic)) p.search_level = 3;
    else if (on(AskBeforePublic)) p.search_level = 2;
    else if (on(PrivateOnly)) p.search_level = 1;
    int v = 0;
    XmScaleGetValue(scale, &v);
    interactive_timeout(v, v);
}

void forget_Preferences() {
    PreferencesSH = nullptr;
    scale = nullptr;
    for (Widget &t : toggles) t = nullptr;
}
