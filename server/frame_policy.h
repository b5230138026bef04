#pragma once
// When a damaged window is captured, and how its damage is cut into the rectangles that are read
// and sent: pure decisions, driven by time points that the caller reads from its own clock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace telvane::server {

// A rectangle in a window's own coordinates.
struct Rect {
    int32_t x = 0, y = 0, width = 0, height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    int64_t area() const { return empty() ? 0 : int64_t{width} * height; }
    friend bool operator==(const Rect &, const Rect &) = default;
};

// The smallest rectangle holding both (an empty one counts as nothing).
Rect bounding_box(const Rect &a, const Rect &b);
// What the two have in common; empty when nothing.
Rect intersection(const Rect &a, const Rect &b);

using FrameClock = std::chrono::steady_clock;
using FrameTime = FrameClock::time_point;

// How damage is gathered into frames.
struct FrameTiming {
    // How long the first damage of a frame waits for the rest of its burst.
    std::chrono::microseconds gather{250};
    // The shortest time between two captures of one window.
    std::chrono::microseconds min_interval{0};
};

// A receiver's next frame waits for its answer to the last one (about one frame a round trip in
// flight), except within the grace that opens when a frame goes after the link has been quiet:
// the parts of one change (a picture put in bands, a character and then its cursor) land within
// it and go as they come, while a burst that outlasts it follows the round trip. A frame that
// paints again where the grace's frames painted, or scrolls, ends it: that is a second change
// (a terminal's output), not the rest of the first.
inline constexpr std::chrono::milliseconds kFenceGrace{16};
// Only links whose round trip, measured as they are made, is at least this long are paced so:
// on a faster one a frame a round trip is more frames than any screen shows, and each answer
// would cost the server a wake-up per receiver and frame for nothing.
inline constexpr std::chrono::milliseconds kPacedRoundTrip{8};
// Until when frames may go past an unanswered fence, once a frame goes at `now`: `grace` is the
// current end, `unanswered` says whether an earlier frame still waits for its answer, the last
// answer was taken at `answered` (nothing: never), and `again` whether this frame paints again
// (above). The receiver's sender thread calls it for each frame it writes.
FrameTime next_fence_grace(FrameTime grace, bool unanswered, FrameTime now, std::optional<FrameTime> answered,
                           bool again);
// Areas painted, each on a mirror (by id).
using PaintedAreas = std::vector<std::pair<uint32_t, Rect>>;
// True when `frame` paints somewhere on a mirror that `painted` already covers.
bool paints_again(const PaintedAreas &painted, const PaintedAreas &frame);

// The frame state of one window: when its pending damage began and when it was last captured.
// The owner feeds it the times of its (injectable) clock.
class FrameGate {
public:
    explicit FrameGate(FrameTiming timing = {}) : timing_(timing) {}

    // Notes damage seen at `now`; the first damage after a capture opens a frame.
    void damaged(FrameTime now) {
        if (!opened_) opened_ = now;
    }
    // True while damage waits to be captured.
    bool pending() const { return opened_.has_value(); }
    // When the open frame is to be captured: `gather` after it opened, and not sooner than
    // `min_interval` after the previous capture. Only meaningful while pending().
    FrameTime due() const;
    // The pending damage was taken at `now`: the frame is closed.
    void captured(FrameTime now) {
        opened_.reset();
        last_ = now;
    }

private:
    FrameTiming timing_;
    std::optional<FrameTime> opened_;
    std::optional<FrameTime> last_;
};

// Above this many rectangles a frame is captured as its bounding box: each rectangle costs a
// request and a reply, which many small ones do not repay.
inline constexpr size_t kMaxCaptureRects = 24;
// Pixels a merge may add for nothing before two rectangles are kept apart: about what one
// more request costs.
inline constexpr int64_t kMergeSlack = 4096;

// Cuts a frame's damage into the rectangles to capture: clipped to the `width` x `height` window,
// rectangles that lie close merged into one, at most kMaxCaptureRects of them, none contained in
// another. Every damaged pixel inside the window is covered.
std::vector<Rect> plan_capture(const std::vector<Rect> &damage, int32_t width, int32_t height);

// Adds `more` to the damage still waiting to be sent to one receiver and replans it, so that a
// receiver that falls behind is sent the newest pixels of the union once.
void merge_damage(std::vector<Rect> &waiting, const std::vector<Rect> &more, int32_t width, int32_t height);

}  // namespace telvane::server
