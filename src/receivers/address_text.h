#pragma once
// The text rules of address books: line cleaning, display-name normalisation, the alias line
// of a receiver row, tab expansion and word matching. Pure functions; no X, no files.

// Cleans an address-file line in place: drops a comment that starts with "#" at a word's
// start, folds runs of blanks, tabs and carriage returns into one blank, trims both ends. Returns 1 when
// nothing is left (or the line is null), else 0.
int parse_comments(char *line);

// Normalises a display name to host:display.screen with the host lower-cased. Returns a
// newly allocated name, or null when the name is illegal ("myhost:x", "a::0", "h:2.1.0").
char *parse_display_name(const char *name);

// The text of one receiver row: the alias, a dot leader to column 59, a blank, and the
// display name from column 61; for an alias of 59 characters or more, the alias, two blanks
// and the display name. Returns a newly allocated line.
char *final_alias_line(const char *alias, const char *display);

// A copy of `text` with each tab expanded to the next output column that is a multiple of 8.
char *parse_tabs(const char *text);

// Word matching over blank-separated words. flags 1: a prefix of a word matches; flags 2:
// the first word is a candidate too. Returns 1 on a match, else 0.
int grep_word_match(const char *pattern, const char *text, int ignore_case, int flags);

// One entry of an address file: the normalised display name and the alias, both newly
// allocated. Filled by parse_address_line.
struct AddressEntry {
    char *display;
    char *alias;
};

// Turns one raw address-file line into an entry: cleans it, takes the first word as the
// display name (normalised) and the rest as the alias (the first word when there is no rest).
// Returns 1 with `entry` filled, 0 for an empty or comment line, -1 for an illegal display
// name (entry untouched). Called by the address-book readers.
int parse_address_line(const char *line, AddressEntry *entry);

// Reads an address file line by line as the books are read everywhere: at most 999
// characters per read, so a longer line arrives as several lines. Calls `fn(line, data)` for
// each raw line without its line end. Returns 1 when the file was read, 0 when it could not
// be opened.
int read_address_lines(const char *path, void (*fn)(const char *line, void *data), void *data);

// The typed form of a receiver row, for editing it: the display name (the text after the last
// blank), one blank, then the alias (the text before the last blank without the trailing run
// of blanks and dots of its leader). Newly allocated; null when the row has no blank.
char *typed_form_of_row(const char *row);

// Whether the typed text `typed` names the receiver display `display_name`: compared without
// regard to case up to the end of the typed text, which must then meet the display's end, its
// ":", or (for a host name, or for a typed address of digits and dots) the "." of a longer
// name. So "15.1" matches 15.1.2.3:0.0 but not 15.10.2.3:0.0, and "myhost" matches
// myhost.example.com:0.0. Returns 1 on a match, else 0.
int display_matches_typed(const char *display_name, const char *typed);
