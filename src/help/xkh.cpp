// Xkh's quick help and help dialogs: a form subclass that holds the help resources.
#include "xkh.h"

#include <Xm/DialogS.h>
#include <Xm/FormP.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/SeparatoG.h>
#include <Xm/Text.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct HelpPart {
    int help_type;
    char *string_data, *help_volume, *location_id;
    // Made by the create functions; children[n] is quick child n, title and topics are the
    // help dialog's.
    Widget children[7];
    Widget topics;
};

struct HelpRec {
    XmFormRec form;
    HelpPart help;
};
using HelpWidget = HelpRec *;

HelpPart &part(Widget w) { return reinterpret_cast<HelpWidget>(w)->help; }

XtResource resources[] = {
    {XkhNhelpType, const_cast<char *>("HelpType"), const_cast<char *>(XmRInt), sizeof(int),
     static_cast<Cardinal>(XtOffsetOf(HelpRec, help.help_type)), const_cast<char *>(XmRImmediate),
     reinterpret_cast<XtPointer>(static_cast<long>(XkhHELP_TYPE_STRING))},
    {XkhNstringData, const_cast<char *>("StringData"), const_cast<char *>(XmRString),
     sizeof(char *), static_cast<Cardinal>(XtOffsetOf(HelpRec, help.string_data)), const_cast<char *>(XmRImmediate), nullptr},
    {XkhNhelpVolume, const_cast<char *>("HelpVolume"), const_cast<char *>(XmRString),
     sizeof(char *), static_cast<Cardinal>(XtOffsetOf(HelpRec, help.help_volume)), const_cast<char *>(XmRImmediate), nullptr},
    {XkhNlocationId, const_cast<char *>("LocationId"), const_cast<char *>(XmRString),
     sizeof(char *), static_cast<Cardinal>(XtOffsetOf(HelpRec, help.location_id)), const_cast<char *>(XmRImmediate), nullptr},
};

struct Volume {
    std::string name;
    const XkhTopic *topics;
    int count;
};
std::vector<Volume> volumes;

const Volume *find_volume(const char *name) {
    for (const Volume &v : volumes)
        if (name && v.name == name) return &v;
    return nullptr;
}

// Shows what the resources ask for: the text, or the topic with its title on the window and
// its place in the topic list.
void show(Widget w) {
    HelpPart &h = part(w);
    Widget text = h.children[XkhQUICK_TEXT];
    if (!text) return;  // still being built
    std::string body = h.string_data ? h.string_data : "";
    if (h.help_type == XkhHELP_TYPE_TOPIC) {
        const Volume *v = find_volume(h.help_volume);
        const char *id = h.location_id ? h.location_id : XkhHOME_TOPIC;
        int found = -1;
        for (int i = 0; v && i < v->count && found < 0; ++i)
            if (strcmp(v->topics[i].id, id) == 0 || (i == 0 && strcmp(id, XkhHOME_TOPIC) == 0)) found = i;
        if (found < 0) {
            body = std::string("There is no topic '") + id + "' in the help volume '" +
                   (h.help_volume ? h.help_volume : "") + "'.";
        } else {
            body = v->topics[found].text;
            XtVaSetValues(XtParent(w), XmNtitle, v->topics[found].title, nullptr);
        }
        int listed = 0;
        if (h.topics) XtVaGetValues(h.topics, XmNitemCount, &listed, nullptr);
        if (h.topics && listed != (v ? v->count : 0)) {
            XmListDeleteAllItems(h.topics);
            for (int i = 0; v && i < v->count; ++i) {
                XmString item = XmStringCreateLocalized(const_cast<char *>(v->topics[i].title));
                XmListAddItemUnselected(h.topics, item, 0);
                XmStringFree(item);
            }
        }
        if (h.topics && found >= 0) XmListSelectPos(h.topics, found + 1, False);
    }
    XmTextSetString(text, const_cast<char *>(body.c_str()));
    XmTextShowPosition(text, 0);
}

