#pragma once
// Which changed areas of a mirror travel as lossy pictures, and when what was shown lossily is
// sent again exactly. Text, window decorations and other areas of few colours and sharp edges
// stay on the exact road (fills, copies, bitmaps, rows); photographic areas, where exact pixels
// cost many times the bytes of a picture nobody can tell apart, go lossy. Whatever was shown
// lossily and then stayed still for kRefreshStill is drawn again exactly, so every mirror ends
// pixel-exact. Pure: the clock is the caller's.

#include "encoding.h"
#include "frame_policy.h"
#include "region.h"

#include "picture_wire.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace telvane::server {

// The picture quality when --picture-quality is not given (1 worst, 100 best), and its bounds.
// At 82 a photograph comes at least as close as VNC's JPEG shows it (about 35.5 dB), in fewer
// bytes (bench/run-pictures.sh).
inline constexpr int kDefaultPictureQuality = 82;
inline constexpr int kMinPictureQuality = 1, kMaxPictureQuality = 100;
// Areas smaller than this many pixels, or narrower or lower than kMinPictureSide, stay exact: a
// picture's headers and blocks cost more than they save there.
inline constexpr int64_t kMinPicturePixels = 4096;
inline constexpr int32_t kMinPictureSide = 16;
// The judge looks at up to this many pixels spread over an area.
inline constexpr int kJudgeSamples = 256;
// Fewer distinct colours among the samples than this: drawn, not photographed, and exact.
inline constexpr int kPhotoColours = 64;
// More than this share (in percent) of sampled pixels equal to their right neighbour: flat
// areas with sharp edges (a user interface, a document), exact.
inline constexpr int kFlatPercent = 50;

// What a receiver's link decodes: the codecs' mask (wire::codec_bit) and the most pixels one
// picture may have. Receivers that differ here are in different groups. The default decodes
// nothing: the plain road and older services.
struct PictureAbility {
    uint32_t codecs = 0;
    uint32_t max_pixels = 0;
    friend bool operator==(const PictureAbility &, const PictureAbility &) = default;
};

// How a group sends pictures: the codec it prefers, the quality, and where it logs its choices.
struct PictureSettings {
    wire::PictureCodec codec = wire::PictureCodec::Jpeg;
    int quality = kDefaultPictureQuality;
};

// One choice for one area, with its reason for the trace.
struct PictureVerdict {
    bool lossy = false;
    const char *reason = "";
};

// Judges an area whose new pixels are `block`, which choose_encoding found to go as `exact`,
// for a link that can decode `ability` with the group's `settings`. A refresh never comes here:
// it is exact by definition. Called by the group for each area it is about to draw.
PictureVerdict judge_area(const PixelBlock &block, const EncodingChoice &exact, const PictureAbility &ability,
                          const PictureSettings &settings);

// Parses --picture-quality's value: a whole number from kMinPictureQuality to kMaxPictureQuality.
std::optional<int> parse_picture_quality(const std::string &text);

// How long an area shown lossily must be still before it is sent again exactly, on a link
// that keeps up.
inline constexpr std::chrono::milliseconds kRefreshStill{1000};
// Parts that fall due this soon after the first one due join its refresh: one frame, where
// several would each wait for the link's answer to the one before (a picture drawn in bands).
inline constexpr std::chrono::milliseconds kRefreshJoin{250};
// The longest that wait grows to when the link is behind.
inline constexpr std::chrono::milliseconds kRefreshLongest{4000};
// The wait for a link whose slowest member was last `frames_behind` frames behind its group:
// kRefreshStill, and a quarter of it more for each frame behind, up to kRefreshLongest. A link
// that cannot keep up with pictures has no room for their exact copies either.
std::chrono::milliseconds refresh_delay(uint64_t frames_behind);

// A digest of `block`'s pixels: equal pixels give equal digests, so a client that paints the
// same picture again is told from one that paints a new one. Called by the group for each area
// it would send lossily.
uint64_t pixel_digest(const PixelBlock &block);

// The area a mirror shows inexactly, with when each part of it was last drawn lossily. A lossy
// picture adds its area (and makes it young again); an exact draw takes its area away. Parts
// older than the delay are due for an exact refresh.
class InexactArea {
public:
    // `at` was drawn lossily at `now`, from pixels whose digest is `source`.
    void lossy(const Rect &at, FrameTime now, uint64_t source = 0);
    // True while `at` still shows, untouched since, the lossy picture made of pixels with digest
    // `source`: sending those pixels again would change nothing members see, and would only put
    // their exact refresh off.
    bool shows(const Rect &at, uint64_t source) const;
    // `at` now shows exact pixels (an exact draw, a refresh, or a whole new copy).
    void exact(const Rect &at);
    // A copy on the mirror moved what `from` showed to `to` (same size): the inexact part of
    // `from` goes along, and `to` is otherwise exact.
    void copied(const Rect &from, const Rect &to);
    // Everything is exact, or nothing is shown (a new or resized mirror).
    void clear() {
        parts_.clear();
        sources_.clear();
    }

    bool empty() const { return parts_.empty(); }
    // All of it, whatever its age.
    Region all() const;
    // What has been still for `delay` at `now`: due for its exact refresh.
    Region due(FrameTime now, std::chrono::milliseconds delay) const;
    // When the next part becomes due with `delay`; nothing when all is exact.
    std::optional<FrameTime> next_due(std::chrono::milliseconds delay) const;

    // Parts kept apart by age before the two oldest are joined (under the younger age, which
    // only delays a refresh).
    static constexpr size_t kMaxParts = 16;

private:
    struct Part {
        Region area;
        FrameTime since;
    };
    void drop_empty();
    // Drops the sources of pictures that `at` overlaps: they show something else now.
    void forget_sources(const Rect &at);
    std::vector<Part> parts_;   // oldest first
    std::vector<std::pair<Rect, uint64_t>> sources_;   // each lossy picture still shown whole, newest last
};

}  // namespace telvane::server
