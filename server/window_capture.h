#pragma once
// The server's capture connection to upstream: keeps shared windows in off-screen storage
// (Composite), hears about their damage (Damage), their geometry, map state and properties, and
// reads their pixels through shared memory (MIT-SHM) into each window's Picture.

#include "frame_policy.h"
#include "pixel_format.h"
#include "upstream_link.h"
#include "xcb_handles.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace telvane::server {

// A window's place, size and state on upstream.
struct SourceGeometry {
    int16_t x = 0, y = 0;
    uint16_t width = 1, height = 1, border = 0;
    bool viewable = false;
    bool override_redirect = false;
};

// Something that happened to a watched window, or a window that became a new top level.
struct SourceEvent {
    enum class Kind { Damaged, Configured, Mapped, Unmapped, Destroyed, PropertyChanged, TopLevelMapped };
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

enum class CaptureResult { Done, NotViewable, OutOfMemory };

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

    // Resets the window's damage, then reads `rects` (window coordinates, inside the window) of
    // its off-screen copy into `picture`, resizing the picture to the window first.
    CaptureResult capture(uint32_t window, const std::vector<Rect> &rects, Picture &picture);

    // The next event about a watched window or a new top level; reads the socket only when
    // `read_socket`, otherwise takes what xcb queued during round trips. Nothing when none is left.
    std::optional<SourceEvent> next_event(bool read_socket);

    // The atom for `name` on upstream (created when missing); 0 when upstream is gone.
    uint32_t atom(const std::string &name);
    // The value of `property` on `window`; nothing when unset or the window is gone.
    std::optional<PropertyValue> property(uint32_t window, uint32_t property);

private:
    static void free_pixmap(xcb_connection_t *c, uint32_t id);
    static void free_damage(xcb_connection_t *c, uint32_t id);
    struct Source {
        SourceGeometry geometry;
        PixelFormat format;
        Xid<free_damage> damage;
        Xid<free_pixmap> pixmap;     // named off-screen storage; renamed after each map and resize
        std::unique_ptr<ShmSegment> shm;
        bool gone = false;
    };

    explicit CaptureLink(XcbConnection c) : conn_(std::move(c)) {}
    bool name_pixmap(Source &s, uint32_t window);
    std::optional<std::string> atom_name(uint32_t atom);
    std::vector<uint32_t> palette_of(uint32_t colormap, uint8_t depth);

    XcbConnection conn_;
    bool composite_ = false;
    bool shm_ = false;
    uint8_t damage_event_ = 0;
    std::vector<uint32_t> roots_;
    std::map<uint32_t, Source> sources_;
};

}  // namespace telvane::server
