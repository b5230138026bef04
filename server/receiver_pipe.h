#pragma once
// The sending side of one receiver connection: a thread of its own creates, changes and removes
// the mirror windows there and puts the newest pixels into them, so that a slow or stopped
// receiver never holds up the proxy. It also keeps track of how long the receiver has left a
// request unanswered, which is how a receiver that stopped is found out. Nothing else of the
// server writes to the receiver or waits for its answers: its keyboard map is read here too.

#include "frame_policy.h"
#include "key_mapping.h"
#include "mirror_group.h"
#include "mirror_layout.h"
#include "pixel_format.h"
#include "upstream_link.h"
#include "xcb_handles.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>
#include <xcb/xcb.h>

namespace telvane::server {

// What a new mirror looks like and carries.
struct MirrorLook {
    int16_t x = 0, y = 0;           // the window's place on the sender's screen
    uint16_t width = 1, height = 1;
    // A mirror of the same share there already, and where its window is on the sender's screen:
    // the new one keeps its place beside it (0: none).
    uint32_t anchor = 0;
    int16_t anchor_x = 0, anchor_y = 0;
    // The window's WM_NORMAL_HINTS (its own limits to resizing), empty when it has none.
    std::vector<uint8_t> size_hints;
    bool override_redirect = false;
    bool mapped = true;
    std::string server_name;   // goes into TL_SERVER_NAME
    uint32_t extra_events = 0; // asked for on the mirror besides exposures (receivers' input)
    // Properties copied from the shared window, by name (atoms differ between servers).
    std::vector<std::pair<std::string, PropertyValue>> properties;
};

class ReceiverPipe {
public:
    struct Options {
        // How often an idle receiver is asked for a sign of life.
        std::chrono::milliseconds heartbeat{5000};
        // Written to (eventfd) when the connection broke or a mirror's image buffer failed.
        int notify_fd = -1;
        // What the receiver's link service decodes (asked when the link was made; nothing on the
        // plain road and from older services). With any, BIG-REQUESTS was enabled then too.
        PictureAbility pictures;
        // Frames follow the link's round trip (send_fence): a slow link's.
        bool paced = false;
    };

    // Starts the thread. `c` stays owned by the caller and must outlive the pipe; `format` is
    // the receiver screen's default format, which every mirror gets.
    ReceiverPipe(xcb_connection_t *c, int screen, PixelFormat format, Options options);
    // Stops the thread, cutting the connection short if the thread is stuck in it.
    ~ReceiverPipe();
    ReceiverPipe(const ReceiverPipe &) = delete;
    ReceiverPipe &operator=(const ReceiverPipe &) = delete;

    const PixelFormat &format() const { return layout_.format; }
    // How the receiver's screen keeps pixels: receivers alike share their mirrors' groups.
    const ScreenLayout &layout() const { return layout_; }
    // What the receiver's link decodes: receivers alike here share groups too.
    const PictureAbility &pictures() const { return options_.pictures; }
    // An id for a new mirror, counted here rather than by xcb (which may wait on the receiver
    // for more); 0 when the connection is broken or the set-up's id range is used up.
    uint32_t new_mirror_id();
    // The receiver's keyboard map, as last read; null until the thread has read it. The input
    // forwarder translates the receiver's keys with it.
    std::shared_ptr<const KeyboardMap> keyboard_map() const;
    // Asks the thread to read the keyboard map again (the receiver sent MappingNotify); the old
    // map stays in force until the new one is there.
    void refresh_keyboard_map();

