#pragma once
// The Preferences dialog: edits, applies, saves and resets the user's choices.

#include <X11/Intrinsic.h>

// The dialog's popup shell, created on first use; null until then.
extern Widget PreferencesSH;

// Creates the dialog on first use (hour-glass meanwhile), loads the values in use into it,
// centres it on the main window and pops it up with an exclusive grab. The Options menu's
// Set Preferences action.
void popup_Preferences();
// Pops the dialog down when it exists. Called by its buttons and by exit.
void popdown_Preferences();
// Shows `cursor` on the dialog when it exists. Called by the busy cursor.
void cursor_Preferences(Cursor cursor);
// Shows the values in use: every toggle off, then the toggle of each value on (a dialog level
// of 1 has no toggle), and the scale at the input delay. Called on every popup.
void set_preferences();
// As set_preferences with the compiled-in defaults; changes the dialog only. The Reset button.
void reset_preferences();
// Takes the dialog's state into the values in use, logs the dialog level's change and sends
// the input delay to the server. Called by OK and Save.
void update_preferences();
// Forgets the dialog after its display has gone. For tests.
void forget_Preferences();
