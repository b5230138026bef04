// Quick help from the message catalog, and the help hooks the dialogs call.
#include "help_hooks.h"

#include "core/messages.h"
#include "core/startup.h"
#include "telepointer/telepointer.h"
#include "ui/message_dialog.h"

#include <Xm/CascadeB.h>
#include <Xm/MessageB.h>
#include <Xm/PushBG.h>
#include <Xm/RowColumn.h>
#include <Xm/Xm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

Widget Msg_Help = nullptr;
Widget Form_Help = nullptr;

namespace {

char *version = nullptr;

void version_callback(Widget w, XtPointer client, XtPointer call) { version_help(w, client, call); }

}  // namespace

Widget quick_help(Widget dialog, Widget parent, int set, int number, const char *fallback) {
    if (!parent) return dialog;
    if (!dialog) {
        Arg args[1];
        XtSetArg(args[0], XmNsaveUnder, False);
        dialog = XmCreateInformationDialog(parent, const_cast<char *>("QHelp"), args, 1);
        XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_CANCEL_BUTTON));
        XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_HELP_BUTTON));
    } else {
        XtUnmanageChild(dialog);
    }
    const char *text = fallback;
    if (number > 0) {
        open_message_catalog();
        if (CatD != reinterpret_cast<nl_catd>(-1)) {
            const char *entry = catgets(CatD, set, number, fallback);
            if (entry && *entry) text = entry;
        }
    }
    if (!text || !*text) text = "Help Not Available";
    // Help texts run over several lines.
    XmString string = XmStringCreateLtoR(const_cast<char *>(text), const_cast<char *>(XmFONTLIST_DEFAULT_TAG));
    XtVaSetValues(dialog, XmNmessageString, string, nullptr);
    XmStringFree(string);
    XtManageChild(dialog);
    return dialog;
}

void help_message(Widget, int set, int number, const char *fallback) {
    Msg_Help = quick_help(Msg_Help, MessageSH, set, number, fallback);
}

void set_item_help(Widget, int) {}

void cursor_Help(Cursor) {}

void popdown_Help_ifgrabbed() {}

void form_help(Widget, int number) {
    if (!TopLevel) return;
    Form_Help = quick_help(Form_Help, TopLevel, 6, number, "No Help Available");
}

void version_help(Widget, XtPointer, XtPointer) {
    if (!version) {
        const char *format = catalog_text(6, 7, "%s\n%s\n%s\n%s\n%s", 5);
        char line[256];
        snprintf(line, sizeof line, "%s   (%s)", my_display_name ? my_display_name : "",
                 my_ip_address ? my_ip_address : "");
        const char *connector = connector_version && strlen(connector_version) > 4 ? connector_version + 4 : "";
        char text[1024];
        snprintf(text, sizeof text, format, connector, extension_version ? extension_version : "",
                 telepointer_version, line, my_hostname ? my_hostname : "");
        version = strdup(text);
    }
    present_message(TopLevel, 19, 6, 7, version);
}

Widget create_HelpMenu(Widget menubar) {
    Widget menu = XmCreatePulldownMenu(menubar, const_cast<char *>("menu4 "), nullptr, 0);
    Widget on_version = XmCreatePushButtonGadget(menu, const_cast<char *>("On_Version"), nullptr, 0);
    XtAddCallback(on_version, XmNactivateCallback, version_callback, nullptr);
    XtManageChild(on_version);
    Arg args[1];
    XtSetArg(args[0], XmNsubMenuId, menu);
    Widget help = XmCreateCascadeButton(menubar, const_cast<char *>("Help"), args, 1);
    XtManageChild(help);
    XtVaSetValues(menubar, XmNmenuHelpWidget, help, nullptr);
    return menu;
}
