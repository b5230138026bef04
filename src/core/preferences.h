#pragma once
// The user's five choices and input delay, their compiled-in defaults, and the file ".setup".

#include <cstdint>

// The user's choices, in file order.
struct UserPreference {
    int32_t case_insensitive;    // 0 case-sensitive matching, 1 case-insensitive
    int32_t automatic_highlight; // 0 never, 1 when exactly one entry matches, 2 always
    int32_t allow_input;         // 1: input from a receiver is allowed as soon as it connects
    int32_t dialog_level;        // 1..4; messages up to this level are shown; 4 also logs
    int32_t search_level;        // 1 private books, 2 public after asking, 3 private and public
};

extern UserPreference user_preference;
// Delay between different people's inputs, in tenths of a second (0..50).
extern int32_t inactivity_timeout;

enum { PROG_PREFERENCE_COUNT = 35 };
// The compiled-in settings; start-up copies fields 2, 10, 29, 17 and 33 into user_preference.
extern const int32_t prog_preference[PROG_PREFERENCE_COUNT];

// Fills user_preference from the compiled-in defaults (the first thing start-up does).
void load_compiled_preferences();

// Reads ".setup" over the current values, range-checks each (out-of-range values are
// replaced and logged). Returns 1 when the file was read, 0 when it could not be opened.
// Called at start-up.
int use_user_defaults();

// Writes the five choices and the delay to ".setup" as "%d " each. Returns 1 on success,
// 0 on failure (logged and shown). Called by the preferences dialog.
int save_user_defaults();

// Switches diagnostic logging for external requests. on=1: raises the dialog level to 4,
// remembering the old one, and returns 0; returns 1 when it was 4 already. on=0: restores
// the remembered level (3 when none), closes the log and returns 0; returns 1 when the level
// was not 4. Any other value returns 1.
int setLogging(int on);
