#pragma once
// Properties of windows on the local display: the marks that forbid, restrict or allow
// sharing, the title mark of shared windows and its upkeep, and dialog window hints.
//
// A property counts as set when it exists with any type and any length; the marks are
// written empty, so only their presence means something.

#include <X11/Intrinsic.h>

#include <string>

// 1 when `window` carries the property `atom` (any type, any length), else 0; a failed read
// counts as not set.
int is_property_set(Window window, Atom atom);
// The same three operations by property name; the name is interned (and created) each call.
int is_property_set_str(Window window, const char *name);
void set_property_str(Window window, const char *name);
void delete_property_str(Window window, const char *name);
// Replaces `atom` on `window` with an empty value of type ATOM, format 8.
void set_property(Window window, Atom atom);

// Mark `window` as never to be shared, or to be shared only by itself. Called on the
// program's own main window, busy notice and dialogs.
void set_dont_share(Window window);
void set_share_alone(Window window);

// Allows receivers to share `window` onward. When the mark is there already (set by anyone),
// returns 1 and changes nothing, so the mark is not counted as ours. Otherwise records the
// window in the daisy-allowed list, logs, sets the mark and returns 1.
int set_daisy_chain(Window window);
// Removes TL_DAISY_CHAIN_ALLOWED when this program set it (it is in the daisy-allowed list).
// Returns 1 when removed, 0 when the mark was not ours and was left alone.
int unset_daisy_chain(Window window);

// Marks the titles of a window that is now shared: "[sender] title [SHARED]", WM_NAME and
// _NET_WM_NAME each in its own encoding and type, and listens for its client renaming it. Does
// nothing when titles are not to be changed or the window has no title. Called by the share
// event handler for a window's first share.
void set_shared_from(Window window);
// Restores the titles of a window that is shared no more, byte for byte as they were before the
// mark. Called by the share event handler when a window's last share ends.
void unset_shared_from(Window window);

// Whether `window` has a WM_NAME in one of the title encodings we read and mark: Latin-1, compound
// text or UTF-8. Called by the pick's name search.
int has_title(Window window);

// `window`'s WM_NAME as text of this program's locale, whichever of those encodings it is in
// (a character the locale lacks comes as Xlib's stand-in); empty when it has none. Called for the
// window status dialog's title and the pick's log line.
std::string window_name_text(Window window);

// Re-marks a shared window's title that its client changed, and refreshes the window status
// dialog's title for its window. Called by the main loop for every PropertyNotify.
void property_event(XEvent *event);

// 1 when `window` belongs to this program: it agrees with the main window in every bit
// outside the connection's resource-id mask. The program changes event selection only on
// windows that are not its own.
int is_own_window(Window window);
// Turns the bits `add` on and `remove` off in this client's event selection on `window`,
// keeping the rest: the title watch, the restacking wait and the telepointers each select on
// shared windows, and none may undo another's. Used wherever the program selects input on
// windows of other clients.
void update_event_selection(Window window, long add, long remove);
// The client part of an identifier under `resource_mask`. Pure; used by is_own_window.
unsigned long client_part(unsigned long id, unsigned long resource_mask);

// Sets WM_TRANSIENT_FOR of `dialog`'s window: `reference` 0 deletes the hint, (Widget)1 names
// the window id 1 (no real window, so the window manager treats the dialog as transient for
// the whole screen), any other widget names the window of its nearest shell.
void set_transient_for(Widget dialog, Widget reference);
// The window WM_TRANSIENT_FOR of `window` names, or 0 when it is absent, empty or unreadable.
Window is_transient_for(Window window);
// Makes `window` override-redirect, so the window manager leaves it alone.
void set_override_window_manager(Window window);
