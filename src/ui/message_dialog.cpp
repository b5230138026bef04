// The modal message dialog: built once, filled per message, answered in a nested loop.
#include "message_dialog.h"

#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "receivers/busy.h"
#include "registry/window_properties.h"
#include "ui/help_hooks.h"
#include "ui/main_window.h"

#include <Xm/Form.h>
#include <Xm/Label.h>
#include <Xm/Protocols.h>
#include <Xm/PushB.h>
#include <Xm/Text.h>
#include <X11/Shell.h>
#include <algorithm>
#include <cstring>
#include <poll.h>
#include <vector>

Widget MessageSH = nullptr;
Widget Message = nullptr;
Widget messTypeIcon = nullptr;
Widget msg_text = nullptr;
Widget ok_button = nullptr, yes_button = nullptr, cancel_button = nullptr, no_button = nullptr,
       help_button = nullptr;
Widget msgDefaultButton = nullptr;
Widget transient_for_widget = nullptr;
Pixmap pixmapError = 0, pixmapWarning = 0, pixmapInformation = 0, pixmapQuestion = 0,
       pixmapWorking = 0;

namespace {

const Widget kScreen = reinterpret_cast<Widget>(1);

// The catalog item of the message shown, for its Help button.
int shown_set = 0, shown_number = 0;

using Art = std::array<const char *, 20>;

const Art kErrorArt = {
    "       ######       ", "     ##########     ", "   ##############   ", "  ################  ",
    "  #####  ##  #####  ", " ######  ##  ###### ", " #######    ####### ", "#########  #########",
    "########    ########", "#######  ##  #######", "######  ####  ######", "#####  ######  #####",
    "####################", " ################## ", " ################## ", "  ################  ",
    "  ################  ", "   ##############   ", "     ##########     ", "       ######       "};
const Art kWarningArt = {
    "         ##         ", "        ####        ", "        ####        ", "       ##  ##       ",
    "       ##  ##       ", "      ## ## ##      ", "      ## ## ##      ", "     ##  ##  ##     ",
    "     ##  ##  ##     ", "    ##   ##   ##    ", "    ##   ##   ##    ", "   ##    ##    ##   ",
    "   ##          ##   ", "  ##     ##     ##  ", "  ##    ####    ##  ", " ##      ##      ## ",
    " ##              ## ", "##                ##", "####################", "####################"};
const Art kInformationArt = {
    "                    ", "        ###         ", "       #####        ", "       #####        ",
    "        ###         ", "                    ", "                    ", "     ######         ",
    "       ####         ", "       ####         ", "       ####         ", "       ####         ",
    "       ####         ", "       ####         ", "       ####         ", "       ####         ",
    "       ####         ", "     ########       ", "     ########       ", "                    "};
const Art kQuestionArt = {
    "                    ", "      #######       ", "    ###########     ", "   ####     ####    ",
    "   ###       ###    ", "             ###    ", "            ####    ", "          #####     ",
    "        #####       ", "       ####         ", "       ###          ", "       ###          ",
    "       ###          ", "                    ", "                    ", "       ###          ",
    "      #####         ", "      #####         ", "       ###          ", "                    "};
const Art kWorkingArt = {
    "####################", "####################", " ##              ## ", "  ##            ##  ",
    "   ##  ######  ##   ", "    ##  ####  ##    ", "     ##  ##  ##     ", "      ## ## ##      ",
    "       ##  ##       ", "        ####        ", "        ####        ", "       ## ###       ",
    "      ##  #  ##     ", "     ##   #   ##    ", "    ##    #    ##   ", "   ##   #####   ##  ",
    "  ##  #########  ## ", " ################## ", "####################", "####################"};

const char *const kToolkitImage[] = {"xm_information", "xm_error", "xm_warning",
                                     "xm_information", "xm_question", "xm_working"};

int kind_of(int type) {
    int kind = type & 15;
    return kind >= 1 && kind <= 5 ? kind : 3;
}

Pixmap *icon_slot(int kind) {
    switch (kind) {
    case 1: return &pixmapError;
    case 2: return &pixmapWarning;
    case 4: return &pixmapQuestion;
    case 5: return &pixmapWorking;
    default: return &pixmapInformation;
    }
}

// The toolkit's image of the kind in the dialog's colours, or the built-in bitmap.
Pixmap icon_for(int kind) {
    Pixmap *slot = icon_slot(kind);
    if (*slot) return *slot;
    Pixel fg = 0, bg = 0;
    XtVaGetValues(Message, XmNforeground, &fg, XmNbackground, &bg, nullptr);
    Screen *screen = XtScreen(Message);
    Pixmap pixmap = XmGetPixmap(screen, const_cast<char *>(kToolkitImage[kind]), fg, bg);
    if (pixmap == XmUNSPECIFIED_PIXMAP || pixmap == 0) {
        auto bytes = icon_bitmap_bytes(fallback_icon_art(kind));
        pixmap = XCreatePixmapFromBitmapData(XtDisplay(Message), RootWindowOfScreen(screen),
                                             reinterpret_cast<char *>(bytes.data()), 20, 20, fg,
                                             bg, DefaultDepthOfScreen(screen));
    }
    *slot = pixmap;
    return pixmap;
}

Widget button(const char *name, long answer) {
    Widget b = XtVaCreateManagedWidget(name, xmPushButtonWidgetClass, Message,
                                       XmNbottomAttachment, XmATTACH_FORM, XmNbottomOffset, 10,
                                       XmNwidth, 80, XmNrecomputeSize, False, nullptr);
    if (answer >= 0) {
        XtAddCallback(b, XmNactivateCallback, message_callback, reinterpret_cast<XtPointer>(answer));
    }
    return b;
}

// Lines the shown buttons up from the left, each chained to the one before, so that hidden
// ones leave no gaps. Hidden buttons are detached, so nothing hangs on an unmanaged widget.
void place_buttons() {
    Widget all[] = {ok_button, yes_button, cancel_button, no_button, help_button};
    Widget previous = nullptr;
    for (Widget b : all) {
        if (!XtIsManaged(b)) {
            XtVaSetValues(b, XmNleftAttachment, XmATTACH_NONE, nullptr);
            continue;
        }
        if (previous) {
            XtVaSetValues(b, XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, previous,
                          XmNleftOffset, 10, nullptr);
        } else {
            XtVaSetValues(b, XmNleftAttachment, XmATTACH_FORM, XmNleftOffset, 10, nullptr);
        }
        previous = b;
    }
}

// Rows and columns that show `text` whole when it is short, with scroll bars when it is long.
void size_text(const char *text) {
    int lines = 1, width = 0, longest = 0;
    for (const char *p = text; *p; ++p) {
        if (*p == '\n') {
            ++lines;
            width = 0;
        } else {
            longest = std::max(longest, ++width);
        }
    }
    short rows = static_cast<short>(std::clamp(lines, 2, 14));
    short columns = static_cast<short>(std::clamp(longest + 1, 30, 72));
    XtVaSetValues(msg_text, XmNrows, rows, XmNcolumns, columns, nullptr);
}

void show_button(Widget b, bool on) {
    if (on) {
        XtManageChild(b);
    } else {
        XtUnmanageChild(b);
    }
}

// Centres the dialog on `reference`'s shell (the screen for (Widget)1 or null) and keeps it
// on the screen.
void centre_on(Widget reference) {
    Dimension w = 0, h = 0;
    XtVaGetValues(MessageSH, XmNwidth, &w, XmNheight, &h, nullptr);
    Screen *screen = XtScreen(MessageSH);
    int cx = WidthOfScreen(screen) / 2, cy = HeightOfScreen(screen) / 2;
    if (reference && reference != kScreen) {
        Widget shell = reference;
        while (shell && !XtIsShell(shell)) shell = XtParent(shell);
        if (shell && XtIsRealized(shell)) {
            Position x = 0, y = 0;
            Dimension sw = 0, sh = 0;
            XtVaGetValues(shell, XmNwidth, &sw, XmNheight, &sh, nullptr);
            XtTranslateCoords(shell, 0, 0, &x, &y);
            cx = x + sw / 2;
            cy = y + sh / 2;
        }
    }
    int x = std::clamp(cx - w / 2, 0, std::max(0, WidthOfScreen(screen) - static_cast<int>(w)));
    int y = std::clamp(cy - h / 2, 0, std::max(0, HeightOfScreen(screen) - static_cast<int>(h)));
    XtVaSetValues(MessageSH, XmNx, static_cast<Position>(x), XmNy, static_cast<Position>(y), nullptr);
}

}  // namespace

