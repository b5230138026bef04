// Input control widgets: one toggle or "?" per receiver, painted in the receiver list's
// colours, and the input delay sent to the server.
#include "input_controls.h"

#include "core/log.h"
#include "core/main_loop.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "extension/share_extension.h"
#include "registry/hostatoms.h"
#include "ui/help_hooks.h"
#include "ui/main_window.h"

#include <Xm/Label.h>
#include <Xm/ToggleBG.h>

namespace {

// Made once and shared by every control: the "?" text and the off and on pictures.
XmString question = nullptr;
Pixmap off_pixmap = XmUNSPECIFIED_PIXMAP;
Pixmap on_pixmap = XmUNSPECIFIED_PIXMAP;
Display *made_on = nullptr;

void make_shared_parts() {
    Display *dpy = XtDisplay(InputStatusBB);
    if (made_on == dpy && question) return;
    made_on = dpy;
    if (!question) question = XmStringCreateLocalized(const_cast<char *>("?"));
    Pixel foreground = BlackPixelOfScreen(XtScreen(InputStatusBB));
    Pixel background = WhitePixelOfScreen(XtScreen(InputStatusBB));
    find_ReceiverList_colors(&foreground, &background);
    // Motif's "background" image has no bits set, so it comes out solid in the colour given
    // as its background: the list's background when off, its foreground when on.
    Screen *screen = XtScreen(InputStatusBB);
    off_pixmap = XmGetPixmap(screen, const_cast<char *>("background"), foreground, background);
    on_pixmap = XmGetPixmap(screen, const_cast<char *>("background"), background, foreground);
}

Dimension control_width() { return static_cast<Dimension>(RL_spacing * 2 > 4 ? 2 * RL_spacing - 4 : 1); }
Dimension control_height() {
    int h = RL_spacing + RL_highlight - 4;
    return static_cast<Dimension>(h > 0 ? h : 1);
}

bool is_toggle(Widget w) { return w && XmIsToggleButtonGadget(w); }

}  // namespace

Widget create_io_widget(unsigned long host) {
    if (!InputStatusBB) return nullptr;
    make_shared_parts();
    Arg args[16];
    int n = 0;
    XtSetArg(args[n], XmNlabelType, XmPIXMAP); ++n;
    XtSetArg(args[n], XmNlabelPixmap, off_pixmap); ++n;
    XtSetArg(args[n], XmNselectPixmap, on_pixmap); ++n;
    XtSetArg(args[n], XmNindicatorOn, False); ++n;
    XtSetArg(args[n], XmNrecomputeSize, False); ++n;
    XtSetArg(args[n], XmNwidth, control_width()); ++n;
    XtSetArg(args[n], XmNheight, control_height()); ++n;
    XtSetArg(args[n], XmNmarginWidth, 0); ++n;
    XtSetArg(args[n], XmNmarginHeight, 0); ++n;
    XtSetArg(args[n], XmNhighlightThickness, 0); ++n;
    XtSetArg(args[n], XmNspacing, 0); ++n;
    XtSetArg(args[n], XmNmarginTop, 0); ++n;
    XtSetArg(args[n], XmNmarginBottom, 0); ++n;
    Widget toggle = XmCreateToggleButtonGadget(InputStatusBB, const_cast<char *>("statusTB"), args, n);
    XtAddCallback(toggle, XmNvalueChangedCallback, input_user_change_callback,
                  reinterpret_cast<XtPointer>(host));
    set_item_help(toggle, 1);
    return toggle;
}

Widget create_io_status(unsigned long host) {
    Widget widget = nullptr;
    int row = 0;
    if (!find_hostatom_widget(host, &widget, &row)) return nullptr;
    if (widget) return widget;
    widget = create_io_widget(host);
    set_hostatom_widget(host, widget);
    return widget;
}

Widget create_pending_widget(unsigned long host) {
    if (!InputStatusBB) return nullptr;
    make_shared_parts();
    Widget label = XtVaCreateWidget("pendingB", xmLabelWidgetClass, InputStatusBB, XmNlabelString, question,
                                    XmNrecomputeSize, False, XmNwidth, control_width(), XmNheight,
                                    control_height(), XmNmarginWidth, 0, XmNmarginHeight, 0, nullptr);
    if (!set_hostatom_widget(host, label)) {
        XtDestroyWidget(label);
        return nullptr;
    }
    return label;
}

void destroy_io_widget(Widget widget) {
    if (widget) XtDestroyWidget(widget);
}

void input_status_changed(unsigned long host, int state) {
    Widget widget = nullptr;
    int row = 0;
    bool known = find_hostatom_widget(host, &widget, &row);
    switch (state) {
    case 0:
    case 1:
        // A "?" still standing when the connection is reported makes way for the toggle.
        if (known && widget && !is_toggle(widget)) {
            XtDestroyWidget(widget);
            set_hostatom_widget(host, nullptr);
        }
        widget = create_io_status(host);
        if (widget) XmToggleButtonGadgetSetState(widget, state == 1, False);
        break;
    case -1:
        if (known) {
            if (widget) XtDestroyWidget(widget);
            set_hostatom_widget(host, nullptr);
        }
        break;
    case 2:
        if (known && widget) {
            XtDestroyWidget(widget);
            set_hostatom_widget(host, nullptr);
        }
        if (known) create_pending_widget(host);
        break;
    default:
        break;
    }
    update_input_status_positions();
    if (display) XFlush(display);
}

void input_user_change_callback(Widget widget, XtPointer client, XtPointer) {
    auto host = static_cast<Atom>(reinterpret_cast<uintptr_t>(client));
    if (XmToggleButtonGadgetGetState(widget)) {
        log_msg1a("REQUEST allow input from '%s'", host);
        tlAllowInput(display, host);
    } else {
        log_msg1a("REQUEST disallow input from '%s'", host);
        tlDisallowInput(display, host);
    }
}

void interactive_timeout(int delay1, int delay2) {
    inactivity_timeout = delay1;
    log_msg4n("REQUEST change input delay to '%d.%0d' '%d.%0d'", delay1 / 10, delay1 % 10,
              delay2 / 10, delay2 % 10);
    tlSetInputDelay(display, delay1 * 100, delay2 * 100);
}

int input_toggle_state(Widget widget) {
    return is_toggle(widget) && XmToggleButtonGadgetGetState(widget) ? 1 : 0;
}

void forget_input_controls() {
    made_on = nullptr;
    off_pixmap = on_pixmap = XmUNSPECIFIED_PIXMAP;
}
