// The preference record, its compiled-in defaults and the ".setup" file.
#include "preferences.h"

#include "cstring.h"
#include "log.h"
#include "messages.h"
#include "paths.h"
#include "ui/preferences_dialog.h"
#include "platform/files.h"

#include <cstdio>
#include <cstdlib>

UserPreference user_preference = {1, 1, 0, 3, 3};
int32_t inactivity_timeout = 5;

const int32_t prog_preference[PROG_PREFERENCE_COUNT] = {
    0, 0, 1, 1, 1, 1, 0, 1, 1, 1,  // 0..9
    1, 1, 1, 1, 0, 0, 1, 3, 1, 1,  // 10..19
    0, 0, 1, 1, 1, 0, 0, 0, 0, 0,  // 20..29
    1, 1, 0, 3, 5,                 // 30..34
};

namespace {

// The level remembered by setLogging(1); 0 while none is remembered.
int dialog_user_pref = 0;

// Replaces `value` by `fallback` with a log line when it lies outside [low, high],
// compared as unsigned so that negative values are out of range too.
void check_range(int32_t &value, uint32_t low, uint32_t high, int32_t fallback, const char *name) {
    uint32_t v = static_cast<uint32_t>(value);
    if (v < low || v > high) {
        value = fallback;
        log_msg1("User preference file '%s' value out of range, using DEFAULT", name);
    }
}

}  // namespace

void load_compiled_preferences() {
    user_preference.case_insensitive = prog_preference[2];
    user_preference.automatic_highlight = prog_preference[10];
    user_preference.allow_input = prog_preference[29];
    user_preference.dialog_level = prog_preference[17];
    user_preference.search_level = prog_preference[33];
}

int use_user_defaults() {
    CString path(generate_path(49, local_default_settings));
    if (!path) return 0;
    FILE *f = platform_fopen_regular(path.get(), "r");
    if (!f) return 0;
    int32_t *fields[] = {&user_preference.case_insensitive, &user_preference.automatic_highlight,
                         &user_preference.allow_input, &user_preference.dialog_level,
                         &user_preference.search_level, &inactivity_timeout};
    // A number that cannot be read stops the reading: it and every later field keep their values.
    for (int32_t *field : fields) {
        int value;
        if (fscanf(f, "%d", &value) != 1) break;
        *field = value;
    }
    check_range(user_preference.case_insensitive, 0, 1, 1, "CASE_INSENSITIVE");
    check_range(user_preference.automatic_highlight, 0, 2, 1, "AUTOMATIC_HIGHLIGHT");
    check_range(user_preference.allow_input, 0, 1, 0, "AALLOW_INPUT");
    check_range(user_preference.dialog_level, 1, 4, 4, "DIALOG_LEVEL");
    check_range(user_preference.search_level, 1, 3, 3, "SEARCH_LEVEL");
    check_range(inactivity_timeout, 0, 50, 5, "Time Between Users Inputs");
    fclose(f);
    return 1;
}

int save_user_defaults() {
    if (!make_directory_if_needed(49)) return 0;
    CString path(generate_path(49, local_default_settings));
    if (!path) return 0;
    FILE *f = platform_fopen_regular(path.get(), "w");
    if (!f) {
        log_msg1("Could not open file '%s' to save defaults in", path.get());
        message1(PreferencesSH, 1, 273, 2, 7,
                 "Could not open file '%s' to save defaults in", path.get());
        return 0;
    }
    const int32_t values[] = {user_preference.case_insensitive, user_preference.automatic_highlight,
                              user_preference.allow_input,      user_preference.dialog_level,
                              user_preference.search_level,     inactivity_timeout};
    bool failed = false;
    for (int32_t v : values) {
        if (fprintf(f, "%d ", v) < 0) failed = true;
    }
    // A full disk shows up only when the buffer is written out, so the close counts too.
    if (fflush(f) != 0 || ferror(f)) failed = true;
    if (fclose(f) != 0) failed = true;
    if (failed) {
        log_msg1("Error while writing File '%s'", path.get());
        message1(PreferencesSH, 1, 17, 2, 27, "Error while writing File '%s'", path.get());
        return 0;
    }
    return 1;
}

int setLogging(int on) {
    if (on == 1) {
        if (user_preference.dialog_level == 4) return 1;
        dialog_user_pref = user_preference.dialog_level;
        user_preference.dialog_level = 4;
        return 0;
    }
    if (on == 0) {
        if (user_preference.dialog_level != 4) return 1;
        user_preference.dialog_level = dialog_user_pref ? dialog_user_pref : 3;
        logfile_close();
        return 0;
    }
    return 1;
}
