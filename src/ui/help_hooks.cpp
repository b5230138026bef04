// Quick help from the message catalog, and the help hooks the dialogs call.
#include "help_hooks.h"

#include "core/messages.h"
#include "ui/message_dialog.h"

#include <Xm/MessageB.h>
#include <Xm/Xm.h>

Widget Msg_Help = nullptr;



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
    XmString string = XmStringCreateLocalized(const_cast<char *>(text));
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
