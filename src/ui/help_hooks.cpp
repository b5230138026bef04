// Quick help from the message catalog, the help volume, and the help hooks the dialogs call.
#include "help_hooks.h"

#include "core/messages.h"
#include "core/startup.h"
#include "help/xkh.h"
#include "telepointer/telepointer.h"
#include "ui/message_dialog.h"

#include <Xm/CascadeB.h>
#include <Xm/PushBG.h>
#include <Xm/RowColumn.h>
#include <Xm/Xm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

Widget Msg_Help = nullptr;
Widget Form_Help = nullptr;
Widget Main_Help = nullptr;

namespace {

char *version = nullptr;

// The help volume "Telvane": its home topic first.
const XkhTopic telvane_topics[] = {
    {"_HOMETOPIC", "Telvane Help",
     "Telvane shares windows of this display with other X displays, the receivers: one window or a "
     "whole application, live on every receiver, with input from each receiver allowed or forbidden.\n\n"
     "The main window\n"
     "  Receiver name: type a display name (host:0), an address (192.0.2.7:1), or a name from an "
     "address book, then press Return; the receiver joins the list below.\n"
     "  The receiver list: select the receivers a share goes to. The square beside a row allows or "
     "forbids that receiver's input; a \"?\" means the receiver's consent is still awaited.\n"
     "  Share: click a window after pressing it; Unshare and Disconnect undo a share.\n"
     "  Menus: Receivers (address books, saving the selection, the list itself), Windows (window "
     "status, a single window, telepointers, daisy chaining), Tools (whiteboard, snapshot), "
     "Options (preferences), Help.\n\n"
     "More\n"
     "  The manual pages: telvane(1), telvane-server(1), telvane-consent(1), telvane-request(1) and "
     "telvane-whiteboard(1), installed with the programs (man telvane).\n"
     "  When a share fails, Telvane shows one message for every receiver with the same trouble; "
     "the topic Troubleshooting says what to do about each."},
    {"TROUBLE", "Troubleshooting",
     "Telvane gathers the problems that receivers report and shows one message per kind, naming "
     "every receiver concerned.\n\n"
     "Connections refused\n"
     "  The receiver's X server did not let this host in. Best: run telvane-consent on the "
     "receiver's machine (systemctl --user enable --now telvane-consent); the share then travels "
     "over an encrypted display link and the receiver's user is asked first. Without it, the "
     "receiver's X server must listen on TCP and allow this host (xhost +this-host on the "
     "receiver), which lets every program of this host see and drive that screen.\n\n"
     "Cannot convert hostname to an IP address\n"
     "  The receiver's name is unknown here: check the spelling, or type its address.\n\n"
     "No physical connection, No X server running\n"
     "  The receiver's machine cannot be reached, or no X server runs at that display number: "
     "check the network and the display number (host:0 is display 0).\n\n"
     "Access permission denied\n"
     "  The receiver's user said no, or the receiver's key differs from the one remembered in "
     "~/.Telvane/known_receivers (see telvane-server(1)).\n\n"
     "Colours, colormaps, fonts, graphics functions\n"
     "  The window was shared anyway, with other colours or fonts. The resource "
     "dontReportProblems.color, .font or .gc names receivers whose such reports are not shown.\n\n"
     "Servers not responding, connection lost, a property changed, out of memory\n"
     "  The windows shared to those receivers were unshared: share them again once the receiver "
     "is back.\n\n"
     "Already have the window, windows not shared\n"
     "  The receiver holds the window already, or the window cannot be shared; picking another "
     "window of the application may help.\n\n"
     "Direct colour display, direct access clients\n"
     "  Such receivers and clients cannot take part in sharing.\n\n"
     "The diagnostic log ~/.Telvane/.logfile is written at dialog level 4 (Options) and names "
     "every request and what the server answered."},
};

// Text shown in a quick help dialog.
void show_text(Widget dialog, const char *text) {
    Arg args[2];
    XtSetArg(args[0], XkhNhelpType, XkhHELP_TYPE_STRING);
    XtSetArg(args[1], XkhNstringData, text);
    XtSetValues(dialog, args, 2);
}

void version_callback(Widget w, XtPointer client, XtPointer call) { version_help(w, client, call); }

}  // namespace

Widget quick_help(Widget dialog, Widget parent, int set, int number, const char *fallback) {
    if (!parent) return dialog;
    if (!dialog) {
        Arg args[1];
        XtSetArg(args[0], XmNsaveUnder, False);
        dialog = XkhCreateQuickHelpDialog(parent, "QHelp", args, 1);
        for (int child : {XkhQUICK_HELP_BUTTON, XkhQUICK_MORE_BUTTON, XkhQUICK_BACK_BUTTON})
            XtUnmanageChild(XkhQuickDialogGetChild(dialog, child));
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
    show_text(dialog, text);
    XtManageChild(dialog);
    return dialog;
}

void help_message(Widget, int set, int number, const char *fallback) {
    Msg_Help = quick_help(Msg_Help, MessageSH, set, number, fallback);
}

void menu_help(Widget, XtPointer client) {
    if (!TopLevel) return;
    if (!Main_Help) {
        XkhRegisterVolume("Telvane", telvane_topics, static_cast<int>(XtNumber(telvane_topics)));
        Arg args[2];
        XtSetArg(args[0], XkhNstringData, "");
        XtSetArg(args[1], XkhNhelpType, XkhHELP_TYPE_STRING);
        Main_Help = XkhCreateHelpDialog(TopLevel, "Help", args, 2);
    }
    char *volume = nullptr;
    XtVaGetValues(Main_Help, XkhNhelpVolume, &volume, nullptr);
    Arg args[3];
    Cardinal n = 0;
    if (!volume || !*volume) {
        XtSetArg(args[n], XkhNhelpVolume, "Telvane");
        ++n;
    }
    XtSetArg(args[n], XkhNlocationId, reinterpret_cast<long>(client) == 810 ? "TROUBLE" : XkhHOME_TOPIC);
    ++n;
    XtSetArg(args[n], XkhNhelpType, XkhHELP_TYPE_TOPIC);
    ++n;
    XtSetValues(Main_Help, args, n);
    XtManageChild(Main_Help);
}

void set_item_help(Widget, int) {}

void set_item_helpSW(Widget, int) {}

void set_item_helpSC(Widget, int) {}

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
