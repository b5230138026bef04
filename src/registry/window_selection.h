#pragma once
// Picking a window with the pointer, deciding whether it may be shared, and asking for the
// share of one window to one receiver.

#include <X11/Intrinsic.h>

#include <cstdint>

// The window whose share request is being processed; 0 outside that processing. The
// registry stores it in each new tag.
extern Window user_picked;

// The pending time-out of a pick, or 0 once it has fired or while no pick runs.
extern XtIntervalId pick_timeout;

// 1 while a pick holds the pointer. A second pick asked for meanwhile, from the menu or a
// request, gets no window at once and grabs nothing.
extern int pick_in_progress;

// Share kinds: one window alone, or the window's whole application.
constexpr int SHARE_SINGLE = 1;
constexpr int SHARE_APPLICATION = 2;

// Grabs the pointer and lets the user press and release on a window. Returns the window,
// 0 when nothing was picked (key pressed, grab refused, press and release on different
// windows) or 1 when `seconds` passed. On success *x, *y is the release point in the
// window's coordinates. Called by pick.
Window select_window(Display *dpy, int seconds, int *x, int *y);

// The user-level pick: the named client window under the pointer, or 0 after telling the
// user why there is none (without a word while another pick runs). *x, *y is the pick point in that window. Called by every
// operation that asks the user for a window.
Window pick(int seconds, int *x, int *y);

// The first window that has a name (a WM_NAME in Latin-1, compound text or UTF-8), depth first
// from `window` itself; 0 when none.
Window get_window_with_name(Window window);

// The client window that `window` stands for: the window inside it that carries WM_STATE when
// `window` is a window manager's frame, else `window` itself (also with no window manager).
// What is shared, marked and shown is always a client window, never its frame. Called by pick
// and for the windows that external requests name.
Window client_window_of(Window window);

// Returns `window` when it may be shared and 0 when not (after telling the user why); sets
// *kind to SHARE_SINGLE when the window may only be shared alone. Also records the sender
// of a received copy in sending_hostname. Called before every share request.
Window check_for_sharable_window(Window window, int *kind);

// Asks the server to share `window` to receiver `host` (kind SHARE_SINGLE or
// SHARE_APPLICATION). With `ask` set and a receiver that shares nothing yet, its consent
// service is asked first and the request waits for the answer. Returns the result of the
// event processing that follows the request, or the queueing result.
int share_please(Window window, unsigned long host, int kind, int ask);

// Sends a client message (format 32) about `window` of type `type` with five data words to
// `target`, with no event mask. Returns 0 when sent, 1 when Xlib refused it.
int send_event(Display *dpy, Window window, Window target, Atom type, long d0, long d1, long d2,
               long d3, long d4);

// The time-out of select_window: wakes the waiting pick. Registered by select_window.
void pick_timeout_callback(XtPointer client_data, XtIntervalId *id);

// The Show Window Status action: picks a window and shows its receivers. Guarded against a
// second entry while it waits for the pick.
void show_receivers_of_window();

// Sets the window status dialog's title to the name of the window it shows. Called when
// that window's title changes.
void window_receiver_namechange();

// Adds the receiver `host` of `window` to the window status list. Used as an iterator
// callback by show_receivers_of_window.
void window_receiver_callback(uint32_t tag, uint32_t host, uint32_t window);

// The Allow Daisy Chaining action: picks a shared window and marks it as passable onward.
void allow_daisy_chaining();
