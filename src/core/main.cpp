// The program's entry: reads its settings, checks the display for sharing, and runs the loop.
#include "core/exit.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/preferences.h"
#include "core/startup.h"
#include "extension/share_extension.h"
#include "external/external_requests.h"
#include "platform/platform.h"
#include "receivers/match_dialogs.h"
#include "receivers/receiver_entry.h"
#include "registry/host_identity.h"
#include "telepointer/tele_manager.h"
#include "telepointer/telepointer.h"
#include "ui/app_defaults.h"
#include "ui/input_controls.h"
#include "ui/main_window.h"
#include "ui/message_dialog.h"

#include "request_codes.h"

#include <X11/StringDefs.h>
#include <X11/Shell.h>
#include <X11/Xmu/Editres.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

struct NameResources {
    String name;
    String instance;
    String klass;
};

struct ProblemResources {
    String gc;
    String font;
    String color;
};

XtResource name_resources[] = {
    {const_cast<char *>("name"), const_cast<char *>("Name"), XtRString, sizeof(String),
     XtOffsetOf(NameResources, name), XtRString, nullptr},
    {const_cast<char *>("instance"), const_cast<char *>("Instance"), XtRString, sizeof(String),
     XtOffsetOf(NameResources, instance), XtRString, nullptr},
    {const_cast<char *>("class"), const_cast<char *>("Class"), XtRString, sizeof(String),
     XtOffsetOf(NameResources, klass), XtRString, nullptr},
};

XtResource problem_resources[] = {
    {const_cast<char *>("gc"), const_cast<char *>("GC"), XtRString, sizeof(String),
     XtOffsetOf(ProblemResources, gc), XtRString, nullptr},
    {const_cast<char *>("font"), const_cast<char *>("Font"), XtRString, sizeof(String),
     XtOffsetOf(ProblemResources, font), XtRString, nullptr},
    {const_cast<char *>("color"), const_cast<char *>("Color"), XtRString, sizeof(String),
     XtOffsetOf(ProblemResources, color), XtRString, nullptr},
};

XtResource command_line_resources[] = {
    {const_cast<char *>("enableCommandLine"), const_cast<char *>("EnableCommandLine"), XtRInt,
     sizeof(int), 0, XtRImmediate, reinterpret_cast<XtPointer>(0)},
};

// Reads one of the name-list subparts and fills its three lists, logging each value found.
void read_name_lists(const char *subpart, const char *subpart_class, const char *label,
                     char ***names, int *name_count, char ***instances, int *instance_count,
                     char ***classes, int *class_count) {
    NameResources values{};
    XtGetSubresources(TopLevel, &values, subpart, subpart_class, name_resources,
                      XtNumber(name_resources), nullptr, 0);
    char format[80];
    if (values.name) {
        add_xxnames(values.name, names, name_count);
        snprintf(format, sizeof format, ".Xdefaults %s.name: %%s", label);
        log_msg1(format, values.name);
    }
    if (values.instance) {
        add_xxnames(values.instance, instances, instance_count);
        snprintf(format, sizeof format, ".Xdefaults %s.instance: %%s", label);
        log_msg1(format, values.instance);
    }
    if (values.klass) {
        add_xxnames(values.klass, classes, class_count);
        snprintf(format, sizeof format, ".Xdefaults %s.class: %%s", label);
        log_msg1(format, values.klass);
    }
}

// A resource default cut to 20 characters, or `fallback` when unset.
char *short_default(const char *resource, const char *fallback) {
    const char *value = XGetDefault(display, "Telvane", resource);
    return value ? strndup(value, 20) : strdup(fallback);
}

char *joined(const char *a, const char *b, const char *c) {
    size_t n = strlen(a) + strlen(b) + strlen(c) + 1;
    char *out = static_cast<char *>(malloc(n));
    if (out) snprintf(out, n, "%s%s%s", a, b, c);
    return out;
}

char *numbered(const char *prefix, long n) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%s%ld", prefix, n);
    return strdup(buffer);
}

// The toolkit, under the name and class "Telvane", on its display; ends the program when the
// display cannot be opened.
void open_toolkit(int *argc, char **argv) {
    XtToolkitInitialize();
    app_context = XtCreateApplicationContext();
    // The desktop's stand-in for the terminal's host channel and its exit requests.
    platform_watch_signals(app_context);
    XtAppSetFallbackResources(app_context, telvane_fallback_resources());
    display = XtOpenDisplay(app_context, nullptr, "Telvane", "Telvane", nullptr, 0, argc, argv);
    if (!display) {
        const char *name = getenv("DISPLAY");
        fprintf(stderr, "%s: Can't open display '%s'\n", PROGRAM, name ? name : "");
        exit(1);
    }
    // Losing the display ends the program, but never without a word in the log.
    XSetIOErrorHandler(display_lost);
    TopLevel = XtAppCreateShell("Telvane", "Telvane", applicationShellWidgetClass, display,
                                nullptr, 0);
    // From here on, notices are dialogs rather than lines on standard error.
    set_message_presenter(message_show);
}

