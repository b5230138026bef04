#pragma once
// Where the program's per-user and public files lie, and the creation of the private folder.

// Fixed names, set at build time.
extern const char *local_directory;        // ".Telvane", under $HOME
extern const char *local_alias_directory;  // "" : private books lie in the private folder itself
extern const char *local_alias_default;    // "Default"
extern const char *local_default_settings; // ".setup"
extern const char *log_filename;           // ".logfile"
extern const char *local_auth_file;        // ".cmd_access"
extern const char *global_alias_directory; // "address_books"
extern const char *global_alias_default;   // "Default"
extern const char *global_directory;       // "/usr/lib/X11/Telvane"
extern const char *global_directory_10_0;  // "/etc/opt/Telvane"

// Joins the non-empty parts among a, b, c, d with "/" between them. Returns a newly
// allocated string (empty when all are empty); the caller frees it.
char *makem_up(const char *a, const char *b, const char *c, const char *d);

// The path for a path code: 17 private books and files, 18 and 19 the two public book
// folders (under $TELVANE_PUBLIC_DIR and $TELVANE_SITE_DIR instead of global_directory and
// global_directory_10_0 when those are set), 49 the private folder itself; `name` (may be null) is appended. Returns a newly
// allocated path, or null for any other code. Called by every module that opens a file.
char *generate_path(int code, const char *name);

// Makes sure the private folder exists for codes 17 and 49 (code 17 tests twice, 49 once).
// Returns 1 when it exists or was made, 0 otherwise (the user is told why); 1 for other codes.
int make_directory_if_needed(int code);

// The worker of make_directory_if_needed: whatever the code, works on the private folder.
// Creates it (0777 before the umask) when nothing is there; reports a file in its place or a
// failed creation in the log and as an error message. Returns 1 on success, 0 on failure.
int make_directory_of(int code);
