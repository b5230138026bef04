#pragma once
// Connections to receiver displays: reaching them (with the reason when that fails) and creating
// and removing the mirror windows there.

#include "share_wire.h"
#include "upstream_link.h"
#include "xcb_handles.h"

#include <chrono>
#include <optional>
#include <string>

namespace telvane::server {

// The outcome of one attempt to reach a receiver. Exactly one of `conn` and `failure` is set.
struct ReceiverConnectResult {
    XcbConnection conn;
    int screen = 0;
    std::optional<wire::ConnectFailure> failure;
    std::string reason;   // for the log
};

// Connects to the receiver named by `display_text` ("a.b.c.d:D.S" or "host:D.S") over TCP,
// offering the user's credentials for it. Blocks up to `limit` for the TCP connect; meant to run
// on a worker thread. The result owns the connection.
ReceiverConnectResult connect_receiver(const std::string &display_text, std::chrono::milliseconds limit);

// What a mirror shows of the shared window.
struct MirrorLook {
    uint16_t width = 1, height = 1;
    int16_t x = 0, y = 0;
    std::optional<PropertyValue> title;     // WM_NAME
    std::optional<PropertyValue> wm_class;  // WM_CLASS
    std::string server_name;                // goes into TL_SERVER_NAME
};

// Creates and maps the mirror on the receiver's screen; returns its id (0 when the connection is broken).
uint32_t create_mirror(xcb_connection_t *c, int screen, const MirrorLook &look);

// Destroys a mirror created by create_mirror and flushes.
void destroy_mirror(xcb_connection_t *c, uint32_t mirror);

}  // namespace telvane::server
