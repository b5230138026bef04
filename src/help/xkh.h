#pragma once
// Xkh: the help library's part that Telvane uses, on Motif. A quick help dialog shows one text;
// a help dialog shows the topics of a help volume. Both are form dialogs whose four help
// resources below are set and read with XtSetValues and XtGetValues like any other.

#include <X11/Intrinsic.h>

// What the dialog shows: XkhHELP_TYPE_TOPIC, the topic `locationId` of volume `helpVolume`;
// XkhHELP_TYPE_STRING, the text `stringData`. Strings are copied.
inline char XkhNhelpType[] = "helpType";
inline char XkhNstringData[] = "stringData";
inline char XkhNhelpVolume[] = "helpVolume";
inline char XkhNlocationId[] = "locationId";
enum { XkhHELP_TYPE_TOPIC = 1, XkhHELP_TYPE_STRING = 2 };

// The topic id that names a volume's first topic, its home.
#define XkhHOME_TOPIC "_HOMETOPIC"

// The children of a quick help dialog, as XkhQuickDialogGetChild counts them. Close takes the
// dialog down; Help, More and Back have no action of their own, a caller that keeps them adds
// their activate callbacks.
enum {
    XkhQUICK_CLOSE_BUTTON = 1,
    XkhQUICK_HELP_BUTTON = 2,
    XkhQUICK_MORE_BUTTON = 3,
    XkhQUICK_SEPARATOR = 4,
    XkhQUICK_TEXT = 5,
    XkhQUICK_BACK_BUTTON = 6,
};

// One topic of a help volume: its id, its title and its text (plain lines).
struct XkhTopic {
    const char *id;
    const char *title;
    const char *text;
};

// Makes `topics` (kept, not copied) the volume `name`; the first topic is its home. Called by
// the program before it opens a help dialog on the volume.
void XkhRegisterVolume(const char *name, const XkhTopic *topics, int count);

// A quick help dialog named `name` in a dialog shell on `parent` ("name_popup"); `args` go to
// both, as with Motif's dialogs. Unmanaged; managing it pops it up. The shell's title is "Quick
// Help" unless the resources give one.
Widget XkhCreateQuickHelpDialog(Widget parent, const char *name, ArgList args, Cardinal count);

// A child of a quick help dialog by its number above; null for another number or widget.
Widget XkhQuickDialogGetChild(Widget dialog, int child);

// A help dialog named `name` on `parent`, as above: the volume's topics in a list, the chosen
// one's text beside it and its title as the window's title; Close takes it down.
Widget XkhCreateHelpDialog(Widget parent, const char *name, ArgList args, Cardinal count);
