#pragma once
// The per-receiver input controls: a toggle while connected, a "?" while consent is asked.

#include <X11/Intrinsic.h>

// Destroys a receiver's input control widget. Called when its host atom is deleted.
void destroy_io_widget(Widget widget);

// Stores delay1 (tenths of a second) as the input delay, logs the change and sends both
// delays to the server in milliseconds. Called by start-up, the Preferences dialog and
// external requests.
void interactive_timeout(int delay1, int delay2);

// 1 when `widget` is an input toggle that is set (input allowed), else 0.
int input_toggle_state(Widget widget);

// Brings receiver `host`'s input control into `state`: -1 none, 0 input forbidden, 1 input
// allowed, 2 consent being asked ("?"). Called by the share event handler and the consent
// handshake.
void input_status_changed(unsigned long host, int state);
