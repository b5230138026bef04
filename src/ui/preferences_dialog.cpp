// The Preferences dialog; only its shell handle exists so far, for messages that it parents.
#include "preferences_dialog.h"

Widget PreferencesSH = nullptr;

#include "core/log.h"

void popup_Preferences() { log_msg0("Preferences dialog is not available in this build"); }
