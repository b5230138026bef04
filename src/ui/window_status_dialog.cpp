// The window status dialog; only its hooks for the registry exist so far.
#include "window_status_dialog.h"

Window windowListId = 0;

void add_WindowStatus(const char *alias) { (void)alias; }

void delete_WindowStatus(const char *alias) { (void)alias; }
