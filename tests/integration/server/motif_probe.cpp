// A minimal Motif program for the pass-through tests: shows a push button, waits until the shell
// is mapped, makes one round trip and exits 0.
#include <Xm/PushB.h>
#include <Xm/Xm.h>

#include <cstdlib>

int main(int argc, char **argv) {
    XtAppContext app;
    Widget top = XtVaAppInitialize(&app, "TelvaneProbe", nullptr, 0, &argc, argv, nullptr, nullptr);
    Widget button = XmCreatePushButton(top, const_cast<char *>("probe"), nullptr, 0);
    XtManageChild(button);
    XtRealizeWidget(top);
    for (;;) {
        XEvent ev;
        XtAppNextEvent(app, &ev);
        XtDispatchEvent(&ev);
        if (ev.type == MapNotify && ev.xmap.window == XtWindow(top)) break;
    }
    XSync(XtDisplay(top), False);
    return EXIT_SUCCESS;
}
