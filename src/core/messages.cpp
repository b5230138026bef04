// Catalog look-up and formatting for every notice and question; the dialog itself is in ui/.
#include "messages.h"

#include "cstring.h"
#include "log.h"
#include "preferences.h"
#include "startup.h"
#include "main_loop.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <cstring>

nl_catd CatD = reinterpret_cast<nl_catd>(-1);

namespace {

bool catalog_tried = false;
MessagePresenter presenter = nullptr;

// Until a dialog exists, every notice still reaches the user, on standard error.
int print_to_stderr(Widget, int type, int, int, const char *text) {
    static const char *const kinds[] = {"Information", "Error", "Warning", "Information",
                                        "Question", "Working"};
    int kind = type & 15;
    fprintf(stderr, "%s: %s: %s\n", PROGRAM ? PROGRAM : "Telvane", kinds[kind <= 5 ? kind : 0],
            text ? text : "");
    return 1;
}

// Number of "%s" conversions in `text`, or -1 when it holds any other conversion.
int string_conversions(const char *text) {
    int count = 0;
    for (const char *p = text; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        if (*p != 's') return -1;
        ++count;
    }
    return count;
}

const char *or_empty(const char *s) { return s ? s : ""; }

}  // namespace

int message_suppressed(int level) {
    return TOPLEVEL_UNMAPPED || user_preference.dialog_level < level;
}

void set_message_presenter(MessagePresenter p) { presenter = p; }

int present_message(Widget parent, int type, int set, int number, const char *text) {
    return (presenter ? presenter : print_to_stderr)(parent, type, set, number, text);
}

void open_message_catalog() {
    if (catalog_tried) return;
    catalog_tried = true;
    // Installed under another prefix than /usr, the catalog is where the C library does not look
    // by itself: without a path of the user's own, ours comes first, then the library's usual one.
    if (!getenv("NLSPATH")) {
        const std::string installed = std::string(TELVANE_PREFIX) + "/share/locale/";
        const std::string path = installed + "%L/LC_MESSAGES/%N:" + installed + "C/LC_MESSAGES/%N:" +
                                 "/usr/share/locale/%L/LC_MESSAGES/%N:/usr/share/locale/C/LC_MESSAGES/%N";
        setenv("NLSPATH", path.c_str(), 0);
    }
    CatD = catopen("Telvane", 0);
    if (CatD == reinterpret_cast<nl_catd>(-1)) {
        setenv("LANG", "C", 1);
        CatD = catopen("Telvane", 0);
    }
    if (CatD == reinterpret_cast<nl_catd>(-1)) {
        log_msg0("Could not open Message Catalog 'Telvane.cat'");
    }
}

void close_message_catalog() {
    if (CatD != reinterpret_cast<nl_catd>(-1)) catclose(CatD);
    CatD = reinterpret_cast<nl_catd>(-1);
    catalog_tried = false;
}

const char *catalog_text(int set, int number, const char *fallback, int string_args) {
    open_message_catalog();
    if (CatD == reinterpret_cast<nl_catd>(-1)) return fallback;
    const char *text = catgets(CatD, set, number, fallback);
    if (!text || !*text) return fallback;
    int conversions = string_conversions(text);
    if (conversions < 0 || conversions > string_args) return fallback;
    return text;
}

char *format_message(const char *format, const char *arg1, const char *arg2, const char *arg3) {
    if (!format) return dup_cstring("");
    // Only "%s" and "%%" reach here, so the arguments' lengths bound the result.
    size_t room = strlen(format) + strlen(or_empty(arg1)) + strlen(or_empty(arg2)) +
                  strlen(or_empty(arg3)) + 1;
    char *text = static_cast<char *>(malloc(room));
    if (!text) return nullptr;
    if (string_conversions(format) < 0) {
        snprintf(text, room, "%s", format);
    } else {
        snprintf(text, room, format, or_empty(arg1), or_empty(arg2), or_empty(arg3));
    }
    return text;
}

namespace {

int show(Widget parent, int level, int type, int set, int number, const char *fallback, int nargs,
         const char *a1, const char *a2, const char *a3) {
    if (message_suppressed(level)) return 1;
    const char *format = catalog_text(set, number, fallback, nargs);
    CString text(nargs == 0 ? dup_cstring(format) : format_message(format, a1, a2, a3));
    if (!text) return 1;
    return present_message(parent, type, set, number, text.get());
}

void print(int set, int number, const char *fallback, int nargs, const char *a1, const char *a2,
           const char *a3) {
    const char *format = catalog_text(set, number, fallback, nargs);
    CString text(format_message(format, a1, a2, a3));
    if (text) fputs(text.get(), stderr);
}

}  // namespace

int message0(Widget parent, int level, int type, int set, int number, const char *fallback) {
    return show(parent, level, type, set, number, fallback, 0, nullptr, nullptr, nullptr);
}

int message1(Widget parent, int level, int type, int set, int number, const char *fallback,
             const char *arg1) {
    return show(parent, level, type, set, number, fallback, 1, arg1, nullptr, nullptr);
}

int message2(Widget parent, int level, int type, int set, int number, const char *fallback,
             const char *arg1, const char *arg2) {
    return show(parent, level, type, set, number, fallback, 2, arg1, arg2, nullptr);
}

int message3(Widget parent, int level, int type, int set, int number, const char *fallback,
             const char *arg1, const char *arg2, const char *arg3) {
    return show(parent, level, type, set, number, fallback, 3, arg1, arg2, arg3);
}

void print_message1(int, int set, int number, const char *fallback, const char *arg1) {
    print(set, number, fallback, 1, arg1, nullptr, nullptr);
}

void print_message2(int, int set, int number, const char *fallback, const char *arg1,
                    const char *arg2) {
    print(set, number, fallback, 2, arg1, arg2, nullptr);
}

void print_message3(int, int set, int number, const char *fallback, const char *arg1,
                    const char *arg2, const char *arg3) {
    print(set, number, fallback, 3, arg1, arg2, arg3);
}

int error(const char *text) {
    // Set 199 holds a bare "%s", which asks for an argument that message0 does not give, so
    // the caller's text is always shown as it is.
    return message0(nullptr, 1, 273, 199, 199, text ? text : "");
}