const Art &fallback_icon_art(int kind) {
    switch (kind) {
    case 1: return kErrorArt;
    case 2: return kWarningArt;
    case 4: return kQuestionArt;
    case 5: return kWorkingArt;
    default: return kInformationArt;
    }
}

std::array<uint8_t, 60> icon_bitmap_bytes(const Art &art) {
    std::array<uint8_t, 60> bytes{};
    for (int row = 0; row < 20; ++row) {
        const char *line = art[row];
        for (int col = 0; col < 20 && line[col]; ++col) {
            if (line[col] == '#') bytes[row * 3 + col / 8] |= static_cast<uint8_t>(1u << (col % 8));
        }
    }
    return bytes;
}

void create_Message() {
    if (MessageSH || !TopLevel) return;
    start_hourglass();
    MessageSH = XtVaCreatePopupShell("ZR_Telvane_Message", transientShellWidgetClass, TopLevel,
                                     XmNdeleteResponse, XmDO_NOTHING, XmNallowShellResize, True,
                                     XmNtitle, "Telvane", nullptr);
    Atom protocols = XmInternAtom(XtDisplay(MessageSH), const_cast<char *>("WM_PROTOCOLS"), False);
    Atom delete_window = XmInternAtom(XtDisplay(MessageSH), const_cast<char *>("WM_DELETE_WINDOW"), False);
    XmAddProtocolCallback(MessageSH, protocols, delete_window, delete_M_callback, nullptr);
    XtAddEventHandler(MessageSH, StructureNotifyMask, False, map_M_callback, nullptr);
    XtAddEventHandler(MessageSH, VisibilityChangeMask, False, visibility_M_callback, nullptr);

    Message = XtVaCreateWidget("Message", xmFormWidgetClass, MessageSH, XmNautoUnmanage, False,
                               nullptr);
    messTypeIcon = XtVaCreateManagedWidget("messTypeIcon", xmLabelWidgetClass, Message,
                                           XmNlabelType, XmPIXMAP, XmNtopAttachment, XmATTACH_FORM,
                                           XmNtopOffset, 10, XmNleftAttachment, XmATTACH_FORM,
                                           XmNleftOffset, 10, nullptr);
    ok_button = button("OK", 1);
    yes_button = button("Yes", 1);
    cancel_button = button("Cancel", 0);
    no_button = button("No", 0);
    help_button = button("Help", -1);
    XtAddCallback(help_button, XmNactivateCallback, message_help_callback, nullptr);

    Arg args[8];
    int n = 0;
    XtSetArg(args[n], XmNeditMode, XmMULTI_LINE_EDIT); ++n;
    XtSetArg(args[n], XmNeditable, False); ++n;
    XtSetArg(args[n], XmNcursorPositionVisible, False); ++n;
    XtSetArg(args[n], XmNwordWrap, True); ++n;
    XtSetArg(args[n], XmNscrollHorizontal, False); ++n;
    msg_text = XmCreateScrolledText(Message, const_cast<char *>("msg_text"), args, n);
    XtVaSetValues(XtParent(msg_text), XmNtopAttachment, XmATTACH_FORM, XmNtopOffset, 10,
                  XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, messTypeIcon,
                  XmNleftOffset, 10, XmNrightAttachment, XmATTACH_FORM, XmNrightOffset, 10,
                  XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget, help_button,
                  XmNbottomOffset, 10, nullptr);
    XtManageChild(msg_text);
    XtManageChild(Message);
    XtRealizeWidget(MessageSH);
    set_share_alone(XtWindow(MessageSH));
    stop_hourglass();
}

