// The window status dialog; only its hooks for the registry exist so far.
#include "window_status_dialog.h"

#include "core/log.h"

Window windowListId = 0;
Widget ChooseAnotherWindow = nullptr;

void add_WindowStatus(const char *alias) { (void)alias; }

void delete_WindowStatus(const char *alias) { (void)alias; }

void delete_all_WindowStatus() {}

void popup_WindowStatus() { log_msg1n("Window status of (0x%x) has no dialog yet", static_cast<int>(windowListId)); }

void set_WindowStatus_title(const char *title) { (void)title; }
