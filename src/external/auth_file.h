#pragma once
// The lines of the remote access authorization file, read without resolving anything: the
// reader for remote_auth and for the fuzz target.

#include <cstdint>
#include <cstdio>

// Reads on from `file` to its next entry "uid host": comments ("#" to the end of the line) and
// blank lines are passed over, as are lines that do not start with a number and a word. A line
// keeps at most its first 255 characters; the rest is read and dropped, and a zero byte ends
// what it says. Fills `uid`, `host` (a word of 1 to 255 characters) and `line` (the entry's text
// without its comment, for the log). Returns false at the end of the file. Called by
// initialize_auth_file.
bool next_auth_entry(FILE *file, int32_t &uid, char (&host)[256], char (&line)[256]);