int message_show(Widget parent, int type, int set, int number, const char *text) {
    update_display();
    create_Message();
    if (!MessageSH) return 1;
    // A message already up belongs to a caller whose nested loop is below this call. It is not
    // taken down: this one waits until it is answered, and that caller's loop finds its answer
    // when this call returns. Otherwise that loop would wait for an answer that never comes.
    int earlier_answer = -1;
    if (message_in_progress) {
        const int saved = global_return_variable;
        global_return_variable = -1;
        while (global_return_variable < 0 && message_in_progress) {
            XEvent event;
            XtAppNextEvent(app_context, &event);
            main_loop_route(&event);
        }
        earlier_answer = global_return_variable;
        global_return_variable = saved;
        if (message_in_progress) popdown_Message();
    }
    XmTextSetString(msg_text, const_cast<char *>(text ? text : ""));
    XmTextShowPosition(msg_text, 0);
    size_text(text ? text : "");
    XtVaSetValues(messTypeIcon, XmNlabelPixmap, icon_for(kind_of(type)), nullptr);
    msgDefaultButton = nullptr;
    bool ok = type & 16, cancel = type & 32, yes = type & 64, no = type & 128;
    // A dialog without any answer button could only be closed by a window manager, and there
    // may be none; it gets OK.
    if (!ok && !cancel && !yes && !no) ok = true;
    show_button(ok_button, ok);
    show_button(yes_button, yes);
    show_button(cancel_button, cancel);
    show_button(no_button, no);
    if (ok) msgDefaultButton = ok_button;
    if (yes) msgDefaultButton = yes_button;
    place_buttons();
    shown_set = set;
    shown_number = number;
    if (!popup_Message(set, number, parent)) {
        popdown_Message();
        return 1;
    }
    int answer = main_loop();
    popdown_Message();
    if (earlier_answer >= 0) global_return_variable = earlier_answer;
    return answer;
}

