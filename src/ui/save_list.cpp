// The save dialog; until it is built the menu entry says that it is not there yet.
#include "save_list.h"

#include "core/log.h"

void popup_SaveList() { log_msg0("Saving receivers is not available in this build"); }
