#pragma once
// Replication of shared windows onto their receivers' mirrors: each damaged region is captured
// once, in frames, and sent to every mirror of its window; size and map state are followed;
// titles, class and the daisy-chain mark are copied as they change; and what the share service
// has to act on (a receiver lost or stopped, a mirror closed by its user, a new top level, a
// capture that found no memory, a daisy-chain mark withdrawn) comes back as notes.

#include "frame_policy.h"
#include "receiver_pipe.h"
#include "window_capture.h"
#include "xcb_handles.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace telvane::server {

// Something the share service must act on.
struct ReplicationNote {
    enum class Kind {
        ReceiverLost,        // its connection broke
        ReceiverTimedOut,    // it left a request unanswered past the time limit
        MirrorClosed,        // its user asked the window manager to close `window`'s mirror
        OutOfMemory,         // `window` cannot be captured or painted there any more
        TopLevelMapped,      // `window` is a top level that was just mapped upstream
        DaisyChainRevoked,   // `window`, a received copy, may no longer be shared onward
        Unmapped,            // `window` was unmapped upstream
        MirrorResized,       // the receiver's user gave `window`'s mirror the size `width` x `height`
    };
    Kind kind;
    uint32_t host = 0;
    uint32_t window = 0;
    uint16_t width = 0, height = 0;
};

class Replicator {
public:
    struct Options {
        std::string upstream_display;   // where the shared windows live
        std::string sender_name;        // goes into each mirror's TL_SERVER_NAME
        std::chrono::milliseconds receiver_timeout{30000};
        FrameTiming timing;
        std::function<FrameTime()> clock = [] { return FrameClock::now(); };
        PictureSettings pictures;   // how groups whose receivers decode pictures make them
        // Writes one line to the server's trace (may be empty); called on receivers' threads.
        std::function<void(const std::string &line)> trace;
    };

    explicit Replicator(Options options);
    ~Replicator();

    // Readable when dispatch() has work: capture events, a frame or health check due, a pipe's news.
    int fd() const { return epoll_.get(); }
    // Does that work; returns what the share service must act on.
    std::vector<ReplicationNote> dispatch();
    // True once the link that captures shared windows on upstream has ended: upstream is gone
    // for the server as well.
    bool capture_lost() const { return capture_ && capture_->broken(); }

    enum class Fit { Ready, DirectColor, NoResources };
    // Starts the sender thread of a connected receiver; `c` must outlive remove_receiver(host).
    // A receiver whose default visual is DirectColor gets no thread and no mirrors; NoResources
    // when the thread or its memory could not be had.
    // `pictures`: what the receiver's link decodes, as connect_receiver found it; `paced`: its
    // frames follow its round trip.
    Fit add_receiver(uint32_t host, xcb_connection_t *c, int screen, PictureAbility pictures = {}, bool paced = false);
    // Stops the receiver's thread; called before its connection is closed.
    void remove_receiver(uint32_t host);

    struct Started {
        uint32_t mirror = 0;        // 0: nothing was made (window gone, receiver broken, no memory)
        bool converted = false;     // the receiver keeps pixels differently; they are converted
        bool out_of_memory = false; // the capture's buffers could not be had
    };
    // Makes the mirror of `window` on `host`, asking there also for the events in `extra_events`
    // (receivers' input), and starts replicating the window there. Mirrors of one `group` (a
    // share's tag) keep their windows' layout there; a mirror of `anchor` (the window a menu
    // goes with), or of the window it is transient for, is the one it keeps its place beside.
    Started start(uint32_t host, uint32_t window, uint32_t extra_events = 0, uint32_t group = 0,
                  uint32_t anchor = 0);
    // Stops replicating `window` to `host`, destroying the mirror when `destroy_mirror`.
    void stop(uint32_t host, uint32_t window, bool destroy_mirror);

    // Handles one event from a receiver's connection (exposures, close requests, a changed
    // keyboard map).
    std::vector<ReplicationNote> receiver_event(uint32_t host, const xcb_generic_event_t *ev);
    // The keyboard map `host`'s sender thread last read there; null before it has one. The
    // input forwarder asks, through the share service.
    std::shared_ptr<const KeyboardMap> keyboard_map(uint32_t host) const;
    // The next event from `host`'s connection (ReceiverPipe::next_event), and the descriptor
    // besides the connection's own that says one has been handed over; null and -1 for a
    // receiver without a sender thread.
    XcbReply<xcb_generic_event_t> next_event(uint32_t host);
    int events_fd(uint32_t host) const;

