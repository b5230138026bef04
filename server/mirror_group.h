#pragma once
// Receivers that show one shared window the same way form a group. The group decides once per
// frame what to send (a scroll, the rows that changed, fills, bitmaps, converted pixels) against
// the one copy it keeps of what its members show; each member's thread only writes the group's
// requests to its own connection, with its own ids. A member that fell behind, or lost part of
// its mirror, is caught up alone from the group's copy and then follows the group's frames again.
// Where the members' links decode pictures, photographic areas go as lossy pictures, the copy
// keeps the decoded pixels the members show, and what stays still is sent again exactly.
// Pure: no X here; the receivers' threads do the writing.

#include "encoding.h"
#include "frame_policy.h"
#include "pixel_format.h"
#include "picture_codec.h"
#include "picture_policy.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace telvane::server {

// How a receiver's screen keeps pixels, as far as the requests that paint a mirror depend on it.
struct ScreenLayout {
    PixelFormat format;                  // the default visual's ZPixmap layout
    uint8_t bitmap_unit = 32, bitmap_pad = 32;
    bool bitmap_msb_first = false;       // bit order of XYBitmap images
};
// True when receivers with these screens can be sent exactly the same requests: one group.
bool same_screen_layout(const ScreenLayout &a, const ScreenLayout &b);

// One drawing request of a frame, in the mirror's coordinates.
struct DrawOp {
    enum class Kind : uint8_t { Fill, Copy, Bitmap, Raw, Picture };
    Kind kind = Kind::Raw;
    Rect at;                                   // where it draws
    int32_t from_x = 0, from_y = 0;            // Copy: where on the mirror the pixels come from
    uint32_t foreground = 0, background = 0;   // Fill; Bitmap (1 bits, 0 bits)
    size_t offset = 0, stride = 0;             // Bitmap, Raw: its rows in the frame's data
    size_t bytes = 0;                          // Picture: its encoded bytes, from `offset`
    wire::PictureCodec codec = wire::PictureCodec::Jpeg;   // Picture
};

// Requests that bring a mirror from one state to the next, in order, with the bytes they carry.
struct EncodedFrame {
    std::vector<DrawOp> ops;
    std::vector<uint8_t> data;

    // Appends what paints `block` at `at` whatever the mirror shows there: one fill, a bitmap of
    // two colours (where the layout lets bitmap bytes be filled one by one) or raw rows.
    void add_block(const Rect &at, const PixelBlock &block, const ScreenLayout &layout);
    // The same with `how` already chosen by choose_encoding.
    void add_block(const Rect &at, const PixelBlock &block, const ScreenLayout &layout, const EncodingChoice &how);
    // Appends a picture of `codec` that paints `at`.
    void add_picture(const Rect &at, wire::PictureCodec codec, const std::vector<uint8_t> &encoded);
};

// The group frame a member shows before it was sent any.
inline constexpr uint64_t kShowsNothing = ~uint64_t{0};

// How a member is brought to its group's newest frame.
enum class CatchUpWay : uint8_t {
    InStep,   // it shows the newest frame (or there is none yet)
    Replay,   // it writes the group's frames after the one it shows (the first, from nothing)
    Alone,    // they are no longer kept: what changed since goes whole from the group's copy
};
// The way for a member that shows frame `shows` (or kShowsNothing), when the group's newest is
// `newest` (0: none yet) and the oldest frame whose requests it keeps is `oldest_kept`.
CatchUpWay catch_up_way(uint64_t shows, uint64_t newest, uint64_t oldest_kept);

// Of the group's frames, newest first with their sizes in bytes, how many it keeps for members
// one or a few frames behind: the newest always, older ones while all of them fit `budget` and
// they are at most kMaxKeptFrames.
inline constexpr size_t kMaxKeptFrames = 8;
size_t frames_kept(const std::vector<size_t> &sizes_newest_first, size_t budget);

// How a group sends pictures: what its members decode, how it encodes, where it tells its
// choices (may be empty; called on members' threads) and its clock.
struct GroupPictures {
    PictureAbility ability{};
    PictureSettings settings{};
    std::function<void(const std::string &line)> trace{};
    std::function<FrameTime()> clock = [] { return FrameClock::now(); };
};

class MirrorGroup {
public:
    // A group of the receivers with `layout` that show `picture` and decode what `pictures`
    // says (by default nothing: exact pixels only).
    MirrorGroup(ScreenLayout layout, std::shared_ptr<Picture> picture, GroupPictures pictures = {});

