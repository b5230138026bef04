#pragma once
// The server's capture connection to upstream: keeps shared windows in off-screen storage
// (Composite), hears about their damage (Damage), their geometry, map state and properties, and
// reads their pixels through shared memory (MIT-SHM) into each window's Picture. Captures and
// property reads never wait for their replies: a client of the proxy may hold the server
// grabbed, and the proxy must go on relaying it until it lets go.

#include "frame_policy.h"
#include "mirror_layout.h"
#include "pixel_format.h"
#include "upstream_link.h"
#include "xcb_handles.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace telvane::server {

// A window's place, size and state on upstream.
struct SourceGeometry {
    int16_t x = 0, y = 0;   // in its parent, which may be a window manager's frame
    uint16_t width = 1, height = 1, border = 0;
    bool viewable = false;
    bool override_redirect = false;
};

// Something that happened to a watched window, or a window that became a new top level, or a
// change in the order of the root's children (Restacked).
struct SourceEvent {
    enum class Kind { Damaged, Configured, Mapped, Unmapped, Destroyed, PropertyChanged, TopLevelMapped, Restacked };
    Kind kind = Kind::Damaged;
    uint32_t window = 0;
    Rect area;                 // Damaged: in the window's coordinates
    SourceGeometry geometry;   // Configured: the new geometry
    uint32_t atom = 0;         // PropertyChanged
    bool deleted = false;      // PropertyChanged: the property is gone
};

// A shared-memory segment attached both to this process and to one X server.
class ShmSegment {
public:
    // A segment of `bytes`. Nothing, with `out_of_memory` set, when the memory could not be had;
    // nothing without it when the server will not share memory with us (it runs elsewhere).
    static std::unique_ptr<ShmSegment> create(xcb_connection_t *c, size_t bytes, bool &out_of_memory);
    ~ShmSegment();
    ShmSegment(const ShmSegment &) = delete;
    ShmSegment &operator=(const ShmSegment &) = delete;

    uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    uint32_t id() const { return seg_; }

private:
    ShmSegment() = default;
    xcb_connection_t *c_ = nullptr;
    uint32_t seg_ = 0;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

enum class CaptureResult { Started, Done, NotViewable, OutOfMemory };

// A capture whose replies have all come.
struct FinishedCapture {
    uint32_t window = 0;
    std::vector<Rect> rects;
    CaptureResult result = CaptureResult::Done;   // Done or NotViewable
};

// The answer to request_property().
struct PropertyAnswer {
    uint32_t window = 0;
    uint32_t atom = 0;
    std::optional<PropertyValue> value;   // nothing: unset, or the window is gone
};

class CaptureLink {
public:
    // Connects to `display` (the upstream the proxy stands in front of); nothing when that fails.
    // Without Composite or Damage there the link still follows windows, but captures nothing.
    static std::unique_ptr<CaptureLink> connect(const std::string &display);
    ~CaptureLink();

    int fd() const { return xcb_get_file_descriptor(conn_.get()); }
    bool broken() const { return xcb_connection_has_error(conn_.get()) != 0; }
    // True when upstream offers what pixel capture needs.
    bool captures() const { return composite_ && damage_event_ != 0; }

    // What watch() learns about a window.
    struct Watched {
        SourceGeometry geometry;
        PixelFormat format;
    };
    // Starts keeping `window` off-screen, hearing its damage, structure and property changes.
    // Nothing when the window is gone or its format is one we do not know, and nothing with
    // `out_of_memory` set when upstream could not allocate the off-screen copy.
    std::optional<Watched> watch(uint32_t window, bool &out_of_memory);
    // Stops everything watch() started for `window`.
    void unwatch(uint32_t window);

    // Resets the window's damage and asks for `rects` (window coordinates, inside the window) of
    // its off-screen copy, resizing `picture` to the window first. Started, or NotViewable when
    // there is nothing to read, or OutOfMemory when the buffers could not be had. The pixels go
    // into `picture` when collect_captures() finds the replies. One capture per window at a time.
    CaptureResult begin_capture(uint32_t window, const std::vector<Rect> &rects, std::shared_ptr<Picture> picture);
    // True while a capture of `window` waits for its replies.
    bool capturing(uint32_t window) const;
    // Finishes the captures whose replies have come; call after reading from the connection.
    std::vector<FinishedCapture> collect_captures();