char *copy(const char *s) { return s ? XtNewString(s) : nullptr; }

void initialize(Widget, Widget w, ArgList, Cardinal *) {
    HelpPart &h = part(w);
    h.string_data = copy(h.string_data);
    h.help_volume = copy(h.help_volume);
    h.location_id = copy(h.location_id);
    for (Widget &child : h.children) child = nullptr;
    h.topics = nullptr;
}

Boolean set_values(Widget old, Widget, Widget w, ArgList, Cardinal *) {
    HelpPart &before = part(old), &now = part(w);
    bool changed = before.help_type != now.help_type;
    for (auto field : {&HelpPart::string_data, &HelpPart::help_volume, &HelpPart::location_id}) {
        if (before.*field == now.*field) continue;
        XtFree(before.*field);
        now.*field = copy(now.*field);
        changed = true;
    }
    if (changed) show(w);
    return False;
}

void destroy(Widget w) {
    HelpPart &h = part(w);
    XtFree(h.string_data);
    XtFree(h.help_volume);
    XtFree(h.location_id);
}

XmFormClassRec help_class_rec = {
    {
        reinterpret_cast<WidgetClass>(&xmFormClassRec),  // superclass
        const_cast<char *>("XkhHelpDialog"), sizeof(HelpRec), nullptr, nullptr, False, initialize, nullptr,
        XtInheritRealize, nullptr, 0, resources, XtNumber(resources), NULLQUARK, True, XtExposeCompressMultiple,
        True, False, destroy, XtInheritResize, XtInheritExpose, set_values, nullptr, XtInheritSetValuesAlmost,
        nullptr, XtInheritAcceptFocus, XtVersion, nullptr, XtInheritTranslations, XtInheritQueryGeometry,
        XtInheritDisplayAccelerator, nullptr,
    },
    {XtInheritGeometryManager, XtInheritChangeManaged, XtInheritInsertChild, XtInheritDeleteChild, nullptr},
    {nullptr, 0, sizeof(XmFormConstraintRec), nullptr, nullptr, nullptr, nullptr},
    {XmInheritTranslations, nullptr, 0, nullptr, 0, XmInheritParentProcess, nullptr},
    {False, XmInheritGeoMatrixCreate, XmInheritFocusMovedProc, nullptr},
    {nullptr},
};

void close_dialog(Widget, XtPointer dialog, XtPointer) { XtUnmanageChild(static_cast<Widget>(dialog)); }

void topic_chosen(Widget, XtPointer dialog, XtPointer call) {
    auto *cb = static_cast<XmListCallbackStruct *>(call);
    HelpPart &h = part(static_cast<Widget>(dialog));
    const Volume *v = find_volume(h.help_volume);
    if (!v || cb->item_position < 1 || cb->item_position > v->count) return;
    XtVaSetValues(static_cast<Widget>(dialog), XkhNlocationId, v->topics[cb->item_position - 1].id, nullptr);
}

