#pragma once
// The receivers the user has put into the receiver list, keyed by host atom, with their rows.

#include <X11/Intrinsic.h>
#include <Xm/Xm.h>

#include <optional>
#include <string>
#include <vector>

// One receiver. Records are newest first; the display order is `position` alone.
struct Hostatom {
    Atom atom;       // interned from the receiver's canonical address text
    char *name;      // display name as the user gave it
    char *alias;     // the whole receiver-list line
    Widget widget;   // input control, or null
    int position;    // row, counted from 1
    int plain;       // 1 when its connection, since it was last made, is plain X11: not encrypted
    Hostatom *next;
};

extern Hostatom *first_hostatom;
extern int hostatom_count;

// Adds a receiver at `position` (0: after the last row), moving later rows down. Returns 0
// when added, 1 when the atom exists with the same texts, else the existing atom.
Atom add_hostatom(Atom atom, const char *name, const char *alias, int position);
// Puts `count` new receivers into rows 1 to `count` in the order given, moving every row there
// was down by `count` in one pass. The atoms must be distinct and unknown. Returns nothing.
// Called by add_many_to_ReceiverList, which has checked them.
void add_hostatoms_on_top(const Atom *atoms, const char *const *names, const char *const *aliases, int count);
// The display name at the end of a receiver-list line (after its last blank), or nothing when
// the line has none. Called by admit_alias_lines and add_many_to_ReceiverList.
std::optional<std::string> alias_line_display(const std::string &line);
// What a batch of receiver-list lines becomes, given each line's host atom (0 or -1: the host
// is unknown), decided as adding them at the top one after another, last line first, would.
struct RowAdmission {
    // Per line, as add_hostatom answers: 0 a new row (or a line with no display name), 1 the
    // same line is a row already, 2 the host is unknown, else the atom that has the display.
    std::vector<unsigned long> result;
    std::vector<size_t> added;  // the lines that become rows, in the lines' order
};
// Decides it against the records there are; changes nothing. Called by add_many_to_ReceiverList.
RowAdmission admit_alias_lines(const std::vector<std::string> &lines, const std::vector<Atom> &atoms);
// Removes a receiver and its input control, moving later rows up. Unknown atoms: no-op.
int delete_hostatom(Atom atom);
// Removes every receiver.
void delete_all_hostatoms();
// Moves a receiver to `position` (0: last row); no-op for unknown atoms or the same row.
void move_hostatom(Atom atom, int position);
// Gives the record's display name and alias line (owned by the record) and returns 1;
// "Unknown" for both and 0 when the atom is not known.
int find_hostatom_names(Atom atom, char **name, char **alias);
// Finds the receiver whose alias line is the text of `item`; returns its atom, or 0.
Atom Alias_to_hostatom(XmString item, char **name, char **alias);
// Calls fn for every receiver, newest first; fn may delete the one it is given.
void for_all_hostatoms(void (*fn)(Atom atom, char *name, char *alias));
// Calls fn with every receiver's input control and row, newest first.
void for_all_hostatom_widgets(void (*fn)(Atom atom, Widget widget, int position));
// Stores the input control of a receiver; returns 1, or 0 for an unknown atom.
int set_hostatom_widget(Atom atom, Widget widget);
// Gives the input control and zero-based row; returns 1, or 0 for an unknown atom.
int find_hostatom_widget(Atom atom, Widget *widget, int *row);
// Notes how the receiver's connection was made: `plain` 1 for X11 without encryption. Returns
// 1, or 0 for an unknown atom. Called by the share event handler when a connection is made.
int set_hostatom_plain(Atom atom, int plain);
// 1 when the receiver's connection is plain X11 (not encrypted), else 0 (also for an unknown
// atom). Called by the window status dialog's feeders and the sender status request.
int hostatom_plain(Atom atom);
// The display connection host atoms are interned on.
Display *get_sender_display();

// Log lines naming a receiver: the host atom is printed as its display name.
int log_msg1a(const char *format, Atom host);
int log_msg1n1a(const char *format, int n1, Atom host);
int log_msg2n1a(const char *format, int n1, int n2, Atom host);
