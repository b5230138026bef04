#pragma once
// Which local windows are shared to which receivers, by the server's share tags.

#include <X11/Xlib.h>
#include <cstdint>

// One local window shared under a tag.
struct WindowRecord {
    uint32_t window;
    WindowRecord *next;
    WindowRecord *prev;
};

// One share tag as the server reported it; never without windows.
struct TagRecord {
    uint32_t tag;
    uint32_t host;           // receiver's host atom
    uint32_t detail;         // 0 application share, 1 single window
    uint32_t picked_window;  // what the user picked for the request, or 0
    TagRecord *prev;
    TagRecord *next;
    WindowRecord *windows;
};

// One element of a sender-status list; the caller frees the list with freeSenderStatus.
struct SenderStatus {
    uint32_t id;
    int32_t flag;
    SenderStatus *next;
};

extern TagRecord *first_tag;
// Windows on which this program set TL_DAISY_CHAIN_ALLOWED.
extern uint32_t *daisy_allowed;
extern int32_t daisy_allowed_max;
extern int32_t daisy_allowed_count;

// Look-ups, newest tag first. Unknown tags, hosts and windows give 0 or null.
TagRecord *find_tag(uint32_t tag);
int find_is_host_sharing(uint32_t host);
uint32_t find_host_window_tag(uint32_t host, uint32_t window);
int find_tag_window(uint32_t tag, uint32_t *picked_window, uint32_t *detail);
// How many tags (all with tag 0, else that tag only) hold `window`.
int find_window(uint32_t tag, uint32_t window);

// Iterators; the first two let their callbacks delete what they were given.
void for_all_window_receivers(uint32_t window, void (*fn)(uint32_t tag, uint32_t host, uint32_t window));
void for_all_host_tags(uint32_t host, void (*fn)(uint32_t tag, uint32_t detail, uint32_t host));
void for_all_host_windows(uint32_t host,
                          void (*fn)(uint32_t tag, uint32_t detail, uint32_t host, uint32_t window));

// Records a window-shared event. Returns 1 when added, 0 when the tag already held it.
int add_window(uint32_t host, uint32_t tag, uint32_t window, uint32_t detail, uint32_t picked_window);
// The record of `tag`, created at the head of the list when new (a known tag keeps its values).
TagRecord *new_tag(uint32_t host, uint32_t tag, uint32_t detail, uint32_t picked_window);
// Removes one window from a tag (the tag goes with its last window). Returns 1, or 0 when absent.
int delete_window(uint32_t host, uint32_t tag, uint32_t window);
// Removes a tag and cleans up each window that is then shared no more. Returns 1, or 0 when
// absent or when a deletion is already under way.
int delete_tag(uint32_t tag);
// Removes every tag of a receiver.
void delete_all_host_tags(uint32_t host);

// The daisy-allowed list: 1 when the call changed it, 0 otherwise.
int add_daisy_allowed(uint32_t window);
int delete_daisy_allowed(uint32_t window);

// Builds a sender-status list by which of window and host are non-zero; returns its length.
int getSenderStatus(uint32_t window, uint32_t host, SenderStatus **list);
// 1 when `window` carries TL_DAISY_CHAIN_ALLOWED; 0 for window 0 or without it.
int getAllowDaisyChain(uint32_t window);
// 1 when input from the receiver is allowed by its toggle; 0 otherwise.
int getAllowInputStatus(uint32_t host);
int is_in_list(uint32_t id, SenderStatus *list);
void freeSenderStatus(SenderStatus *list);