// The dialog in its shell, with a read-only text of `rows` lines and the row of buttons at the
// bottom; a title that is only the shell's name becomes `title`.
Widget create_dialog(Widget parent, const char *name, ArgList args, Cardinal count, const char *title, short rows,
                     const std::vector<const char *> &buttons) {
    std::string shell_name = std::string(name) + "_popup";
    Widget shell = XmCreateDialogShell(parent, const_cast<char *>(shell_name.c_str()), args, count);
    char *given = nullptr;
    XtVaGetValues(shell, XmNtitle, &given, nullptr);
    if (!given || shell_name == given) XtVaSetValues(shell, XmNtitle, title, nullptr);
    Widget w = XtCreateWidget(name, reinterpret_cast<WidgetClass>(&help_class_rec), shell, args, count);
    XtVaSetValues(w, XmNautoUnmanage, False, nullptr);
    HelpPart &h = part(w);

    Widget row = XtVaCreateManagedWidget("buttons", xmRowColumnWidgetClass, w, XmNorientation, XmHORIZONTAL,
                                         XmNpacking, XmPACK_COLUMN, XmNbottomAttachment, XmATTACH_FORM,
                                         XmNleftAttachment, XmATTACH_FORM, nullptr);
    const int numbers[] = {XkhQUICK_CLOSE_BUTTON, XkhQUICK_HELP_BUTTON, XkhQUICK_MORE_BUTTON, XkhQUICK_BACK_BUTTON};
    for (size_t i = 0; i < buttons.size(); ++i)
        h.children[numbers[i]] = XtVaCreateManagedWidget(buttons[i], xmPushButtonWidgetClass, row, nullptr);
    XtAddCallback(h.children[XkhQUICK_CLOSE_BUTTON], XmNactivateCallback, close_dialog, w);
    h.children[XkhQUICK_SEPARATOR] = XtVaCreateManagedWidget(
        "separator", xmSeparatorGadgetClass, w, XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment,
        XmATTACH_FORM, XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget, row, nullptr);

    Arg text_args[6];
    Cardinal n = 0;
    XtSetArg(text_args[n], XmNeditMode, XmMULTI_LINE_EDIT); ++n;
    XtSetArg(text_args[n], XmNeditable, False); ++n;
    XtSetArg(text_args[n], XmNwordWrap, True); ++n;
    XtSetArg(text_args[n], XmNscrollHorizontal, False); ++n;
    XtSetArg(text_args[n], XmNcursorPositionVisible, False); ++n;
    XtSetArg(text_args[n], XmNrows, rows); ++n;
    Widget text = XmCreateScrolledText(w, const_cast<char *>("helpText"), text_args, n);
    XtVaSetValues(XtParent(text), XmNtopAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM,
                  XmNleftAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget,
                  h.children[XkhQUICK_SEPARATOR], nullptr);
    XtManageChild(text);
    h.children[XkhQUICK_TEXT] = text;
    return w;
}

}  // namespace

void XkhRegisterVolume(const char *name, const XkhTopic *topics, int count) {
    for (Volume &v : volumes)
        if (v.name == name) {
            v = {name, topics, count};
            return;
        }
    volumes.push_back({name, topics, count});
}

Widget XkhCreateQuickHelpDialog(Widget parent, const char *name, ArgList args, Cardinal count) {
    Widget w = create_dialog(parent, name, args, count, "Quick Help", 8, {"Close", "Help", "More", "Back"});
    XtVaSetValues(part(w).children[XkhQUICK_TEXT], XmNcolumns, 72, nullptr);
    show(w);
    return w;
}

Widget XkhQuickDialogGetChild(Widget dialog, int child) {
    if (!dialog || XtClass(dialog) != reinterpret_cast<WidgetClass>(&help_class_rec) || child < 1 || child > 6)
        return nullptr;
    return part(dialog).children[child];
}

Widget XkhCreateHelpDialog(Widget parent, const char *name, ArgList args, Cardinal count) {
    Widget w = create_dialog(parent, name, args, count, "Help", 24, {"Close"});
    HelpPart &h = part(w);
    XtVaSetValues(h.children[XkhQUICK_TEXT], XmNcolumns, 64, nullptr);
    // The topics on the left, the text beside them.
    Arg list_args[2];
    XtSetArg(list_args[0], XmNselectionPolicy, XmBROWSE_SELECT);
    XtSetArg(list_args[1], XmNvisibleItemCount, 8);
    h.topics = XmCreateScrolledList(w, const_cast<char *>("topics"), list_args, 2);
    XtVaSetValues(XtParent(h.topics), XmNtopAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM,
                  XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget, h.children[XkhQUICK_SEPARATOR], nullptr);
    XtAddCallback(h.topics, XmNbrowseSelectionCallback, topic_chosen, w);
    XtManageChild(h.topics);
    XtVaSetValues(XtParent(h.children[XkhQUICK_TEXT]), XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget,
                  XtParent(h.topics), nullptr);
    show(w);
    return w;
}
