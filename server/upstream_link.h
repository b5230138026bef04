#pragma once
// The server's own xcb connection to upstream: what it learns about extensions, atoms and
// windows there, for the share requests it answers itself.

#include "client_windows.h"
#include "policy.h"
#include "xcb_handles.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace telvane::server {

// A window on upstream, as far as sharing cares.
struct WindowInfo {
    uint32_t window = 0;
    uint32_t root = 0;
    bool is_root = false;
    bool input_only = false;
    bool viewable = false;
    int16_t x = 0, y = 0;
    uint16_t width = 0, height = 0;
};

// A property's raw value, with its type named so that it can be re-created on another server.
struct PropertyValue {
    std::string type_name;
    uint8_t format = 8;
    std::vector<uint8_t> data;
};

class UpstreamLink {
public:
    // Connects to `display` (with the user's authority file). Nothing when that fails.
    static std::optional<UpstreamLink> connect(const std::string &display);

    // Every extension upstream offers, with its codes.
    std::vector<UpstreamExtension> extensions();
    // Upstream's host access list and whether it is enforced; nothing when upstream is gone.
    // The proxy asks it as connections come, while no client holds the server grabbed.
    std::optional<HostAccess> host_access();
    // The atom for `name`, created when missing; 0 when upstream is gone.
    uint32_t intern(const std::string &name);
    // The name of `atom`; nothing when it is no atom or upstream is gone.
    std::optional<std::string> atom_name(uint32_t atom);
    // Facts about `window`; nothing when it does not exist.
    std::optional<WindowInfo> window_info(uint32_t window);
    // The value of `property` on `window`; nothing when unset.
    std::optional<PropertyValue> property(uint32_t window, uint32_t property);
    // Gives `window` the title `title` in `property` (WM_NAME or _NET_WM_NAME) of `type`. Called
    // by the share service to take away the mark of a client that died.
    void set_title(uint32_t window, uint32_t property, uint32_t type, const std::string &title);
    // The client window that `window` stands for: the one inside it when it is a window
    // manager's frame, else `window` itself (client_windows.h). Called for every single window
    // asked for and every new top level of a shared application.
    uint32_t client_window(uint32_t window);
    // The viewable top-level client windows of the client that created the top-level client
    // window holding `window`, wherever window managers reparented them, that one first; never
    // a frame. Called for application shares.
    std::vector<uint32_t> application_windows(uint32_t window);
    // The id range of the client that created `window` (X-Resource); an empty range when unknown.
    ClientRange creator_of(uint32_t window);
    // Follows the window that has the id `window` now: its end, and no earlier window's under
    // the same id, is reported by drain_destroyed(). Waits until the server has applied the
    // selection, because the window's client may destroy it the moment it hears that the share
    // is made. Returns false when no window has this id. Called by the share service for every
    // window it is asked to share, before it keeps anything about it.
    bool watch_destruction(uint32_t window);
    // Whether the window last watched under this id has not been destroyed, as far as the events
    // read so far tell (a round trip just before reads them all); false too when a newer window
    // has the id by now.
    bool watching(uint32_t window);
    // Pulls every event that arrived (reading the socket only when `read_socket`); returns the
    // watched windows destroyed since the last call. Without reading, it picks up events that
    // xcb queued while the server waited for a reply, which would otherwise wait for the next
    // readable socket.
    std::vector<uint32_t> drain_destroyed(bool read_socket = true);

    // Puts a property named `name` on every root window, so that a receiver that turns out to
    // be this very display can be told by it, whatever name reached it. Returns false when
    // upstream is gone. Called once at start-up.
    bool mark_roots(const std::string &name);
    // Takes that property away again. Called at shutdown.
    void unmark_roots(const std::string &name);

    bool broken() const { return !conn_ || xcb_connection_has_error(conn_.get()); }
    int fd() const { return conn_ ? xcb_get_file_descriptor(conn_.get()) : -1; }

private:
    explicit UpstreamLink(XcbConnection c) : conn_(std::move(c)) {}
    std::vector<uint32_t> roots() const;
    // `tops` and the windows below them down to kFrameDepth levels, not below a window with
    // WM_STATE: enough to find the client window in any window manager's frame.
    WindowTree tree_below(const std::vector<uint32_t> &tops);
    static constexpr int kFrameDepth = 4;
    uint32_t wm_state_ = 0;
    void take_events(bool read_socket);
    XcbConnection conn_;
    // Watched window -> the sequence number of the request that began watching it. An X server
    // reuses the ids of a client that went for the next client, so a DestroyNotify numbered
    // before the watch is about an earlier window under the same id. An entry goes with the
    // window's DestroyNotify.
    std::map<uint32_t, uint32_t> watched_;
    std::vector<uint32_t> destroyed_;   // watched windows destroyed, not yet handed out
};

}  // namespace telvane::server
