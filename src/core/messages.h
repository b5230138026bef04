#pragma once
// Notices and questions by catalog set and number, with compiled-in default texts and levels.
//
// Every text the user sees comes from the message catalog "Telvane" when it has the entry,
// and from the caller's default otherwise, so the program works without a catalog. A message
// is shown only when its level is at most the user's dialog level; one that is not shown
// answers 1 (yes).

#include <X11/Intrinsic.h>
#include <nl_types.h>

// Dialog type: the kind in the low four bits, the buttons as bits.
enum MessageType {
    MSG_ERROR = 1,
    MSG_WARNING = 2,
    MSG_INFORMATION = 3,
    MSG_QUESTION = 4,
    MSG_WORKING = 5,
    MSG_OK = 16,
    MSG_CANCEL = 32,
    MSG_YES = 64,
    MSG_NO = 128,
};

// The open catalog, or (nl_catd)-1 until it is open.
extern nl_catd CatD;

// Opens the catalog once: catopen("Telvane"), then again with LANG=C; when both fail, logs
// one line and every message keeps its default text. Called by the message functions.
void open_message_catalog();

// Closes the catalog, so that the next message opens it again (under the NLSPATH of then).
// Called at exit, and by tests that swap catalogs.
void close_message_catalog();

// The text for set and number: the catalog's entry when it is present and not empty, else
// `fallback`. An entry whose conversions do not fit `string_args` "%s" arguments is not used,
// so a damaged catalog cannot crash the program. The result points into the catalog or is
// `fallback`; it is not to be freed.
const char *catalog_text(int set, int number, const char *fallback, int string_args);

// Shows a message with 0 to 3 string arguments over `parent` (null: none; (Widget)1: the
// screen, with a pointer grab) and returns the answer: 1 for OK/Yes or when not shown, 0 for
// Cancel/No/closed. Called by every module that tells the user something.
int message0(Widget parent, int level, int type, int set, int number, const char *fallback);
int message1(Widget parent, int level, int type, int set, int number, const char *fallback,
             const char *arg1);
int message2(Widget parent, int level, int type, int set, int number, const char *fallback,
             const char *arg1, const char *arg2);
int message3(Widget parent, int level, int type, int set, int number, const char *fallback,
             const char *arg1, const char *arg2, const char *arg3);

// Prints the formatted catalog text (or default) on standard error; no dialog, no level test.
void print_message1(int ignored, int set, int number, const char *fallback, const char *arg1);
void print_message2(int ignored, int set, int number, const char *fallback, const char *arg1,
                    const char *arg2);
void print_message3(int ignored, int set, int number, const char *fallback, const char *arg1,
                    const char *arg2, const char *arg3);

// An internal error shown unchanged as an error dialog (set 199, number 199).
int error(const char *text);

// 1 when a message of `level` is not to be shown: the main window is unmapped, or the user's
// dialog level is below `level`. Called by the message functions.
int message_suppressed(int level);

// Shows an already formatted text of a dialog `type` over `parent` and returns the answer.
using MessagePresenter = int (*)(Widget parent, int type, int set, int number, const char *text);
// Installs the dialog that shows messages. Until one is installed (and in programs without a
// user interface) messages go to standard error with their kind and answer 1. Called at
// start-up once the toolkit is open.
void set_message_presenter(MessagePresenter presenter);
// Shows a formatted text through the installed presenter. Called by the message functions
// and by code that builds its own text (the version notice).
int present_message(Widget parent, int type, int set, int number, const char *text);

// Formats `format` with up to three string arguments into a newly allocated string.
char *format_message(const char *format, const char *arg1, const char *arg2, const char *arg3);
