// The Preferences dialog; only its shell handle exists so far, for messages that it parents.
#include "preferences_dialog.h"

Widget PreferencesSH = nullptr;
