#pragma once
// The telepointer manager: draws, moves, restacks and removes the 25 by 25 child windows that
// serve as shared pointers, answers the control requests, and keeps the ids that external
// requesters ask about.

#include <X11/Xlib.h>

// One telepointer (list headed by first_tele, the most recently created or raised first).
struct TeleRecord {
    Window parent;
    int parent_width, parent_height;
    Window window;  // its own window, and its id in every message
    int screen;
    int x, y;       // the hot spot in the parent's coordinates
    int direction;  // 0 up-left, 1 up-right, 2 down-right, 3 down-left; +4 inverted
    int size_row_x, size_row_y;
    int style;      // 1 to 5, the number in the glyph
    TeleRecord *next, *prev;
};

// A telepointer an external requester knows of (id 0 until its creation is answered).
struct TeleListRecord {
    Window id;
    Window window;
    Window requester;  // 0 for the user's own
    TeleListRecord *next;
};

extern TeleRecord *first_tele;
extern TeleListRecord *first_telepointer;

// Sets up the manager once: the control window, the version atom, cursors and glyphs. With a
// non-zero `reply_window` it answers there from now on, starting with "manager ready". Called
// by start-up; x and y are not used.
void InitTelepointer(Display *dpy, Window reply_window, int x, int y);

// Forgets every telepointer, record and X resource of the manager without asking the server,
// for a display that has gone away; InitTelepointer starts afresh after it. For whoever closes
// the display the manager was started on (the program itself never does).
void forget_tele_manager();

// The manager's side of the main loop: control requests and every event of a window that
// belongs to no widget.
void ProcessTelepointerEvent(Display *dpy, XEvent *event);

// Record operations; each returns 0 and does nothing for an unknown telepointer.
// create_tele and delete_tele return 1 and the telepointer's id on success.
int create_tele(Display *dpy, Window parent, int x, int y, Window *id);
int delete_tele(Display *dpy, Window parent, int x, int y, Window *id);
// Destroys the telepointer `id`; returns 1 and its parent.
int delete_by_id(Display *dpy, Window id, Window *parent);
// Destroys every telepointer of `parent`; returns how many.
int delete_window_teles(Display *dpy, Window parent);
void destroy_all_teles(Display *dpy);
int next_tele(Display *dpy, Window window);
int change_tele(Display *dpy, Window window, int mode);
int swap_tele(Display *dpy, Window window, int side);
int move_tele(Display *dpy, Window window, int x, int y, int keep);
int do_tele_parent_size(Display *dpy, Window window);
int do_parent_resize(Display *dpy, Window parent, int width, int height);
int warp_to_tele_hot_spot(Display *dpy, Window window);
int warp_to_tele_center(Display *dpy, Window window);
int raise_teles(Display *dpy, Window window);
int top_tele(Display *dpy, Window window);

// Lookups: the record of `window` (1 when found), whether its arrow points up, its parent.
int find_tele(Window window, TeleRecord **record);
int find_tele_dir(Window window);
Window parent_tele(Window window);

// Bookkeeping for external requesters. addtoTeleList gives a waiting record of `window` its
// id and returns its requester, or records a new one and returns 0.
Window addtoTeleList(Window id, Window window, Window requester);
// Removes every record with that id or on that window.
void deletefromTeleList(Window id, Window window);
// Answer `event` (kTeleCreatedAnswer, kTeleDeletedAnswer, kTeleFailedAnswer or
// kTeleWindowDeletedAnswer) of the manager. Called by the control protocol.
void notifyTeleList(int event, Window id, Window window);
// Tells `requester` the ids on `window`, in the reply words or, from four on, appended to its
// TL_EXTERNAL_REQUEST property. Returns 0.
int sendTeleInfo(Window window, Window requester);
// The earliest recorded telepointer of `window` with an id, or 0.
Window findLatestTele(Window window);
// The window of telepointer `id`, or 0.
Window getWIDfromTID(Window id);
// Half the window's width and height.
int find_win_center(Window window, int *x, int *y);
