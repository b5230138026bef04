#pragma once
// The share extension's behaviour: answers share requests, keeps receivers, shares and input
// settings, creates mirrors on receivers and reports everything as share events.

#include "connection_protocol.h"
#include "input_forwarder.h"
#include "receiver_link.h"
#include "replicator.h"
#include "share_wire.h"
#include "upstream_link.h"
#include "xcb_handles.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace telvane::server {

// Input settings recorded for one receiver; its input reaches shared windows only while allowed.
struct ReceiverInput {
    bool allowed = false;
};

// Input settings that apply to every receiver.
struct InputSettings {
    uint32_t delay_first_ms = 0;    // how long a receiver keeps the input floor (docs/input.md)
    uint32_t delay_second_ms = 0;   // how long the local user keeps it
    std::map<uint32_t, bool> local_only;   // application window -> takes input from the local display only
};

class ShareService {
public:
    struct Options {
        std::string version_text;
        std::string sender_name;        // this machine's host name, for TL_SERVER_NAME
        std::string trace_path;         // empty: no trace
        std::chrono::milliseconds connect_limit{5000};
        std::string upstream_display;   // where shared windows are captured and receivers' input replayed
        std::chrono::milliseconds receiver_timeout{30000};   // a silent receiver is dropped after this
        std::string identity;           // the root property that marks this display (mark_roots)
        std::shared_ptr<const GatewaySettings> gateway;   // null: receivers only by plain X11
        int picture_quality = kDefaultPictureQuality;     // --picture-quality
    };
    // Sends one event to the connections named (those that made the share it is about, or
    // that have shares to its receiver).
    using Broadcast = std::function<void(const wire::ShareEvent &, const std::vector<uint64_t> &)>;
    // Asks the owner's event loop to watch (or stop watching) a receiver connection's descriptor.
    using WatchFd = std::function<void(int fd, uint32_t host, bool watch)>;

    // `upstream` may be null when the server could not reach upstream itself; it must outlive us.
    ShareService(UpstreamLink *upstream, Options options, Broadcast broadcast, WatchFd watch);
    ~ShareService();

    // Executes one share request of connection `conn`; called once upstream has run every earlier
    // request of that connection. Returns the reply or error the client gets, if any.
    LocalAnswer handle(uint64_t conn, const wire::ShareRequest &req, size_t total_bytes,
                       uint64_t sequence, wire::ByteOrder order);
    // Removes everything connection `conn` shared; called when it closes.
    void connection_closed(uint64_t conn);

    // Descriptor that becomes readable when a receiver connection attempt has finished.
    int completion_fd() const;
    // True while a share request of connection `conn` waits for its receiver to be reached.
    bool holds(uint64_t conn) const;
    // Takes in finished connection attempts; called when completion_fd() is readable.
    void collect_connections();
    // Reads from a receiver's connection, at most kReceiverEventsPerTurn events at a time so that
    // a receiver flooding events cannot keep the loop from everyone else; a broken one, and one
    // that floods for kFloodTurns in a row, is dropped with its shares (IoError). True when it
    // stopped at that bound: the caller calls again soon, since the rest may already sit in
    // xcb's queue where no descriptor shows it.
    bool receiver_readable(uint32_t host);
    static constexpr int kReceiverEventsPerTurn = 1024;
    static constexpr int kFloodTurns = 64;
    // Drains upstream events (destroyed shared windows are unshared); `read_socket` false only
    // looks at events xcb has already queued.
    void upstream_readable(bool read_socket = true);
    // Removes every mirror from every receiver; called at shutdown.
    void shutdown();
    // Descriptor that becomes readable when replication has work (damage, frames, receivers' news).
    int replication_fd() const;
    // Does that work and acts on what it reports; called when replication_fd() is readable.
    void replication_ready();
    // True once the link that captures shared windows on upstream has ended.
    bool capture_lost() const { return replicator_->capture_lost(); }

    // Descriptor that becomes readable when the local user gives input on upstream; -1 without
    // input forwarding.
    int input_fd() const;
    // Takes in the local user's input; called when input_fd() is readable. False when upstream
    // is gone and input_fd() should no longer be watched.
    bool input_readable();

    // Tells the service how to know that a client may hold the server grabbed. Upstream answers
    // nobody else then, so the service's own questions would wait for ever: shares asked for
    // meanwhile wait for grab_over().
    void set_grab_probe(std::function<bool()> probe) { grabbed_ = std::move(probe); }
    // Carries out the share requests that waited for a server grab; called when it has ended.
    void grab_over();

