#pragma once
// Requests from other programs on the display, sent as client messages on TL_EXTERNAL_REQUEST:
// the commands, their replies and properties, and the replies that wait for a share's outcome.

#include <X11/Intrinsic.h>

#include <cstdint>

// A requester waiting for the outcome of its share to `host` (and `window`; 0 for the receiver
// as a whole). The list clTool_pend_list keeps them in the order they came.
struct PendingReply {
    uint32_t requester;
    uint32_t host;
    uint32_t window;
    PendingReply *next;
};

extern PendingReply *clTool_pend_list;

// Obeys one external request (the message's five data words: command, requester window and
// three arguments). Called by the main loop while external requests are enabled.
void processExternalCommand(long command, long requester, long w2, long w3, long w4);

// Takes one client message on TL_EXTERNAL_REQUEST: ignored unless of format 32, obeyed at
// once, or kept until the request in progress is done. Called by the main loop while external
// requests are enabled.
void take_external_request(const XClientMessageEvent &message);

// Writes on the main window whether requests are obeyed (enableCommandLine), in the property
// named by kTakesRequestsProperty, so that a requester learns it before waiting for a reply
// that would never come. Called by start-up once the main window has its window.
void publish_request_state();

// Sends a status reply (a TL_EXTERNAL_REQUEST client message from the main window with the
// five words) to `requester`. Returns 1 without sending for requester 0, else 0 when sent and
// 1 when not. Used by the request handler and the telepointer bookkeeping.
int sendStatusMessage(unsigned long requester, long r0, long r1, long r2, long r3, long r4);
// Returns 1 when `host` is sharing already, so that the caller answers at once; otherwise keeps
// the requester waiting for the share's outcome and returns 0.
int saveStatusMessage(uint32_t requester, uint32_t host, uint32_t window);
// Answers every waiting requester of receiver `host` (and `window`, or any window when 0) with
// `status`, and forgets them. Called when a share event or the receiver's consent service
// settles their request.
void sendEXTStatusMessage(unsigned long host, int status, unsigned long window);
// Forgets every waiting requester.
void initializeStatusPend();

// 1 when the registry knows `host`, else tries to add it from the requester's host-name
// property and returns whether that worked.
int validate_receiver(uint32_t host, uint32_t requester);
// Adds the receiver named by the requester's property `host` to the receiver list. Returns kDone,
// or kInvalidReceiver when the atom, the property or the name will not do; a name that is no display name is
// told to the user only once processExternalCommand has answered the request.
int CLadd_receiver(uint32_t requester, uint32_t host, int unused, int flag);
// Copies the text of property `property` of `requester` into `buffer` (256 bytes). Returns 1
// when the property cannot be read as text, 0 otherwise.
int getHostnameFromCLwinID(uint32_t requester, Atom property, char *buffer);
// Sets each flag whose bit is set in `mask` (bit 0 also gives the high half in `value`) and
// logs them.
void decode_OptsMask(int *b4, int *b3, int *b2, int *b1, int *b0, unsigned *value, unsigned long mask);
// The share-same host list from the requester's TL_EXTERNAL_REQUEST property: a malloc'ed
// array of at least two atoms and their count, or null.
Atom *getRhostList(uint32_t requester, int *count);
// kShareSameWindows. Returns kDone when every listed receiver now shares the same windows, else
// the status.
int processShareSameCmd(uint32_t requester, long w2, long w3);
// kSelectedReceivers. Returns kNobodySelected when none is selected, else kDone (answered).
int send_receivers_selected_to_CL(uint32_t requester);
struct SenderStatus;
// kSenderStatus's answer from a sender-status list of `count` items.
void report_SenderStatus(SenderStatus *list, uint32_t requester, uint32_t window, uint32_t host, int count);
// Registration for requesters: whether the extension allows it and whether someone owns the
// TL_EXTERNAL_REQUEST selection (1 not owned, 2 owned; the access check's own result when it
// is not 1). No part of the program calls these two.
int validate_CL_operation();
void initialize_CL_operation(Widget widget);
