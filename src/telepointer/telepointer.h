#pragma once
// Telepointers, the program's side: the requests it sends the manager as client messages, the
// menu actions that make them, and what it does with the manager's answers.

#include <X11/Xlib.h>

// The control protocol's requests and answers: the first word of a telepointer message. A
// failed answer's word 1 names the request that failed.
enum TeleCode : long {
    kTeleReadyAnswer = 2, kTeleCreateRequest = 3, kTeleCreatedAnswer = 4, kTeleDeleteRequest = 5,
    kTeleDeletedAnswer = 6, kTeleFailedAnswer = 7, kTeleStopRequest = 8, kTeleStoppedAnswer = 9,
    kTeleDeleteWindowRequest = 10, kTeleWindowDeletedAnswer = 11, kTeleDeleteIdRequest = 13,
};

// Who asked (the last word of a request, handed back in its answer): an external requester or
// the program's own menus.
enum TeleOrigin : long { kTeleFromRequester = 1, kTeleFromUser = 2 };

// The manager's version text ("" until the manager has started).
extern char *telepointer_version;
// The manager's control window, where requests go; 0 while no manager runs.
extern Window telepointer_control_window;

// Logs that telepointers are started. Called by start-up once the main window is realized;
// returns 1.
int init_telepointer();
// The Add Telepointer action: picks a shared window and asks for a telepointer at the point.
// Returns 1 when a request was sent; tells the user why not otherwise.
int add_telepointer();
// The Delete Telepointer action: picks a point and asks to remove the telepointer nearest it.
// Returns 1 when a request was sent.
int delete_telepointer();
// Asks the manager to remove every telepointer on `window`. Called when a window stops being
// shared; returns 0 when no manager runs.
int delete_all_telepointers(Window window);
// Asks the manager to remove all telepointers and stop. Called first by the orderly exit;
// returns 1.
int kill_telepointer();
// Tells the user that a delete found no telepointer, when that is waiting. Called by the main
// loop while no dialog is up.
void process_telepointer_message();
// Handles one answer of the manager (the message's five data words). Called by the main loop.
void processTelepointerResponse(long code, long w1, long w2, long w3, long w4);