    // Queues work for the thread; all of it runs in the order given.
    // `group` encodes the mirror's pixels for every receiver that shows them like this one.
    void create(uint32_t mirror, MirrorLook look, std::shared_ptr<MirrorGroup> group);
    void destroy(uint32_t mirror);
    // Replaces (or, without a value, deletes) property `name` of the mirror.
    void set_property(uint32_t mirror, const std::string &name, std::optional<PropertyValue> value);
    // Resizes the mirror; moves it too when `position` is given.
    void configure(uint32_t mirror, std::optional<std::pair<int16_t, int16_t>> position, uint16_t width,
                   uint16_t height);
    // Maps or unmaps the mirror; `raise` puts it above every other window there as it is mapped.
    void map(uint32_t mirror, bool mapped, bool raise = false);
    // Gives the mirror the window's new WM_NORMAL_HINTS (empty: it has none any more).
    void set_size_hints(uint32_t mirror, std::vector<uint8_t> hints);
    // Stacks the groups of `mirrors` in this order, bottom to top, above the receiver's other
    // windows; the mirrors of one group keep their order there.
    void restack(StackGroups mirrors);
    // Asks the thread to bring the mirror to its group's newest frame (the caller marked the
    // damage on the group). A receiver that is behind does not get a queue of old frames: it
    // catches up from the group's copy once.
    void repaint(uint32_t mirror);
    // As repaint, for parts of the mirror the receiver lost (exposures): they are sent whole,
    // whatever the receiver was sent before.
    void repaint_lost(uint32_t mirror, const std::vector<Rect> &rects);
    // As repaint, but called by the group member that encoded a new frame, on its own thread: when
    // this pipe's thread is between batches, has nothing queued before the paint, the receiver
    // has answered for the last frame, and the socket takes the frame without waiting, the frame
    // is written here and then, which spares a thread switch per receiver and frame in a
    // classroom. Otherwise it is left to this pipe's thread.
    void serve(uint32_t mirror);

    // True while the thread waits for work: it would come at once.
    bool idle() const;
    // How long a write or a request to the receiver has gone unfinished at `now`; nothing when
    // none is outstanding.
    std::optional<FrameClock::duration> waiting_for(FrameTime now) const;
    // True once the connection broke.
    bool failed() const { return failed_.load(); }
    // The receiver's next event; null when none has come. Threads that wait for the receiver's
    // answers, or for room to write, read its socket too, and xcb keeps the events they read
    // where the socket no longer shows them: this pipe hands those over, in order, and makes
    // events_fd() readable. The share service calls it, with the connection's own descriptor and
    // events_fd() both watched.
    XcbReply<xcb_generic_event_t> next_event();
    int events_fd() const { return handed_fd_.get(); }
    // Mirrors whose image buffer could not be allocated since the last call.
    std::vector<uint32_t> take_starved();
    // The receiver's WM_PROTOCOLS and WM_DELETE_WINDOW atoms; 0 until the thread has them.
    uint32_t protocols_atom() const { return protocols_atom_.load(); }
    uint32_t delete_atom() const { return delete_atom_.load(); }
    // Where the thread last put an override-redirect mirror on the receiver's screen (no window
    // manager moves those); nothing before it has, and for other mirrors.
    std::optional<Rect> placed(uint32_t mirror) const;

private:
    struct Op {
        enum class Kind { Create, Destroy, Property, Configure, Map, Unmap, SizeHints, Restack, KeyboardMap };
        Op(Kind k, uint32_t m) : kind(k), mirror(m) {}
        Kind kind;
        uint32_t mirror = 0;
        MirrorLook look;
        std::string name;
        std::optional<PropertyValue> value;
        bool move = false;
        bool raise = false;            // Map
        StackGroups order;             // Restack
    };
    struct Paint {
        uint32_t mirror;
        std::shared_ptr<MirrorGroup> group;
        std::vector<Rect> lost;
    };

    void push(Op op);
    void run();
    void apply(const Op &op);
    // What frames written put on the wire: a scroll among it, and where it painted.
    struct Written {
        bool keep = true;   // false on an unpaced link, where nothing needs them
        bool scrolled = false;
        PaintedAreas areas;
        void add(uint32_t mirror, const EncodedFrame &frame);
    };
    // Brings a mirror to its group's newest frame.
    Written paint(const Paint &p);
    // Frames follow the link: after each frame written, a GetInputFocus goes too, and the next
    // frame waits for its answer (past the grace, fence_grace_until), so about one frame a round
    // trip is in flight and the damage of a fast burst (a scrolling terminal) is joined into fewer
    // frames rather than queued. On a fast link the answer is back before the next frame is
    // ready. Both are for the holder of `writer_`.
    void send_fence(FrameTime now, Written written);
    // True while the next frame must wait: the last fence has no answer and its grace is over.
    // Takes the answer when it has come.
    bool fence_waiting(FrameTime now);
    // Someone read the receiver's socket: the thread, if it waits for a fence, looks again.
    void answered();
    // Writes the requests of `frame` for the mirror.
    void write_frame(uint32_t mirror, const EncodedFrame &frame);
    // Writes one PutPicture of the link's own; a picture too long for a request is decoded here
    // and goes as raw rows, as the receiver's service would have drawn it.
    void put_picture(uint32_t mirror, const DrawOp &op, const uint8_t *bytes);
    // The earliest exact refresh one of this pipe's groups waits for; the caller holds `mutex_`.
    std::optional<FrameTime> next_refresh() const;
    // Puts rows of an image (`format` ZPixmap or XYBitmap) in bands below the request size limit.
    void put_rows(uint32_t mirror, uint8_t format, uint8_t depth, const Rect &rect, const uint8_t *data, size_t stride);
    void heartbeat(FrameTime now);
    // Asks for the receiver's keyboard map; take_keyboard_map() then waits for it.
    xcb_get_keyboard_mapping_cookie_t ask_keyboard_map();
    void take_keyboard_map(xcb_get_keyboard_mapping_cookie_t asked);
    uint32_t atom(const std::string &name);
    // `mirrors` in the order they lie on the receiver, bottom to top; those gone are left out.
    std::vector<uint32_t> as_stacked(const std::vector<uint32_t> &mirrors);
    void put_property(uint32_t mirror, const std::string &name, const PropertyValue &v);
    void put_size_hints(uint32_t mirror, const MirrorLook &look);
    void notify();
    // Moves the events xcb has queued to `handed_`; for the threads that write or wait here.
    void hand_over_events();

