// telvane-whiteboard: a drawing board to share, empty or over a snapshot of the screen.
#include "board_image.h"
#include "board_rules.h"

#include <X11/Intrinsic.h>
#include <X11/Shell.h>
#include <X11/StringDefs.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/keysym.h>
#include <Xm/DrawingA.h>
#include <Xm/FileSB.h>
#include <Xm/Form.h>
#include <Xm/MessageB.h>
#include <Xm/Protocols.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/TextF.h>
#include <Xm/ToggleB.h>
#include <Xm/Xm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

using namespace whiteboard;

namespace {

struct ImageDeleter {
    void operator()(XImage *image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

String fallback_resources[] = {
    const_cast<char *>("TelvaneWhiteboard.title: Whiteboard"),
    const_cast<char *>("TelvaneWhiteboard.iconName: Whiteboard"),
    const_cast<char *>("TelvaneWhiteboard*Save_Board_popup.title: Whiteboard: Save"),
    const_cast<char *>("TelvaneWhiteboard*Save_Board.selectionLabelString: Save the board as (.png or .xpm):"),
    const_cast<char *>("TelvaneWhiteboard*Problem_popup.title: Whiteboard"),
    const_cast<char *>("TelvaneWhiteboard*tools.spacing: 4"),
    nullptr,
};

// The board: what is drawn, what lies under it, and the pens.
struct Board {
    Display *display = nullptr;
    Widget shell = nullptr, area = nullptr, save_dialog = nullptr, problem = nullptr;
    int width = 640, height = 480;
    Pixmap canvas = 0, background = 0;
    GC pen = nullptr, eraser = nullptr;
    unsigned long colours[kPenCount] = {};
    int current = 0;
    int last_x = 0, last_y = 0;
    bool drawing = false;
    std::string last_name;
};

Board board;

void tell(const std::string &text) {
    if (!board.problem) {
        board.problem = XmCreateErrorDialog(board.shell, const_cast<char *>("Problem"), nullptr, 0);
        XtUnmanageChild(XmMessageBoxGetChild(board.problem, XmDIALOG_CANCEL_BUTTON));
        XtUnmanageChild(XmMessageBoxGetChild(board.problem, XmDIALOG_HELP_BUTTON));
    }
    XmString s = XmStringCreateLtoR(const_cast<char *>(text.c_str()), const_cast<char *>(XmFONTLIST_DEFAULT_TAG));
    XtVaSetValues(board.problem, XmNmessageString, s, nullptr);
    XmStringFree(s);
    XtManageChild(board.problem);
}

// ---- The snapshot: the user drags a rectangle on the screen ----

// Waits for a drag on the screen with button 1 and returns its rectangle, drawing a rubber
// band meanwhile; empty when the grab was refused or the user pressed a key.
Rect drag_rectangle(Display *dpy) {
    Window root = DefaultRootWindow(dpy);
    Cursor cross = XCreateFontCursor(dpy, XC_crosshair);
    int status = GrabNotViewable;
    // A menu that started us may still hold the pointer for a moment.
    for (int attempt = 0; attempt < 40; ++attempt) {
        status = XGrabPointer(dpy, root, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                              GrabModeAsync, GrabModeAsync, None, cross, CurrentTime);
        if (status == GrabSuccess) break;
        usleep(50 * 1000);
    }
    if (status != GrabSuccess) {
        XFreeCursor(dpy, cross);
        return {};
    }
    XGrabKeyboard(dpy, root, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    XGCValues v{};
    v.function = GXxor;
    v.foreground = WhitePixel(dpy, DefaultScreen(dpy)) ^ BlackPixel(dpy, DefaultScreen(dpy));
    v.subwindow_mode = IncludeInferiors;
    v.line_width = 1;
    GC band = XCreateGC(dpy, root, GCFunction | GCForeground | GCSubwindowMode | GCLineWidth, &v);
    const int sw = DisplayWidth(dpy, DefaultScreen(dpy)), sh = DisplayHeight(dpy, DefaultScreen(dpy));
    int x0 = 0, y0 = 0;
    bool pressed = false, shown = false, done = false, cancelled = false;
    Rect drawn;
    auto toggle_band = [&](const Rect &r) {
        if (!r.empty()) XDrawRectangle(dpy, root, band, r.x, r.y, r.width - 1, r.height - 1);
    };
    Rect result;
    while (!done) {
        XEvent e;
        XNextEvent(dpy, &e);
        switch (e.type) {
        case ButtonPress:
            if (e.xbutton.button != 1 || pressed) break;
            pressed = true;
            x0 = e.xbutton.x_root;
            y0 = e.xbutton.y_root;
            break;
        case MotionNotify:
            if (!pressed) break;
            while (XCheckTypedEvent(dpy, MotionNotify, &e)) {
            }
            if (shown) toggle_band(drawn);
            drawn = marked_rect(x0, y0, e.xmotion.x_root, e.xmotion.y_root, sw, sh);
            toggle_band(drawn);
            shown = true;
            break;
        case ButtonRelease:
            if (e.xbutton.button != 1 || !pressed) break;
            result = marked_rect(x0, y0, e.xbutton.x_root, e.xbutton.y_root, sw, sh);
            done = true;
            break;
        case KeyPress:
            cancelled = done = true;
            break;
        default:
            break;
        }
    }
    if (shown) toggle_band(drawn);
    XUngrabKeyboard(dpy, CurrentTime);
    XUngrabPointer(dpy, CurrentTime);
    XFreeGC(dpy, band);
    XFreeCursor(dpy, cross);
    XSync(dpy, False);
    // A click without a drag marks nothing worth annotating.
    if (cancelled || result.width < 2 || result.height < 2) return {};
    return result;
}

// ---- Drawing ----

void draw_to(int x, int y) {
    GC gc = board.current == kPenCount - 1 ? board.eraser : board.pen;
    XDrawLine(board.display, board.canvas, gc, board.last_x, board.last_y, x, y);
    if (XtIsRealized(board.area))
        XDrawLine(board.display, XtWindow(board.area), gc, board.last_x, board.last_y, x, y);
    board.last_x = x;
    board.last_y = y;
}

void pointer_handler(Widget, XtPointer, XEvent *e, Boolean *) {
    switch (e->type) {
    case ButtonPress:
        if (e->xbutton.button != 1) return;
        board.drawing = true;
        board.last_x = e->xbutton.x;
        board.last_y = e->xbutton.y;
        draw_to(e->xbutton.x, e->xbutton.y);  // a click leaves a dot
        break;
    case MotionNotify:
        if (board.drawing) draw_to(e->xmotion.x, e->xmotion.y);
        break;
    case ButtonRelease:
        if (e->xbutton.button == 1 && board.drawing) {
            draw_to(e->xbutton.x, e->xbutton.y);
            board.drawing = false;
        }
        break;
    default:
        break;
    }
}

void expose_callback(Widget w, XtPointer, XtPointer call) {
    auto *cb = static_cast<XmDrawingAreaCallbackStruct *>(call);
    if (!cb || !cb->event || cb->event->type != Expose) return;
    const XExposeEvent &x = cb->event->xexpose;
    XCopyArea(board.display, board.canvas, XtWindow(w), board.pen, x.x, x.y, x.width, x.height, x.x, x.y);
}

void pen_callback(Widget, XtPointer client, XtPointer call) {
    auto *cb = static_cast<XmToggleButtonCallbackStruct *>(call);
    if (!cb || !cb->set) return;
    board.current = static_cast<int>(reinterpret_cast<long>(client));
    if (board.current < kPenCount - 1) {
        XSetForeground(board.display, board.pen, board.colours[board.current]);
        XSetLineAttributes(board.display, board.pen, kPens[board.current].width, LineSolid, CapRound, JoinRound);
    }
}

void clear_callback(Widget, XtPointer, XtPointer) {
    XCopyArea(board.display, board.background, board.canvas, board.pen, 0, 0, board.width, board.height, 0, 0);
    if (XtIsRealized(board.area)) XClearArea(board.display, XtWindow(board.area), 0, 0, 0, 0, True);
}

// ---- Saving ----

void save_ok_callback(Widget dialog, XtPointer, XtPointer call) {
    auto *cb = static_cast<XmFileSelectionBoxCallbackStruct *>(call);
    char *path = nullptr;
    if (!cb || !XmStringGetLtoR(cb->value, const_cast<char *>(XmFONTLIST_DEFAULT_TAG), &path) || !path) return;
    std::string name = path;
    XtFree(path);
    ImageFormat format = format_for(name);
    if (format == ImageFormat::Unknown) {
        tell("Give the file name the ending .png or .xpm:\n" + name);
        return;
    }
    XtUnmanageChild(dialog);
    board.last_name = name;
    ImagePtr image(XGetImage(board.display, board.canvas, 0, 0, board.width, board.height, AllPlanes, ZPixmap));
    int screen = DefaultScreen(board.display);
    Colormap colormap = DefaultColormap(board.display, screen);
    std::string why = format == ImageFormat::Png
                          ? write_png(board.display, DefaultVisual(board.display, screen), colormap, image.get(),
                                      name.c_str())
                          : write_xpm(board.display, colormap, image.get(), name.c_str());
    if (!why.empty()) tell("Cannot save the board in\n" + name + ":\n" + why);
}

void save_cancel_callback(Widget dialog, XtPointer, XtPointer) { XtUnmanageChild(dialog); }

void save_callback(Widget, XtPointer, XtPointer) {
    if (!board.save_dialog) {
        board.save_dialog = XmCreateFileSelectionDialog(board.shell, const_cast<char *>("Save_Board"), nullptr, 0);
        XtAddCallback(board.save_dialog, XmNokCallback, save_ok_callback, nullptr);
        XtAddCallback(board.save_dialog, XmNcancelCallback, save_cancel_callback, nullptr);
        XtUnmanageChild(XmFileSelectionBoxGetChild(board.save_dialog, XmDIALOG_HELP_BUTTON));
    }
    XtManageChild(board.save_dialog);
    // The last name offered again, all of it selected, so that typing a new one replaces it.
    Widget text = XmFileSelectionBoxGetChild(board.save_dialog, XmDIALOG_TEXT);
    if (board.last_name.empty()) {
        char folder[4096];
        board.last_name = std::string(getcwd(folder, sizeof folder) ? folder : ".") + "/board.png";
    }
    XmTextFieldSetString(text, const_cast<char *>(board.last_name.c_str()));
    XmTextFieldSetSelection(text, 0, static_cast<XmTextPosition>(board.last_name.size()), CurrentTime);
    XmTextFieldSetInsertionPosition(text, static_cast<XmTextPosition>(board.last_name.size()));
    XmProcessTraversal(text, XmTRAVERSE_CURRENT);
}

void quit_callback(Widget, XtPointer, XtPointer) { exit(0); }

// ---- Building ----

unsigned long named_colour(const char *name, unsigned long fallback) {
    XColor exact{}, shown{};
    Colormap cmap = DefaultColormap(board.display, DefaultScreen(board.display));
    if (name && XAllocNamedColor(board.display, cmap, name, &shown, &exact)) return shown.pixel;
    return fallback;
}

void build(XImage *snapshot) {
    Display *dpy = board.display;
    int screen = DefaultScreen(dpy);
    Window root = RootWindow(dpy, screen);
    unsigned depth = static_cast<unsigned>(DefaultDepth(dpy, screen));
    board.background = XCreatePixmap(dpy, root, board.width, board.height, depth);
    board.canvas = XCreatePixmap(dpy, root, board.width, board.height, depth);
    board.pen = XCreateGC(dpy, root, 0, nullptr);
    XSetForeground(dpy, board.pen, WhitePixel(dpy, screen));
    XFillRectangle(dpy, board.background, board.pen, 0, 0, board.width, board.height);
    if (snapshot) XPutImage(dpy, board.background, board.pen, snapshot, 0, 0, 0, 0, board.width, board.height);
    XCopyArea(dpy, board.background, board.canvas, board.pen, 0, 0, board.width, board.height, 0, 0);
    for (int i = 0; i < kPenCount; ++i) board.colours[i] = named_colour(kPens[i].colour, BlackPixel(dpy, screen));
    XSetForeground(dpy, board.pen, board.colours[0]);
    XSetLineAttributes(dpy, board.pen, kPens[0].width, LineSolid, CapRound, JoinRound);
    // The eraser paints the background back, snapshot included.
    XGCValues v{};
    v.fill_style = FillTiled;
    v.tile = board.background;
    v.line_width = static_cast<int>(kPens[kPenCount - 1].width);
    v.cap_style = CapRound;
    v.join_style = JoinRound;
    board.eraser = XCreateGC(dpy, root, GCFillStyle | GCTile | GCLineWidth | GCCapStyle | GCJoinStyle, &v);

    Widget form = XtVaCreateManagedWidget("board_form", xmFormWidgetClass, board.shell, nullptr);
    Widget tools = XtVaCreateManagedWidget("tools", xmRowColumnWidgetClass, form, XmNorientation, XmHORIZONTAL,
                                           XmNtopAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM,
                                           XmNrightAttachment, XmATTACH_FORM, nullptr);
    Widget pens = XmCreateRadioBox(tools, const_cast<char *>("pens"), nullptr, 0);
    XtVaSetValues(pens, XmNorientation, XmHORIZONTAL, nullptr);
    for (int i = 0; i < kPenCount; ++i) {
        Widget t = XtVaCreateManagedWidget(kPens[i].name, xmToggleButtonWidgetClass, pens, XmNset, i == 0, nullptr);
        if (kPens[i].colour) XtVaSetValues(t, XmNselectColor, board.colours[i], nullptr);
        XtAddCallback(t, XmNvalueChangedCallback, pen_callback, reinterpret_cast<XtPointer>(static_cast<long>(i)));
    }
    XtManageChild(pens);
    const struct {
        const char *name;
        XtCallbackProc callback;
    } buttons[] = {{"Clear", clear_callback}, {"Save", save_callback}, {"Quit", quit_callback}};
    for (const auto &b : buttons) {
        Widget w = XtVaCreateManagedWidget(b.name, xmPushButtonWidgetClass, tools, nullptr);
        XtAddCallback(w, XmNactivateCallback, b.callback, nullptr);
    }
    board.area = XtVaCreateManagedWidget("board", xmDrawingAreaWidgetClass, form, XmNwidth, board.width,
                                         XmNheight, board.height, XmNresizePolicy, XmRESIZE_NONE,
                                         XmNmarginWidth, 0, XmNmarginHeight, 0, XmNtopAttachment,
                                         XmATTACH_WIDGET, XmNtopWidget, tools, XmNleftAttachment, XmATTACH_FORM,
                                         nullptr);
    XtAddCallback(board.area, XmNexposeCallback, expose_callback, nullptr);
    XtAddEventHandler(board.area, ButtonPressMask | ButtonReleaseMask | Button1MotionMask, False, pointer_handler,
                      nullptr);
}

void usage(FILE *to) {
    fprintf(to,
            "usage: telvane-whiteboard [toolkit options] [--] [-grab]\n"
            "  -grab      drag a rectangle on the screen first; it becomes the board's background\n"
            "  --help     this text\n"
            "  --version  the program's version\n");
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("telvane-whiteboard 2.4\n");
            return 0;
        }
    }
    XtSetLanguageProc(nullptr, nullptr, nullptr);
    XtAppContext app = nullptr;
    Widget shell = XtVaOpenApplication(&app, "TelvaneWhiteboard", nullptr, 0, &argc, argv, fallback_resources,
                                       applicationShellWidgetClass, XmNdeleteResponse, XmDO_NOTHING, nullptr);
    bool grab = false;
    int bad = 0;
    if (!parse_words(argc, argv, &grab, &bad)) {
        fprintf(stderr, "telvane-whiteboard: unknown option '%s'\n", argv[bad]);
        usage(stderr);
        return 2;
    }
    board.shell = shell;
    board.display = XtDisplay(shell);
    ImagePtr snapshot;
    if (grab) {
        Rect r = drag_rectangle(board.display);
        if (r.empty()) {
            fprintf(stderr, "telvane-whiteboard: no rectangle was marked; the board starts empty\n");
        } else {
            snapshot.reset(XGetImage(board.display, DefaultRootWindow(board.display), r.x, r.y, r.width, r.height,
                                     AllPlanes, ZPixmap));
            if (snapshot) {
                board.width = r.width;
                board.height = r.height;
            }
        }
    }
    build(snapshot.get());
    snapshot.reset();
    Atom delete_window = XmInternAtom(board.display, const_cast<char *>("WM_DELETE_WINDOW"), False);
    XmAddWMProtocolCallback(shell, delete_window, quit_callback, nullptr);
    XtRealizeWidget(shell);
    XtAppMainLoop(app);
    return 0;
}
