// Start-up settings and the helpers that fill them from resources and names.
#include "startup.h"

#include "log.h"
#include "receivers/address_text.h"
#include "receiver_address.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

char *PROGRAM = nullptr;
XtAppContext app_context = nullptr;
Widget TopLevel = nullptr;
Display *display = nullptr;
char *display_name = nullptr;
int peer = -1;
XtInputId peer_handle = 0;

char **dontShare_name = nullptr, **dontShare_instance = nullptr, **dontShare_class = nullptr;
int dontShare_name_count = 0, dontShare_instance_count = 0, dontShare_class_count = 0;
char **shareAlone_name = nullptr, **shareAlone_instance = nullptr, **shareAlone_class = nullptr;
int shareAlone_name_count = 0, shareAlone_instance_count = 0, shareAlone_class_count = 0;
Atom *dontReport_Color_host = nullptr, *dontReport_Font_host = nullptr,
     *dontReport_GC_host = nullptr;
int dontReport_Color_count = 0, dontReport_Font_count = 0, dontReport_GC_count = 0;

int preventWindowTitleChange = 0;
int omitCurtainWindow = 0;

char *my_hostname = nullptr;
char *my_local_display_name = nullptr;
char *my_unix_display_name = nullptr;
char *my_shmlink_display_name = nullptr;
char *my_null_display_name = nullptr;
char *my_display_hostname = nullptr;
char *my_display_name = nullptr;
char *my_ip_address = nullptr;

char *prepend_str = nullptr;
char *append_str = nullptr;

int tlEventType = 0;
Atom telepoint_req_atom = 0, telepoint_ack_atom = 0, tl_external_req_atom = 0;

const char *connector_version = "@(#)Telvane 2.4 Connector  - 1995";
char *extension_version = nullptr;

int recs_added = 0;

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

// Appends `item` to an array that grows in steps of 8 entries.
template <typename T>
void append_grown(T **array, int *count, T item) {
    if (*count % 8 == 0) {
        *array = static_cast<T *>(realloc(*array, sizeof(T) * static_cast<size_t>(*count + 8)));
        if (!*array) abort();
    }
    (*array)[(*count)++] = item;
}

}  // namespace

int add_xxnames(const char *value, char ***array, int *count) {
    if (!value || !*value) return 0;
    // The copy starts at the first word, so that words[0] is the copy itself and a caller
    // can free the words with free(words[0]).
    while (blank(*value)) ++value;
    char *copy = *value ? strdup(value) : nullptr;
    if (*value && !copy) return 0;
    char **words = static_cast<char **>(malloc(sizeof(char *) * 8));
    if (!words) abort();
    int n = 0;
    for (char *p = copy; p && *p;) {
        while (*p && blank(*p)) *p++ = '\0';
        if (!*p) break;
        append_grown(&words, &n, p);
        while (*p && !blank(*p)) ++p;
    }
    *array = words;
    *count = n;
    return 1;
}

int add_xxhosts(const char *value, Atom **array, int *count) {
    if (!value || !*value) return 0;
    char **words = nullptr;
    int n = 0;
    add_xxnames(value, &words, &n);
    Atom *atoms = static_cast<Atom *>(malloc(sizeof(Atom) * 8));
    if (!atoms) abort();
    int stored = 0;
    for (int i = 0; i < n; ++i) {
        char *name = parse_display_name(words[i]);
        if (!name) {
            fprintf(stderr, "Telvane: Problem parsing 'dontREport' strings\n");
            continue;
        }
        // A receiver is known by the atom of its address text ("127.0.0.1:5.0"), whatever name
        // the user typed for it; the atom of the word itself ("localhost:5.0") would match only
        // receivers written as addresses. So each word is resolved as a typed receiver is.
        std::string address = telvane::names::canonical_display(name);
        if (address.empty()) {
            log_msg1("dontReportProblems: '%s' does not resolve to an address; left out", name);
        } else {
            append_grown(&atoms, &stored, XInternAtom(display, address.c_str(), False));
        }
        free(name);
    }
    if (n > 0) free(words[0]);
    free(words);
    *array = atoms;
    *count = stored;
    return 1;
}

int true_value(const char *text) {
    if (!text) return 0;
    static const char *const yes[] = {"TRUE", "True", "true", "YES", "Yes", "yes"};
    for (const char *word : yes) {
        if (strcmp(text, word) == 0) return 1;
    }
    return 0;
}

char *str2lower(char *text) {
    if (!text) return text;
    for (char *p = text; *p; ++p) {
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    }
    return text;
}

int myhandler(Display *dpy, XErrorEvent *error_event) {
    if (error_event->error_code == BadWindow) return 0;
    char text[100];
    XGetErrorText(dpy, error_event->error_code, text, sizeof text);
    log_msg2n1("X Error Detected.  Error Code %d  Request Code %d  '%s'", error_event->error_code,
               error_event->request_code, text);
    fprintf(stderr, "%s: X Error Detected", PROGRAM ? PROGRAM : "Telvane");
    fprintf(stderr, "    Error_Code: %d", error_event->error_code);
    fprintf(stderr, "    Request_Code: %d", error_event->request_code);
    fprintf(stderr, "    '%s'", text);
    return 0;
}

int display_lost(Display *dpy) {
    const char *name = dpy ? DisplayString(dpy) : "";
    log_msg1("Display '%s' connection lost, exiting", name);
    fprintf(stderr, "%s: display '%s' connection lost\n", PROGRAM ? PROGRAM : "Telvane", name);
    exit(1);
}

int claim_display(Display *dpy) {
    char name[32];
    snprintf(name, sizeof name, "TELVANE_S%d", DefaultScreen(dpy));
    const Atom selection = XInternAtom(dpy, name, False);
    if (XGetSelectionOwner(dpy, selection) != None) return 0;
    const Window holder = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(dpy, selection, holder, CurrentTime);
    // Of two Telvanes that start together, the one that set it last keeps it.
    return XGetSelectionOwner(dpy, selection) == holder;
}

long display_number_of(const char *name) {
    // We read the whole number, not only its first digit: "make run" puts the server at :60
    // and up and ssh forwards displays from :10, and with one digit display :101 took itself
    // for vm:1 and refused shares to a receiver at vm:102 as if it were this display.
    const char *colon = name ? strchr(name, ':') : nullptr;
    if (!colon || colon[1] < '0' || colon[1] > '9') return 0;
    char *end = nullptr;
    long n = strtol(colon + 1, &end, 10);
    return n > 0x7fffffff ? 0 : n;
}

char *display_host_of(const char *name, const char *machine) {
    static const char *const local_forms[] = {"local:", "unix:", "shmlink:", ":"};
    for (const char *form : local_forms) {
        if (name && strncmp(name, form, strlen(form)) == 0) {
            char buffer[100];
            snprintf(buffer, sizeof buffer, "%s", machine ? machine : "");
            buffer[95] = '\0';
            return str2lower(strdup(buffer));
        }
    }
    if (!name) return strdup("");
    const char *colon = strchr(name, ':');
    return colon ? strndup(name, static_cast<size_t>(colon - name)) : strdup(name);
}
