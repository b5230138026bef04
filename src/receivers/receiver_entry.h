#pragma once
// Turning typed text, address files and the default list into receiver rows.

#include <X11/Intrinsic.h>

// Reads the edit line and adds the receivers it names, searching the address books first.
// Returns 1 when something was added or offered, 0 when refused (the text stays in the edit
// line). The edit line's activate action.
int add_receiver();

// Makes every line of the address file `path` a candidate (notices over `parent`). Returns 1
// when the file was read, 0 when it is no readable regular file. Called by the name line and
// the file matching dialog.
int add_file_to_receivers(Widget parent, const char *path);

// Makes a candidate of every line of `path` whose alias words hold `text` as whole words.
// Returns 1 when at least one line matched.
int add_file_match_to_receivers(Widget parent, const char *path, const char *text);

// Loads the private default list, or the public one when there is none and the search level
// allows; the rows are never selected. Returns 1 when a default file was read. Called by
// start-up.
int default_receivers();
