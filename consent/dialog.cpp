// The share-request dialog: its widgets, its text, and how it goes up and down.
#include "dialog.h"

#include "texts.h"

#include <Xm/Form.h>
#include <Xm/Label.h>
#include <Xm/Protocols.h>
#include <Xm/PushB.h>
#include <Xm/ToggleB.h>
#include <Xm/Xm.h>
#include <X11/Shell.h>
#include <X11/Xatom.h>
#include <algorithm>
#include <cstdio>
#include <exception>

namespace telvane::consent {

namespace {

// Characters per line of the question; the label does not wrap by itself.
constexpr std::size_t kLineWidth = 46;

// One compound string of `lines`, each drawn with the rendition `tag`, separated by newlines.
XmString lines_string(const std::vector<std::string> &lines, const char *tag, XmString head) {
    XmString out = head;
    for (const auto &line : lines) {
        if (out) out = XmStringConcatAndFree(out, XmStringSeparatorCreate());
        XmString part = XmStringGenerate(const_cast<char *>(line.c_str()), XmFONTLIST_DEFAULT_TAG,
                                         XmCHARSET_TEXT, const_cast<char *>(tag));
        out = out ? XmStringConcatAndFree(out, part) : part;
    }
    return out;
}

void set_label(Widget label, XmString text) {
    XtVaSetValues(label, XmNlabelString, text, nullptr);
    XmStringFree(text);
}

}  // namespace

const char *const kFallbackResources[] = {
    "*consentDialog*renderTable: plain, bold, note",
    "*consentDialog*renderTable.plain.fontType: FONT_IS_XFT",
    "*consentDialog*renderTable.plain.fontName: Sans",
    "*consentDialog*renderTable.plain.fontSize: 11",
    "*consentDialog*renderTable.bold.fontType: FONT_IS_XFT",
    "*consentDialog*renderTable.bold.fontName: Sans",
    "*consentDialog*renderTable.bold.fontStyle: Bold",
    "*consentDialog*renderTable.bold.fontSize: 12",
    "*consentDialog*renderTable.note.fontType: FONT_IS_XFT",
    "*consentDialog*renderTable.note.fontName: Sans",
    "*consentDialog*renderTable.note.fontSize: 10",
    nullptr,
};

std::unique_ptr<ConsentDialog> ConsentDialog::create(Widget parent, AnswerHandler on_answer) {
    Widget shell = XtVaCreatePopupShell(kDialogShellName, topLevelShellWidgetClass, parent,
                                        XmNtitle, kDialogTitle, XmNiconName, kDialogTitle,
                                        XmNdeleteResponse, XmDO_NOTHING, XmNallowShellResize, True,
                                        nullptr);
    std::unique_ptr<ConsentDialog> dialog(new ConsentDialog(shell, std::move(on_answer)));
    dialog->build();
    return dialog;
}

ConsentDialog::~ConsentDialog() {
    if (shell_) XtDestroyWidget(shell_);
}

void ConsentDialog::build() {
    Display *dpy = XtDisplay(shell_);
    Atom protocols = XmInternAtom(dpy, const_cast<char *>("WM_PROTOCOLS"), False);
    Atom delete_window = XmInternAtom(dpy, const_cast<char *>("WM_DELETE_WINDOW"), False);
    XmAddProtocolCallback(shell_, protocols, delete_window, close_callback, this);

    form_ = XtVaCreateWidget("form", xmFormWidgetClass, shell_, XmNautoUnmanage, False,
                             XmNmarginWidth, 16, XmNmarginHeight, 14, nullptr);
    Pixel fg = 0, bg = 0;
    XtVaGetValues(form_, XmNforeground, &fg, XmNbackground, &bg, nullptr);
    Pixmap question = XmGetPixmap(XtScreen(form_), const_cast<char *>("xm_question"), fg, bg);
    icon_ = XtVaCreateManagedWidget("icon", xmLabelWidgetClass, form_, XmNtopAttachment, XmATTACH_FORM,
                                    XmNleftAttachment, XmATTACH_FORM, nullptr);
    if (question != XmUNSPECIFIED_PIXMAP && question != 0) {
        XtVaSetValues(icon_, XmNlabelType, XmPIXMAP, XmNlabelPixmap, question, nullptr);
    }
    message_ = XtVaCreateManagedWidget("message", xmLabelWidgetClass, form_, XmNalignment,
                                       XmALIGNMENT_BEGINNING, XmNtopAttachment, XmATTACH_FORM,
                                       XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, icon_,
                                       XmNleftOffset, 14, XmNrightAttachment, XmATTACH_FORM, nullptr);
    note_ = XtVaCreateManagedWidget("note", xmLabelWidgetClass, form_, XmNalignment, XmALIGNMENT_BEGINNING,
                                    XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, message_,
                                    XmNtopOffset, 10, XmNleftAttachment, XmATTACH_OPPOSITE_WIDGET,
                                    XmNleftWidget, message_, XmNrightAttachment, XmATTACH_FORM, nullptr);

    // Only a display link's question offers to remember its sender, by its key.
    XmString remember = XmStringCreateLocalized(const_cast<char *>("Always allow this sender"));
    always_ = XtVaCreateWidget("always", xmToggleButtonWidgetClass, form_, XmNlabelString, remember,
                               XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, note_, XmNtopOffset, 8,
                               XmNleftAttachment, XmATTACH_OPPOSITE_WIDGET, XmNleftWidget, message_, nullptr);
    XmStringFree(remember);

    // Refuse is the default: a person typing Return into another window when the dialog
    // appears must not let a share in by accident.
    auto make_button = [&](const char *name, const char *text) {
        XmString label = XmStringCreateLocalized(const_cast<char *>(text));
        Widget b = XtVaCreateManagedWidget(name, xmPushButtonWidgetClass, form_, XmNlabelString, label,
                                           XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, note_,
                                           XmNtopOffset, 18, XmNbottomAttachment, XmATTACH_FORM,
                                           XmNwidth, 96, XmNrecomputeSize, False, nullptr);
        XmStringFree(label);
        XtAddCallback(b, XmNactivateCallback, button_callback, this);
        return b;
    };
    accept_ = make_button("accept", "Accept");
    refuse_ = make_button("refuse", "Refuse");
    XtVaSetValues(accept_, XmNrightAttachment, XmATTACH_POSITION, XmNrightPosition, 50, XmNrightOffset, 8,
                  nullptr);
    XtVaSetValues(refuse_, XmNleftAttachment, XmATTACH_POSITION, XmNleftPosition, 50, XmNleftOffset, 8,
                  XmNshowAsDefault, 1, nullptr);
    XtVaSetValues(form_, XmNdefaultButton, refuse_, XmNinitialFocus, refuse_, nullptr);
    XtManageChild(form_);
    XtRealizeWidget(shell_);

    // Ask a window manager to keep the dialog above other windows; raising it on show does
    // the same without one.
    Atom state = XInternAtom(dpy, "_NET_WM_STATE", False);
    Atom above = XInternAtom(dpy, "_NET_WM_STATE_ABOVE", False);
    XChangeProperty(dpy, XtWindow(shell_), state, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&above), 1);
}

