#pragma once
// Filling a list widget from the address-book folders: a folder's book names, or one book's
// lines as they are stored.

#include <X11/Intrinsic.h>

// Replaces the items of `list` by the lines of the file at `path`, each without its line end
// and with tabs expanded, comments and blank lines included (a line of more than 999
// characters arrives as several). Shows the hour-glass meanwhile. When the file cannot be
// read, logs and tells the user over `list`, leaves the list empty and returns 0; else 1.
// Called by the address book when a book is selected.
int read_address_file(Widget list, const char *path);

// Replaces the items of `list` by the names of the regular files in the folder `path`,
// sorted by byte value, leaving out names that begin with "." and anything that is not a
// regular file. When a file lies at `path`, logs and tells the user over `list` and returns
// 0; a folder that cannot be opened for another reason (missing) leaves the list empty and
// returns 1. Called by the address book for the private and public folders.
int read_directory_into_listwidget(Widget list, const char *path);