    xcb_connection_t *c_;
    uint32_t root_ = 0;
    uint32_t id_base_ = 0, id_mask_ = 0;
    std::atomic<uint32_t> ids_used_{0};
    int32_t screen_w_ = 0, screen_h_ = 0;
    ScreenLayout layout_;
    Options options_;
    uint32_t gc_ = 0;

    // Held while writing to the connection: by the thread through each batch, and by another
    // member's thread while it serves this pipe. Taken before `mutex_`, never after it.
    std::mutex writer_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::vector<Op> ops_;
    std::set<uint32_t> dirty_;
    std::map<uint32_t, std::vector<Rect>> lost_;
    std::map<uint32_t, std::shared_ptr<MirrorGroup>> groups_;
    std::optional<FrameTime> busy_since_;   // a batch of writes is under way
    std::optional<FrameTime> served_since_; // another member's thread is writing a frame here
    std::atomic<bool> out_of_turn_{false};  // the receiver's answers lost their order
    std::optional<FrameTime> ping_since_;   // a sign of life was asked for and has not come
    std::optional<FrameTime> fence_since_;  // the oldest fence that has no answer was sent then
    uint64_t answers_ = 0;                  // reads of the receiver's socket by others, counted
    std::vector<uint32_t> starved_;
    std::unordered_map<uint32_t, Rect> placed_;
    std::shared_ptr<const KeyboardMap> keys_;

    // True when the connection's socket takes `bytes` more now without the writer waiting.
    bool takes_now(size_t bytes) const;

    // The thread's own, and `shows_` also of whoever holds `writer_`.
    std::unordered_map<std::string, uint32_t> atoms_;
    std::optional<unsigned> ping_;
    FrameTime last_ping_{};
    // The group frame each mirror shows, as far as this thread has written it.
    std::unordered_map<uint32_t, uint64_t> shows_;
    // The holder of `writer_`'s: until when frames go past an unanswered fence, and when the
    // last fence's answer was taken.
    FrameTime fence_grace_{};
    std::optional<FrameTime> answer_taken_;
    PaintedAreas grace_painted_;   // what the frames of the open grace painted
    // Override-redirect mirrors that are mapped, in the order they came up: raised again after
    // a restack.
    std::vector<uint32_t> on_top_;
    // How far each mirror was moved from its window's place on the sender: menus keep that
    // shift as they move.
    std::unordered_map<uint32_t, Point> shift_;
    uint32_t copy_gc_ = 0;   // for scrolls on the mirror: it reports what the copy could not find
    size_t max_request_bytes_ = 0;   // with BIG-REQUESTS where pictures go
    PictureCoder fallback_;          // decodes a picture that no request could carry

    // Taken by whoever takes events from xcb's queue, so that they keep their order.
    std::mutex taking_;
    std::deque<XcbReply<xcb_generic_event_t>> handed_;
    Fd handed_fd_;

    static constexpr uint64_t kNoFence = ~uint64_t{0};
    std::atomic<uint64_t> fence_{kNoFence};   // the request whose answer the next frame waits for
    std::atomic<bool> failed_{false};
    std::atomic<uint32_t> protocols_atom_{0}, delete_atom_{0};
    std::thread thread_;
};

}  // namespace telvane::server
