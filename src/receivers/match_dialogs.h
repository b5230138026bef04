#pragma once
// The two matching dialogs: candidate receiver lines found for a typed text
// ("Matching_Receiver_Names") and candidate address-book files ("Matching_File_Names"), and
// how chosen candidates become receiver rows.

#include <X11/Intrinsic.h>

#include <string>

// The dialogs and their lists; null until create_MatchNames / create_MatchFiles.
extern Widget MatchNames;
extern Widget MatchNamesSH;
extern Widget MatchNamesList;
extern Widget MatchFiles;
extern Widget MatchFilesSH;
extern Widget MatchFilesList;

// 1 while the dialog's shell is mapped.
extern int MatchNames_is_mapped;
extern int MatchFiles_is_mapped;

// Builds each dialog (hidden). Called once by start-up after the main window.
void create_MatchNames();
void create_MatchFiles();

// Turns one address-file line or typed text into a candidate alias line. Returns 1 when a
// candidate was added or already present, 0 for an empty or comment line or an illegal display
// name (told over `parent`). Called by every reader of address lines.
int possible_MatchNames(Widget parent, const char *line);
// The first word of an address line (comments left out) when it is no display name, so that
// possible_MatchNames would refuse it; "" otherwise. Lets a caller refuse before it tells.
std::string illegal_display_name(const char *line);
// Appends an alias line to the candidates unless an equal one is there.
void add_to_MatchNames(const char *text);
// Forgets every candidate.
void clear_MatchNames();
// Ends a search: mode 2 takes every candidate, mode 1 takes a single one or shows the dialog;
// `hint` (0 or 1) says whether new rows may be selected.
void finish_MatchNames(int mode, int hint);
// Shows the name dialog over the main window; hides it and forgets the candidates.
void popup_MatchNames();
void popdown_MatchNames();

// Appends a file name to the file candidates unless present.
void possible_MatchFiles(const char *name);
// Ends a file-name search in directory `dir`: 0 no candidate, 1 the single one was read,
// 2 the dialog is shown.
int finish_MatchFiles(const char *dir);
void popup_MatchFiles();
void popdown_MatchFiles();

// Forgets the dialogs of a display that has been closed.
void forget_match_dialogs();