    // True when `window` is a copy received from another sender that did not allow it to be
    // shared onward (TL_SERVER_NAME without TL_DAISY_CHAIN_ALLOWED).
    bool onward_forbidden(uint32_t window);
    // True when `window`, just mapped by the client of `owner`, which is shared alone, goes along
    // with it (mirror_layout.h goes_with). Waits for upstream's answers.
    bool goes_with(uint32_t window, uint32_t owner);
    // Where the override-redirect mirror `mirror` lies on `host`'s screen, as far as its thread
    // has put it there.
    std::optional<Rect> placed(uint32_t host, uint32_t mirror) const;
    // Asks upstream to give `window` the size its mirror on `host` was given there; the share
    // service calls it for receivers whose input the window takes.
    void resize_window(uint32_t window, uint16_t width, uint16_t height);

private:
    struct Source {
        std::shared_ptr<Picture> picture = std::make_shared<Picture>();
        FrameGate gate;
        std::vector<Rect> damage;
        bool whole = false;          // the next frame captures everything
        SourceGeometry geometry;
        uint32_t transient_for = 0;  // WM_TRANSIENT_FOR on upstream
        bool received_copy = false;  // carries TL_SERVER_NAME: it came from another sender
        std::map<uint32_t, uint32_t> mirrors;   // host -> mirror
        std::map<uint32_t, uint32_t> groups;    // host -> the group its mirror there belongs to
        // host -> the receivers' group that encodes its mirror's pixels (one per screen layout)
        std::map<uint32_t, std::shared_ptr<MirrorGroup>> painted_with;
        // The sizes its mirrors were last given (by us): a mirror's ConfigureNotify with one of
        // them is our own doing, late, not its user's.
        std::vector<std::pair<uint16_t, uint16_t>> sizes_given;
        // Hosts where its mirror has been mapped: what a window manager does to a mirror while
        // it takes it in (keeping it inside the screen) is no user's resize.
        std::set<uint32_t> shown_on;
    };
    void give_size(Source &s, std::optional<std::pair<int16_t, int16_t>> position);

    void handle(const SourceEvent &ev, std::vector<ReplicationNote> &notes);
    void capture_frame(uint32_t window, Source &s, std::vector<ReplicationNote> &notes);
    void property_changed(uint32_t window, Source &s, uint32_t atom, bool deleted,
                          std::vector<ReplicationNote> &notes);
    void property_arrived(const PropertyAnswer &answer);
    std::optional<PropertyValue> transient_value(uint32_t host, uint32_t target) const;
    void check_receivers(FrameTime now, std::vector<ReplicationNote> &notes);
    // Stacks every receiver's mirrors as `root_children` (the sender's, bottom to top) has them.
    void restack(const std::vector<uint32_t> &root_children);
    void arm_timer(FrameTime now, bool at_once);
    uint32_t window_of(uint32_t host, uint32_t mirror) const;

    Options options_;
    std::unique_ptr<CaptureLink> capture_;
    Fd epoll_, timer_, news_;
    std::map<uint32_t, Source> sources_;
    std::map<uint32_t, std::unique_ptr<ReceiverPipe>> pipes_;
    std::map<uint32_t, bool> reported_;          // host -> its loss was reported already
    std::map<uint32_t, std::string> copied_;     // upstream atom -> name of a property mirrors copy
    uint32_t transient_atom_ = XCB_ATOM_WM_TRANSIENT_FOR;
    uint32_t server_name_atom_ = 0, daisy_atom_ = 0;
    FrameTime next_health_{};
    bool capture_unwatched_ = false;   // its broken link's descriptor is out of epoll_
    bool restack_wanted_ = false;      // the sender's top levels may have changed their order
    std::map<uint32_t, StackGroups> stacked_;   // host -> its mirrors as last stacked
};

}  // namespace telvane::server
