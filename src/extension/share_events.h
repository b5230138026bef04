#pragma once
// Handling of the server's share events, and the grouped problem reports they gather.
//
// Each event becomes a log line, a change of the sharing records, an answer to a waiting
// external requester, and for problems an entry in one of the lists below. The main loop
// shows each filled list as one dialog naming every receiver concerned, so a burst of
// failures on many receivers gives one dialog per kind of problem.

#include <X11/Xlib.h>

#include <string>
#include <string_view>

// The problem lists: null while empty, else the gathered texts joined by newlines. A list
// counts as filled as soon as anything was appended, an empty text included.
extern char *refused_connection, *no_ip_addr, *no_connect, *no_Xserver, *no_permission,
    *refused_windows, *bad_colors, *to_small_colormap, *no_colormap, *bad_gc, *bad_fonts,
    *server_timeout, *prop_changed, *io_timeout, *out_of_mem, *conn_refused_local, *dhx_client,
    *cant_share;
// Two lists of our own, shown after all the others: receivers whose key has changed (a possible
// impostor), and receivers met through an encrypted link whose link service is down.
extern char *key_changed, *link_down;
// Events with a status nobody knows, reported like a nineteenth list.
extern int unexpected_events;
// Set once the local server's memory shortage has been reported; the unshare operation
// clears it, so the shortage is told once per unshare cycle.
extern int out_of_memory_local;

// Handles one share event (a TelvaneEvent in an XEvent). Called by the main loop and by the
// drain after each request.
void processTelvaneEvent(XEvent *event);

// The answer a requester waiting on a receiver gets for share status `status`: for a failed
// connection by its `detail`, where a LocalShortage on a display `name` ending in 0 is the
// local one; -1 for a status that answers nobody. Called by processTelvaneEvent.
int status_answer(int status, unsigned detail, const char *name);

// The lines a changed receiver key adds to its report: the receiver's `alias`, the key it shows
// now (`shown`, the start of its fingerprint as the event carried it), and the key remembered for
// its address in `known_receivers` (that file's text) with its line; `name` is the receiver's
// canonical address text ("a.b.c.d:D.S") or display name. Called by processTelvaneEvent.
std::string changed_key_entry(const char *alias, const char *name, const unsigned char *shown,
                              std::string_view known_receivers);

// Appends `text` to `*list` (a newline between old and new content), then sets
// event_messages_pending from all lists and the counter. Returns non-zero exactly when it
// set the flag. Called by processTelvaneEvent.
int add_multiple_messages(char **list, const char *text);

// Shows each filled list as one dialog, in a fixed order, and empties it; a dialog that is
// not shown drops its list. Returns at once when called from inside itself. Called by the
// main loop between events while no dialog is up.
void process_event_messages();