    const ScreenLayout &layout() const { return layout_; }
    // What the members' links decode: only receivers that decode the same join.
    const PictureAbility &ability() const { return pictures_.ability; }
    // True when a receiver with `layout` whose link decodes `ability` is sent this group's frames.
    bool takes(const ScreenLayout &layout, const PictureAbility &ability) const;
    // When the area shown lossily next becomes due for its exact refresh; nothing while all is
    // exact. A member's thread that sees this time pass comes for the newest frame, and the
    // first to come sends the refresh.
    std::optional<FrameTime> refresh_at() const;

    // Marks `rects` of the picture (all of it when empty) for the group's next frame. Called by
    // the replicator when a capture lands; only a short lock: the encoding waits for a member.
    void damage(const std::vector<Rect> &rects);

    struct CatchUp {
        uint64_t shows = kShowsNothing;   // the member's frame once it wrote all of this
        std::vector<std::shared_ptr<const EncodedFrame>> frames;   // the group's, in order
        EncodedFrame alone;   // then this: what it missed or lost, whole from the group's copy
    };
    // Called by the thread of member `caller` that shows frame `shows` and lost `lost` of its
    // mirror: encodes the damage waiting, once for the whole group, then wakes the other members
    // for the new frame; returns what brings this member to the newest frame with its lost parts
    // painted again. A member's own part is encoded after the group's lock is let go. Throws
    // std::bad_alloc when memory runs out. With `may_encode` false (a member served by another's
    // thread) the damage waiting is left for the next member that comes, and nobody is woken.
    CatchUp catch_up(uint64_t shows, const std::vector<Rect> &lost, const void *caller = nullptr,
                     bool may_encode = true);

    // Members: `wake` asks member `who` to come for the newest frame (or writes it for them). The
    // replicator wakes one idle member when damage arrives; the one that encodes wakes the rest,
    // so that they do not queue up behind it. A member leaves before its thread goes; `wake` is
    // called with the members' lock held, so leaving waits for a wake under way.
    void join(const void *who, std::function<void()> wake);
    void leave(const void *who);

private:
    void encode(std::vector<Rect> rects, bool everything, FrameTime now);
    // Converts the picture's `rects` (clipped to the copy) into `into`, each with its place there.
    std::vector<std::pair<Rect, size_t>> convert(const std::vector<Rect> &rects, std::vector<uint8_t> &into);
    // Draws the new pixels `block` at `at` into `frame` and the copy: a lossy picture where the
    // judge says so and `exact_only` is false, else exact; the inexact area follows. An area
    // larger than one picture the link decodes goes in bands of rows that fit.
    void draw(EncodedFrame &frame, const Rect &at, const PixelBlock &block, bool exact_only, FrameTime now);
    // Draws `block` at `at` exactly, as the refresh of what was shown lossily: a lossless picture
    // where the link decodes one and the area is photographic, rows otherwise.
    void draw_refresh(EncodedFrame &frame, const Rect &at, const PixelBlock &block, FrameTime now);
    // Tells the trace, if any.
    void trace(const std::string &line) const;
    // The longest any member was behind the newest frame when it last came.
    uint64_t most_behind();
    void remember(const Rect &at, const PixelBlock &block);
    uint8_t *shown_at(int32_t x, int32_t y);
    PixelBlock shown_block(const Rect &r);

    const ScreenLayout layout_;
    const std::shared_ptr<Picture> picture_;
    const GroupPictures pictures_;

    mutable std::mutex pending_mutex_;   // the replicator's only lock here; taken alone
    std::vector<Rect> pending_;
    bool everything_ = true;     // the whole picture waits (a new group, or after a failure)
    std::optional<FrameTime> refresh_at_;   // a copy of the inexact area's next due time

    std::mutex members_mutex_;   // taken alone, or last
    std::map<const void *, std::function<void()>> members_;

    std::mutex behind_mutex_;    // taken alone: nothing is called while it is held
    std::map<const void *, uint64_t> behind_;   // frames each member was behind when it last came

    std::mutex work_;            // members' threads: the copy and the frames
    uint32_t width_ = 0, height_ = 0;
    size_t stride_ = 0;
    std::vector<uint8_t> shown_;   // what members show, in the layout's format
    bool known_ = false;           // the whole of it has been sent since it was made or resized
    uint64_t newest_ = 0;
    std::deque<std::shared_ptr<const EncodedFrame>> frames_;   // ending with `newest_`
    std::deque<std::vector<Rect>> areas_;                      // what each of the last frames changed
    std::vector<uint8_t> scratch_, refresh_scratch_;
    InexactArea inexact_;          // what members show lossily
    PictureCoder codec_;
};

}  // namespace telvane::server