// The resources that say which windows are never shared or shared alone, what is left
// unchanged, and whose problems go unreported.
void read_sharing_resources() {
    // Windows that are never shared, or shared alone.
    read_name_lists("dontShare", "DontShare", "dontShare", &dontShare_name, &dontShare_name_count,
                    &dontShare_instance, &dontShare_instance_count, &dontShare_class,
                    &dontShare_class_count);
    read_name_lists("shareAlone", "ShareAlone", "shareAlone", &shareAlone_name,
                    &shareAlone_name_count, &shareAlone_instance, &shareAlone_instance_count,
                    &shareAlone_class, &shareAlone_class_count);

    if (true_value(XGetDefault(display, "Telvane", "preventWindowTitleChange"))) {
        preventWindowTitleChange = 1;
        log_msg0(".Xdefaults preventWindowTitleChange: TRUE");
    }
    if (true_value(XGetDefault(display, "Telvane", "omitCurtainWindow"))) {
        omitCurtainWindow = 1;
        log_msg0(".Xdefaults omitCurtainWindow: TRUE");
    }

    // Receivers whose problems are not reported.
    ProblemResources problems{};
    XtGetSubresources(TopLevel, &problems, "dontReportProblems", "DontReportProblems",
                      problem_resources, XtNumber(problem_resources), nullptr, 0);
    if (problems.color) {
        add_xxhosts(problems.color, &dontReport_Color_host, &dontReport_Color_count);
        log_msg1(".Xdefaults dontReportProblems.Color: %s", problems.color);
    }
    if (problems.font) {
        add_xxhosts(problems.font, &dontReport_Font_host, &dontReport_Font_count);
        log_msg1(".Xdefaults dontReportProblems.Font: %s", problems.font);
    }
    if (problems.gc) {
        add_xxhosts(problems.gc, &dontReport_GC_host, &dontReport_GC_count);
        log_msg1(".Xdefaults dontReportProblems.GC: %s", problems.gc);
    }
}

// The names this display and machine go by, each logged: the local forms, the host, the
// display's network name and its IPv4 address.
void learn_display_names() {
    // The display number, every digit of it (display_number_of says why).
    long n = display_number_of(display_name);

    // The executing machine.
    char *machine = static_cast<char *>(calloc(100, 1));
    _gethostname(machine, 100);
    machine[95] = '\0';
    my_hostname = str2lower(strdup(machine));
    log_msg1("My executing-code machine is '%s'", my_hostname);

    // The local forms of this display's name.
    my_local_display_name = numbered("local:", n);
    my_unix_display_name = numbered("unix:", n);
    my_shmlink_display_name = numbered("shmlink:", n);
    my_null_display_name = numbered(":", n);
    log_msg1("My local display name is '%s'", my_local_display_name);
    log_msg1("My unix display name is '%s'", my_unix_display_name);
    log_msg1("My shmlink display name is '%s'", my_shmlink_display_name);
    log_msg1("My null display name is '%s'", my_null_display_name);

    // The display's host, and the display's name on the network.
    gethostname(machine, 100);
    machine[95] = '\0';
    my_display_hostname = display_host_of(display_name, machine);
    free(machine);
    log_msg1("My display hostname is '%s'", my_display_hostname);
    char number[32];
    snprintf(number, sizeof number, "%ld", n);
    my_display_name = joined(my_display_hostname, ":", number);
    log_msg1("My display name is '%s'", my_display_name);

    // The display's IPv4 address.
    const char *ip = get_ip_name(my_display_name);
    if (!ip) ip = "127.0.0.1";
    char first[32];
    snprintf(first, sizeof first, "%s", ip);
    const char *again = get_ip_name(first);
    my_ip_address = strdup(again ? again : "127.0.0.1");
    if (char *colon = strchr(my_ip_address, ':')) *colon = '\0';
    log_msg1("My IP Address is '%s'", my_ip_address);
}

