// The preference record, its compiled-in defaults and the ".setup" file.
#include "preferences.h"

#include "cstring.h"
#include "setup_file.h"
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
    int32_t *fields[SETUP_FIELD_COUNT] = {&user_preference.case_insensitive, &user_preference.automatic_highlight,
                                          &user_preference.allow_input,      &user_preference.dialog_level,
                                          &user_preference.search_level,     &inactivity_timeout};
    int32_t values[SETUP_FIELD_COUNT];
    for (int i = 0; i < SETUP_FIELD_COUNT; ++i) values[i] = *fields[i];
    read_setup_numbers(f, values);
    for (int i = 0; i < SETUP_FIELD_COUNT; ++i) *fields[i] = values[i];
    // Field by field, in file order: whether a line is logged depends on the dialog level, which
    // is itself one of the fields.
    for (int i = 0; i < SETUP_FIELD_COUNT; ++i)
        if (hold_setup_field(i, *fields[i]))
            log_msg1("User preference file '%s' value out of range, using DEFAULT", setup_field_name(i));
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
