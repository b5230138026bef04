#pragma once
// The Preferences dialog: edits, applies, saves and resets the user's choices.

#include <X11/Intrinsic.h>

// The dialog's popup shell, created on first use; null until then.
extern Widget PreferencesSH;

// Shows the Preferences dialog. Until the dialog exists this only logs.
void popup_Preferences();
