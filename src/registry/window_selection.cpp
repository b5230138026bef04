// Window picking state shared with the share event handler.
#include "window_selection.h"

Window user_picked = 0;

// The window status dialog has no title to refresh until it exists.
void window_receiver_namechange() {}