// The marks put around the titles of shared windows.
void make_title_marks() {
    char *sender = short_default("titleSenderName", my_display_hostname);
    log_msg1(".Xdefaults title change prepend str (titleSenderName): %s", sender);
    char *append = short_default("appendToTitle", "SHARED");
    log_msg1(".Xdefaults title change append str (appendToTitle): %s", append);
    prepend_str = joined("[", sender, "] ");
    log_msg1("My prepend to title of shared window str is '%s'", prepend_str);
    append_str = joined(" [", append, "]");
    log_msg1("My append to title of shared window str is '%s'", append_str);
    free(sender);
    free(append);
}

// Asks the server for the share extension; without it, says so with advice and ends.
void require_share_extension() {
    tlEventType = tlInitialize(display);
    if (tlEventType == 0) {
        log_msg1("X-Server '%s' does not support sharing\n", display_name);
        print_message1(0, 5, 8, "X-Server '%s' does not support sharing\n", display_name);
        // What to do about it, in one line of its own on standard error and in the log.
        const char *advice = "Sharing needs telvane-server in front of this display: start telvane-server :N --upstream "
                             "%s (N a free display number), then telvane -display :N, as `make run` does.\n";
        print_message1(0, 5, 19, advice, DisplayString(display));
        log_msg1(advice, DisplayString(display));
        message1(nullptr, 1, MSG_INFORMATION | MSG_OK, 5, 8,
                 "X-Server '%s' does not support sharing\n", display_name);
        exit(1);
    }
}

}  // namespace

int main(int argc, char **argv, char **envp) {
    (void)envp;
    // Compiled-in choices, then the user's file over them.
    PROGRAM = argv[0];
    load_compiled_preferences();
    use_user_defaults();

    open_toolkit(&argc, argv);

    // The display's name.
    display_name = static_cast<char *>(calloc(100, 1));
    _gethostname(display_name, 100);
    str2lower(display_name);

    // One Telvane to a display. Two would both mark the titles of shared windows and answer
    // external requests, and the second would start with an empty list that knows nothing of
    // the first one's shares; so the second says so and ends before it writes anything.
    if (!claim_display(display)) {
        const char *text = "Telvane already runs on display '%s'.\nThis one ends: use the Telvane that runs there.\n";
        print_message1(0, 5, 18, text, display_name);
        message1(nullptr, 1, MSG_INFORMATION | MSG_OK, 5, 18, text, display_name);
        exit(1);
    }

    // Let editres inspect the widget tree.
    XtAddEventHandler(TopLevel, 0, True, _XEditResCheckMessages, nullptr);

    // The host channel, when the platform has one.
    peer = peer_inuse();
    if (peer != -1) {
        peer_handle = XtAppAddInput(app_context, peer, reinterpret_cast<XtPointer>(XtInputReadMask),
                                    peer_died, nullptr);
    }

    log_msg1("Startup of Telvane to display '%s'", display_name);

    read_sharing_resources();

    // The toolkit took its own options; anything left is not ours.
    if (argc >= 2) {
        fprintf(stderr, "Local client Telvane does not support the %s option.\n", argv[1]);
        exit(1);
    }

    learn_display_names();

    make_title_marks();

    require_share_extension();

    telepoint_req_atom = XInternAtom(display, "TELEPOINT_REQ", False);
    telepoint_ack_atom = XInternAtom(display, "TELEPOINT_ACK", False);
    tl_external_req_atom = XInternAtom(display, telvane::request_codes::kRequestAtom, False);

    // The server learns the delay between different people's inputs.
    interactive_timeout(inactivity_timeout, inactivity_timeout);

    char *version = tlGetVersion(display);
    extension_version = strdup(version ? version : "");
    if (version) XFree(version);
    log_msg1("Connector Version = '%s'", connector_version);
    log_msg1("Extensions Version = '%s'", extension_version);

    XSetErrorHandler(myhandler);

    // Whether other programs may drive Telvane; off unless the resource turns it on.
    XtGetApplicationResources(TopLevel, &enableCommandLine, command_line_resources,
                              XtNumber(command_line_resources), nullptr, 0);

    // The main window (its shell is the application shell, and dialogs centre on it) and
    // the two matching dialogs.
    create_Telvane();
    create_MatchNames();
    create_MatchFiles();
    XtRealizeWidget(TopLevel);
    publish_request_state();

    // The telepointer manager, once the main window has a window: it answers there, and
    // without answers neither the program nor an external requester would learn a
    // telepointer's id.
    InitTelepointer(display, XtWindow(TopLevel), 0, 0);

    // The default receivers; rows added from here on count as the user's own (exit asks
    // about them).
    if (prog_preference[18]) default_receivers();
    recs_added = 0;

    init_telepointer();

    initialize_main_loop_empty();
    for (;;) main_loop();
}
