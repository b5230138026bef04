// Window picking and share requests; placeholders until the picking code lands.
#include "window_selection.h"

Window user_picked = 0;
XtIntervalId pick_timeout = 0;

Window select_window(Display *, int, int *, int *) { return 0; }
Window pick(int, int *, int *) { return 0; }
Window get_window_with_name(Window) { return 0; }
Window check_for_sharable_window(Window window, int *) { return window; }
int share_please(Window, unsigned long, int, int) { return 0; }
int send_event(Display *, Window, Window, Atom, long, long, long, long, long) { return 1; }
void pick_timeout_callback(XtPointer, XtIntervalId *) {}
void show_receivers_of_window() {}
void window_receiver_namechange() {}
void window_receiver_callback(uint32_t, uint32_t, uint32_t) {}
void allow_daisy_chaining() {}
