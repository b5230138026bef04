#pragma once
// The per-receiver input controls beside the receiver list's rows: a toggle while the
// receiver is connected (on: its input is accepted), a "?" while its consent is asked.

#include <X11/Intrinsic.h>

// Brings receiver `host`'s control into `state`: -1 none, 0 toggle off, 1 toggle on, 2 "?";
// then re-places every control. Called by the share event handler and the consent handshake.
void input_status_changed(unsigned long host, int state);

// The receiver's current control, or a new toggle recorded as it; 0 for an unknown receiver.
Widget create_io_status(unsigned long host);
// A new toggle for the receiver (not recorded).
Widget create_io_widget(unsigned long host);
// A new "?" label recorded as the receiver's control (whatever was recorded is not destroyed).
Widget create_pending_widget(unsigned long host);
// Destroys a receiver's control. Called when its receiver is deleted.
void destroy_io_widget(Widget widget);

// The user switched a toggle: asks the server to allow or disallow the receiver's input.
void input_user_change_callback(Widget widget, XtPointer host, XtPointer call_data);

// Stores delay1 (tenths of a second) as the input delay, logs the change and sends both
// delays to the server in milliseconds. Called by start-up, the Preferences dialog and
// external requests.
void interactive_timeout(int delay1, int delay2);

// 1 when `widget` is an input toggle that is set (input allowed), else 0.
int input_toggle_state(Widget widget);

// Forgets the pictures made for a display that has been closed.
void forget_input_controls();