int wait_for_window_exposure(Widget widget, int polls) {
    Display *dpy = XtDisplay(widget);
    Window window = XtWindow(widget);
    XSync(dpy, False);
    for (int i = 0; i < polls; ++i) {
        XEvent event;
        if (XCheckTypedWindowEvent(dpy, window, Expose, &event)) {
            XtDispatchEvent(&event);
            return 1;
        }
        // Nothing to read but the display's own socket, so wait on it rather than spin.
        pollfd fd{ConnectionNumber(dpy), POLLIN, 0};
        poll(&fd, 1, 100);
        XSync(dpy, False);
    }
    log_msg0("Timed out waiting for Window Manager to expose our window");
    return 0;
}

int popup_Message(int set, int number, Widget parent) {
    if (!MessageSH) return 0;
    if (parent && parent == TopLevel) popup_Telvane();
    Display *dpy = XtDisplay(MessageSH);
    Window window = XtWindow(MessageSH);
    if (parent == kScreen) {
        XSetTransientForHint(dpy, window, RootWindowOfScreen(XtScreen(MessageSH)));
    } else {
        set_transient_for(MessageSH, parent);
    }
    centre_on(parent);
    XtPopup(MessageSH, XtGrabExclusive);
    XMapRaised(dpy, window);
    if (parent == kScreen) {
        wait_for_window_exposure(Message, 102);
        Window owner = TopLevel && XtIsRealized(TopLevel) ? XtWindow(TopLevel) : window;
        int grabbed = XGrabPointer(dpy, owner, True, ButtonPressMask | ButtonReleaseMask,
                                   GrabModeAsync, GrabModeAsync, window, None, CurrentTime);
        if (grabbed != GrabSuccess) {
            log_msg0("Unable to perform XGrabPointer for Message Window");
            return 0;
        }
    }
    message_in_progress = set * 65536 + number;
    transient_for_widget = parent;
    return 1;
}

void popdown_Message() {
    if (!MessageSH) return;
    message_in_progress = 0;
    if (transient_for_widget == kScreen) {
        XUngrabPointer(XtDisplay(MessageSH), CurrentTime);
        transient_for_widget = nullptr;
    }
    XtPopdown(MessageSH);
    update_display();
}

void popdown_Message_ifgrabbed() {
    if (message_in_progress) popdown_Message();
}

void message_callback(Widget, XtPointer client, XtPointer) {
    global_return_variable = static_cast<int>(reinterpret_cast<long>(client));
    // The waiting loop may be blocked on the display; an empty event wakes it.
    if (TopLevel && XtIsRealized(TopLevel)) {
        XClientMessageEvent wake{};
        wake.type = ClientMessage;
        wake.window = XtWindow(TopLevel);
        wake.format = 32;
        XSendEvent(XtDisplay(TopLevel), wake.window, False, 0, reinterpret_cast<XEvent *>(&wake));
        XFlush(XtDisplay(TopLevel));
    }
}

void delete_M_callback(Widget, XtPointer, XtPointer) {
    popdown_Help_ifgrabbed();
    popdown_Message();
    global_return_variable = 0;
}

void message_help_callback(Widget widget, XtPointer, XtPointer) {
    help_message(widget, shown_set + 100, shown_number, "There's NO Help Available");
}

void map_M_callback(Widget, XtPointer, XEvent *event, Boolean *) {
    if (event->type == MapNotify && msgDefaultButton) {
        XmProcessTraversal(msgDefaultButton, XmTRAVERSE_CURRENT);
    }
}

void visibility_M_callback(Widget, XtPointer, XEvent *event, Boolean *) {
    if (event->type != VisibilityNotify || transient_for_widget != kScreen || !message_in_progress) return;
    if (event->xvisibility.state != VisibilityUnobscured) XRaiseWindow(XtDisplay(MessageSH), XtWindow(MessageSH));
}