void ConsentDialog::show(const std::string &shown_identity, const Ipv4Address &sender, const Ipv4Address &peer,
                         int timeout_seconds, const std::string &key, std::optional<int> display) {
    std::string who = question_sentence(shown_identity, sender, peer, display);
    // The sentence minus its tail is "<identity> at <address>": that part stands out.
    const std::string tail = question_tail(display);
    std::string head = who.substr(0, who.size() - tail.size());
    XmString text = lines_string(wrap_words(head, kLineWidth), "bold", nullptr);
    text = lines_string(wrap_words(tail, kLineWidth), "plain", text);
    set_label(message_, text);
    std::string note = "Unanswered, it is refused in " + std::to_string(timeout_seconds) +
                       (timeout_seconds == 1 ? " second." : " seconds.");
    if (!key.empty()) note = "Its key begins " + key + ". " + note;
    set_label(note_, lines_string(wrap_words(note, kLineWidth), "note", nullptr));
    // The buttons hang below the toggle when it is there, below the note when not: a form
    // does not look past an unmanaged widget.
    // The form is laid out afresh, so that the shell takes the new height.
    XmToggleButtonSetState(always_, False, False);
    XtUnmanageChild(form_);
    if (key.empty()) XtUnmanageChild(always_);
    for (Widget b : {accept_, refuse_}) XtVaSetValues(b, XmNtopWidget, key.empty() ? note_ : always_, nullptr);
    if (!key.empty()) XtManageChild(always_);
    XtManageChild(form_);
    XtWidgetGeometry wanted{};
    XtQueryGeometry(form_, nullptr, &wanted);
    if (wanted.request_mode & CWHeight) XtVaSetValues(shell_, XmNheight, wanted.height, nullptr);

    // Centre on the screen at the size the new text gives.
    Dimension w = 0, h = 0;
    XtVaGetValues(shell_, XmNwidth, &w, XmNheight, &h, nullptr);
    Screen *screen = XtScreen(shell_);
    int x = std::max(0, (WidthOfScreen(screen) - static_cast<int>(w)) / 2);
    int y = std::max(0, (HeightOfScreen(screen) - static_cast<int>(h)) / 3);
    XtVaSetValues(shell_, XmNx, static_cast<Position>(x), XmNy, static_cast<Position>(y), nullptr);

    XtPopup(shell_, XtGrabNone);
    XRaiseWindow(XtDisplay(shell_), XtWindow(shell_));
    XmProcessTraversal(refuse_, XmTRAVERSE_CURRENT);
    XFlush(XtDisplay(shell_));
    shown_ = true;
}

bool ConsentDialog::always() const { return XtIsManaged(always_) && XmToggleButtonGetState(always_); }

void ConsentDialog::hide() {
    if (!shown_) return;
    shown_ = false;
    XtPopdown(shell_);
    XSync(XtDisplay(shell_), False);
}

void ConsentDialog::answer(bool accepted) {
    // A click that was on its way when the dialog went down answers nothing.
    if (!shown_) return;
    try {
        on_answer_(accepted);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "telvane-consent: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "telvane-consent: unexpected failure while answering\n");
    }
}

void ConsentDialog::button_callback(Widget widget, XtPointer client, XtPointer) {
    auto *self = static_cast<ConsentDialog *>(client);
    self->answer(widget == self->accept_);
}

void ConsentDialog::close_callback(Widget, XtPointer client, XtPointer) {
    static_cast<ConsentDialog *>(client)->answer(false);
}

}  // namespace telvane::consent
