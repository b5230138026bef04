// Message output: a stand-in that writes each notice to standard error until the dialog exists.
#include "message_dialog.h"

#include "core/main_loop.h"
#include "core/preferences.h"
#include "core/startup.h"

#include <cstdio>

int message_suppressed(int level) {
    return TOPLEVEL_UNMAPPED || user_preference.dialog_level < level;
}

int message_show(Widget parent, int type, int set, int number, const char *text) {
    (void)parent;
    (void)set;
    (void)number;
    static const char *const kinds[] = {"Information", "Error", "Warning", "Information",
                                        "Question", "Working"};
    int kind = type & 15;
    fprintf(stderr, "%s: %s: %s\n", PROGRAM ? PROGRAM : "Telvane", kinds[kind <= 5 ? kind : 0],
            text ? text : "");
    return 1;
}
