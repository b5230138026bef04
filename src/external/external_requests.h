#pragma once
// Requests from other programs on the display, sent as client messages.

// Obeys one external request (the message's five data words). Called by the main loop while
// external requests are enabled.
void processExternalCommand(long w0, long w1, long w2, long w3, long w4);

// Answers every waiting external requester of receiver `host` (and `window`, or any window
// when 0) with `status`, and forgets them. Called when a share event or the receiver's
// consent service settles their request.
void sendEXTStatusMessage(unsigned long host, int status, unsigned long window);

// Sends a status reply (a TL_EXTERNAL_REQUEST client message from the main window with the
// five words) to `requester`. Returns 1 without sending for requester 0, else 0 when sent and
// 1 when not. Used by the request handler and the telepointer bookkeeping.
int sendStatusMessage(unsigned long requester, long r0, long r1, long r2, long r3, long r4);