    // The next event about a watched window or a new top level; reads the socket only when
    // `read_socket`, otherwise takes what xcb queued during round trips. Nothing when none is left.
    std::optional<SourceEvent> next_event(bool read_socket);

    // The ancestor of a watched window that is a child of the root (a window manager's frame, or
    // the window itself); 0 while unknown. Kept up to date as the window is reparented.
    uint32_t top_of(uint32_t window) const;
    // Reads the answers that find reparented windows' top levels; true when one became known.
    bool collect_tops();
    // Asks for the order of every screen's top levels without waiting; collect_stacking() hands
    // it out (bottom to top, screen after screen) once all have come. One question at a time:
    // false while one is out (or the link is broken).
    bool request_stacking();
    std::optional<std::vector<uint32_t>> collect_stacking();
    // Where `window` is on the screen, whether it is override-redirect and whom it is transient
    // for; nothing when it is gone. Waits for the answers: for share decisions, not the event path.
    std::optional<NewWindow> describe(uint32_t window);

    // Asks for `window` to get the size `width` x `height` (its window manager, if any, decides).
    void resize(uint32_t window, uint16_t width, uint16_t height);

    // The atom for `name` on upstream (created when missing); 0 when upstream is gone.
    uint32_t atom(const std::string &name);
    // The value of `property` on `window`; nothing when unset or the window is gone. Waits for
    // the answer: for share requests, not for the event path.
    std::optional<PropertyValue> property(uint32_t window, uint32_t property);
    // Asks for the value of `property` on `window` without waiting; collect_properties() hands
    // out the answers in the order asked.
    void request_property(uint32_t window, uint32_t property);
    std::vector<PropertyAnswer> collect_properties();

private:
    static void free_pixmap(xcb_connection_t *c, uint32_t id);
    static void free_damage(xcb_connection_t *c, uint32_t id);
    // A capture sent and not yet answered in full.
    struct InFlight {
        std::vector<Rect> rects;
        std::vector<unsigned> requests;              // one image request per rectangle
        std::vector<XcbReply<void>> replies;         // the answers so far (image data without SHM)
        std::shared_ptr<Picture> picture;
        bool failed = false;
    };
    struct Source {
        SourceGeometry geometry;
        PixelFormat format;
        Xid<free_damage> damage;
        Xid<free_pixmap> pixmap;     // named off-screen storage; renamed after each map and resize
        std::unique_ptr<ShmSegment> shm;
        std::optional<InFlight> in_flight;
        bool gone = false;
        uint32_t top = 0;            // see top_of()
        // The sequence number of the request that began watching the window: what came before
        // it is about an earlier window that had the same id, which an X server gives out again.
        uint32_t since = 0;
    };
    // A step up the tree towards a reparented window's top level: QueryTree of `at`.
    struct PendingTop {
        uint32_t window, at;
        unsigned request;
    };
    void ask_top(uint32_t window, uint32_t at);
    struct PendingProperty {
        uint32_t window, atom;
        unsigned request;
    };

    explicit CaptureLink(XcbConnection c) : conn_(std::move(c)) {}
    void finish(Source &s, InFlight &f);
    void discard(Source &s);
    // The source of `window`, unless `ev` came before it was watched; null otherwise.
    Source *current(uint32_t window, const xcb_generic_event_t *ev);
    std::optional<PropertyValue> property_value(const xcb_get_property_reply_t *r);
    std::optional<std::string> atom_name(uint32_t atom);
    std::vector<uint32_t> palette_of(uint32_t colormap, uint8_t depth);

    XcbConnection conn_;
    bool composite_ = false;
    bool shm_ = false;
    uint8_t damage_event_ = 0;
    std::vector<uint32_t> roots_;
    std::map<uint32_t, Source> sources_;
    std::vector<PendingProperty> pending_properties_;
    std::vector<PendingTop> pending_tops_;
    std::vector<unsigned> stacking_requests_;   // one for each screen's root, not yet answered
    std::vector<uint32_t> stacking_;            // the top levels of the screens answered so far
    std::map<uint32_t, std::string> type_names_;   // atom -> name, for property types
};

}  // namespace telvane::server
