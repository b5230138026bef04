#pragma once
// Start-up: the process-wide settings read once from the toolkit, resources and the display.

#include <X11/Intrinsic.h>

// First word of the argument vector; prefix of messages on standard error.
extern char *PROGRAM;
extern XtAppContext app_context;
// The application shell and its display.
extern Widget TopLevel;
extern Display *display;
// The display the program runs on, lower-cased (100-byte buffer).
extern char *display_name;
// Host channel descriptor and its toolkit input registration.
extern int peer;
extern XtInputId peer_handle;

// Window names, instances and classes that are never shared, or shared alone.
extern char **dontShare_name, **dontShare_instance, **dontShare_class;
extern int dontShare_name_count, dontShare_instance_count, dontShare_class_count;
extern char **shareAlone_name, **shareAlone_instance, **shareAlone_class;
extern int shareAlone_name_count, shareAlone_instance_count, shareAlone_class_count;
// Receivers whose colour, font and graphics-context problems are not reported.
extern Atom *dontReport_Color_host, *dontReport_Font_host, *dontReport_GC_host;
extern int dontReport_Color_count, dontReport_Font_count, dontReport_GC_count;

extern int preventWindowTitleChange;
extern int omitCurtainWindow;

// Names under which this machine and its display are known.
extern char *my_hostname;
extern char *my_local_display_name;
extern char *my_unix_display_name;
extern char *my_shmlink_display_name;
extern char *my_null_display_name;
extern char *my_display_hostname;
extern char *my_display_name;
extern char *my_ip_address;

// Title decorations of shared windows: "[sender] " before, " [SHARED]" after.
extern char *prepend_str;
extern char *append_str;

// First event code of the share extension; 0 never occurs after start-up.
extern int tlEventType;
extern Atom telepoint_req_atom, telepoint_ack_atom, tl_external_req_atom;

extern const char *connector_version;
extern char *extension_version;

// Set when a row is added to a list since the default receivers were loaded.
extern int recs_added;

// Splits `value` at blanks and tabs into words of a private copy; the array grows by 8.
// Returns 0 and changes nothing when value is null or empty, else 1.
int add_xxnames(const char *value, char ***array, int *count);

// Like add_xxnames, but each word must be a display name and is stored as the atom of its
// address text, the atom that names a receiver typed so; a word that is not a display name is
// reported on standard error and skipped, one whose host does not resolve is logged and skipped.
int add_xxhosts(const char *value, Atom **array, int *count);

// 1 for exactly "TRUE", "True", "true", "YES", "Yes" or "yes"; 0 for anything else.
int true_value(const char *text);

// Lower-cases `text` in place (ASCII); a null is left alone. Returns `text`.
char *str2lower(char *text);

// The X error handler: ignores BadWindow, logs and prints every other error, and goes on.
int myhandler(Display *dpy, XErrorEvent *error_event);

// The X I/O error handler: the display connection is gone. Logs "Display '...' connection
// lost", says so on standard error and exits with status 1; it never returns.
int display_lost(Display *dpy);

// Makes this program the Telvane of the display's default screen (the owner of the selection
// "TELVANE_S<screen>", held by a window of its own for as long as it runs). Returns 1, or 0 when
// another Telvane holds it.
int claim_display(Display *dpy);

// The display number N of a display name: the whole number after its first ":", or 0 when
// there is none (or it is beyond any display's).
long display_number_of(const char *name);

// The host part of the display: this machine's lower-cased name (at most 95 characters) for
// the local forms "local:", "unix:", "shmlink:" and ":", else `name` cut at its first ":".
// Returns a newly allocated string.
char *display_host_of(const char *name, const char *machine);
