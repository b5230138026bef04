#pragma once
// The main window: its shell, the receiver list, and the hooks that other modules call.
// The widget tree itself is built by create_Telvane; until then these work on TopLevel.

#include <X11/Intrinsic.h>

// The main window's shell (TopLevel itself once the window is built).
extern Widget TelvaneSH;
// The receiver list; null until the main window is built.
extern Widget ReceiverList;

// Pops the main window up and raises it. Called by dialogs whose parent is the main window.
void popup_Telvane();

// Shows `cursor` on the main window's window, when there is one. Called by the hour-glass.
void cursor_Telvane(Cursor cursor);

// Moves the per-receiver input widgets level with the rows of the receiver list. Called by
// every list operation that moves the receiver list's view.
void update_input_status_positions();
