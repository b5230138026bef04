#pragma once
// Requests from other programs on the display, sent as client messages.

// Obeys one external request (the message's five data words). Called by the main loop while
// external requests are enabled.
void processExternalCommand(long w0, long w1, long w2, long w3, long w4);

// Answers every waiting external requester of receiver `host` (and `window`, or any window
// when 0) with `status`, and forgets them. Called when a share event or the receiver's
// consent service settles their request.
void sendEXTStatusMessage(unsigned long host, int status, unsigned long window);