    const std::map<uint32_t, ReceiverInput> &receiver_input() const { return input_; }
    const InputSettings &input_settings() const { return settings_; }

private:
    struct Share {
        uint32_t tag;
        uint32_t host;
        uint32_t window;
        uint32_t mirror;
        uint32_t detail;
        uint64_t owner;
        ClientRange client;   // whose new top levels join an application share, or go with a window shared alone
        uint32_t follows = 0; // a menu or dialog: the window shared alone that it goes with
    };
    struct PendingShare {
        uint64_t owner;
        std::vector<uint32_t> windows;
        uint32_t detail;
        ClientRange client;
        uint32_t follows = 0;
    };
    struct Receiver {
        uint32_t host = 0;
        std::string name;
        bool connected = false;
        XcbConnection conn;
        int screen = 0;
        std::vector<PendingShare> waiting;
        // How many turns in a row have ended at kReceiverEventsPerTurn. An X server sends a few
        // events for what its user does; one that keeps this up for kFloodTurns sends more than
        // anyone can read, and xcb would pile its events up in our memory.
        int full_turns = 0;
    };
    struct Completion;

    void share(uint64_t conn, uint32_t host, uint32_t window, bool application);
    // Removes the shares to `host` of `window` (0: every window) under `tag` (0: any); only
    // those of `owner` when it is given, and then with an application's window its whole share.
    void unshare(uint32_t host, uint32_t window, uint32_t tag, std::optional<uint64_t> owner = std::nullopt);
    // Whether connection `conn` may change what is shared to `host` (`window` 0: any window):
    // false when others have shares there that match and it has none.
    bool may_change(uint64_t conn, uint32_t host, uint32_t window, uint32_t tag) const;
    void run_share(Receiver &r, const PendingShare &p);
    void share_one(Receiver &r, uint32_t window, uint32_t tag, const PendingShare &p);
    void remove_share(size_t index, bool destroy);
    void close_if_idle(uint32_t host);
    void drop_receiver(uint32_t host, bool lost, wire::ShareStatus cause = wire::ShareStatus::IoError);
    void handle_note(const ReplicationNote &note);
    // Drops what is kept about the windows upstream has destroyed (reading the socket only when
    // `read_socket`); before anything new is kept about a window, since its id may be one of theirs.
    void forget_destroyed(bool read_socket);
    // Drops everything kept about `window`, which upstream destroyed: its shares, the title to
    // give back, its input rule, its place in shares waiting for a receiver.
    void window_gone(uint32_t window);
    void share_new_top_level(uint32_t top);
    // `to` is the one connection the event is for; kConcerned: every connection with shares to
    // `host`, made or under way. `key`: a changed receiver key's start, for a failed connection.
    static constexpr uint64_t kConcerned = ~uint64_t{0};
    void emit(wire::ShareStatus status, uint32_t window, uint32_t host, uint32_t tag = 0, uint32_t detail = 0,
              uint64_t to = kConcerned, const wire::KeyPrefix &key = {});
    void trace_request(const wire::ShareRequest &req, size_t total, uint64_t seq, wire::ByteOrder order);
    uint32_t version_atom();
    std::unique_ptr<InputForwarder> make_input_forwarder();
    std::optional<InputTarget> input_target(uint32_t host, uint32_t mirror) const;

    UpstreamLink *upstream_;
    Options options_;
    Broadcast broadcast_;
    WatchFd watch_;
    std::FILE *trace_ = nullptr;
    uint32_t version_atom_ = 0;
    uint32_t next_tag_ = 1;
    std::map<uint32_t, Receiver> receivers_;
    std::vector<Share> shares_;
    std::map<uint32_t, ReceiverInput> input_;   // at most kMaxInputHosts entries
    // Shared windows' titles (bytes and type) as they were before they were first shared, by
    // window and title property (WM_NAME, and _NET_WM_NAME where the window has one), and those
    // to give back, found when their sharing client died: its marks stay otherwise.
    using TitleKey = std::pair<uint32_t, uint32_t>;
    std::map<TitleKey, PropertyValue> titles_before_;
    std::vector<std::pair<TitleKey, PropertyValue>> titles_to_restore_;
    uint32_t net_wm_name_ = 0;
    std::map<uint32_t, std::set<uint64_t>> concerned_;   // receiver -> connections with shares there
    InputSettings settings_;
    std::vector<std::array<uint8_t, 4>> local_addresses_;
    std::shared_ptr<Completion> completion_;
    std::unique_ptr<InputForwarder> forwarder_;
    std::function<bool()> grabbed_;
    std::vector<std::pair<uint64_t, wire::ShareRequest>> after_grab_;   // connection, request
    // Last, so that its sender threads stop before the receivers' connections close.
    std::unique_ptr<Replicator> replicator_;
};

// Receivers whose input setting is kept before any share to them exists; AllowInput for one
// more gets BadAlloc.
inline constexpr size_t kMaxInputHosts = 1024;
// Receivers connected or being reached at once; a share to one more fails with OutOfMemory.
inline constexpr size_t kMaxReceivers = 256;
// Share requests waiting, for one receiver being reached or for a server grab to end; one more
// fails with OutOfMemory, or with BadAlloc while a grab holds it.
inline constexpr size_t kMaxWaitingShares = 4096;

// This machine's IPv4 addresses, each as four bytes in network order.
std::vector<std::array<uint8_t, 4>> local_ipv4_addresses();

}  // namespace telvane::server
