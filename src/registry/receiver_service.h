#pragma once
// Asking a receiver host's consent service before its first share, and the share requests
// that wait for its answer.

#include <X11/Intrinsic.h>

// A share request that waits for the receiver's answer.
struct PendingShare {
    unsigned long window;
    int kind;  // SHARE_SINGLE or SHARE_APPLICATION
    PendingShare *next;
};

// One receiver whose consent service is being asked (or has just answered).
struct PendingReceiver {
    unsigned long host;     // the receiver's host atom
    int fd;                 // the connection to its service
    PendingShare *windows;  // queued requests, newest first
    XtInputId input_id;     // watches fd for the answer; 0 once the answer was read
    PendingReceiver *next;
};

// Every receiver being asked, newest first. Owned by this module.
extern PendingReceiver *pending_list;

// How long connecting to a service may block the program, in milliseconds; longer counts as
// a connection time-out. Default 20000.
extern int receiver_connect_timeout_ms;

// Asks the consent service of receiver `host`. Returns the socket (0 or more) while the
// question is outstanding, -1 when there is no service to ask (share without asking), -2
// when connecting timed out (report the receiver unreachable). Called by share_please.
int CallReceiver(unsigned long host);

// The toolkit input callback for a service's socket: reads the one-byte answer and sends or
// drops the waiting share requests.
void AnswerFunc(XtPointer host, int *fd, XtInputId *input_id);

// Queues a share of `window` (kind 1 or 2) until receiver `host` answers. Returns 1 when
// queued or already covered by a queued application share, 0 when no question is
// outstanding for `host`.
int ShareWindowPending(unsigned long host, unsigned long window, int kind);

// Withdraws the queued share of exactly `window`; the last withdrawal ends the question.
// Returns 1 when it was queued, else 0.
int UnshareWindowPending(unsigned long host, unsigned long window);

// Ends the question to receiver `host`. Returns 1 when it was still outstanding (now
// cancelled), 0 when there was none or its answer had been read.
int ClosePendingConnection(unsigned long host);
