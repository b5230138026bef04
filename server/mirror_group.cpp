// One encoding of each frame for all receivers that show a window the same way.
#include "mirror_group.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace telvane::server {

namespace {

// How many frames' areas a group remembers for members that are behind.
constexpr size_t kKeptAreas = 64;
// The whole of a picture, as damage() takes it; clipped when encoded.
constexpr Rect kEverything{0, 0, 0x7fff, 0x7fff};

}  // namespace

bool same_screen_layout(const ScreenLayout &a, const ScreenLayout &b) {
    const PixelFormat &f = a.format, &g = b.format;
    return f.depth == g.depth && f.bits_per_pixel == g.bits_per_pixel && f.scanline_pad == g.scanline_pad &&
           f.order == g.order && f.visual_class == g.visual_class && f.red_mask == g.red_mask &&
           f.green_mask == g.green_mask && f.blue_mask == g.blue_mask && f.palette == g.palette &&
           a.bitmap_unit == b.bitmap_unit && a.bitmap_pad == b.bitmap_pad && a.bitmap_msb_first == b.bitmap_msb_first;
}

CatchUpWay catch_up_way(uint64_t shows, uint64_t newest, uint64_t oldest_kept) {
    if (shows == newest || newest == 0) return CatchUpWay::InStep;
    // The first frame paints all of the picture, so a new member can start with it.
    if (shows == kShowsNothing) return oldest_kept <= 1 ? CatchUpWay::Replay : CatchUpWay::Alone;
    return shows + 1 >= oldest_kept ? CatchUpWay::Replay : CatchUpWay::Alone;
}

size_t frames_kept(const std::vector<size_t> &sizes_newest_first, size_t budget) {
    size_t kept = 0, total = 0;
    for (size_t bytes : sizes_newest_first) {
        total += bytes;
        if (kept > 0 && (total > budget || kept >= kMaxKeptFrames)) break;
        ++kept;
    }
    return kept;
}

void EncodedFrame::add_block(const Rect &at, const PixelBlock &block, const ScreenLayout &layout) {
    add_block(at, block, layout, choose_encoding(block));
}

void EncodedFrame::add_picture(const Rect &at, wire::PictureCodec codec, const std::vector<uint8_t> &encoded) {
    DrawOp op;
    op.kind = DrawOp::Kind::Picture;
    op.at = at;
    op.codec = codec;
    op.offset = data.size();
    op.bytes = encoded.size();
    data.insert(data.end(), encoded.begin(), encoded.end());
    ops.push_back(op);
}

void EncodedFrame::add_block(const Rect &at, const PixelBlock &block, const ScreenLayout &layout,
                             const EncodingChoice &how) {
    DrawOp op;
    op.at = at;
    op.foreground = how.foreground;
    op.background = how.background;
    if (how.how == Encoding::Solid) {
        op.kind = DrawOp::Kind::Fill;
        ops.push_back(op);
        return;
    }
    // Bytes of a bitmap can be filled one by one where the unit is a byte or the byte order
    // agrees with the bit order; elsewhere two colours go raw.
    const bool msb_bytes = layout.format.order == wire::ByteOrder::Msb;
    if (how.how == Encoding::TwoColour && (layout.bitmap_unit == 8 || msb_bytes == layout.bitmap_msb_first)) {
        const std::vector<uint8_t> bits = bitmap_rows(block, how.foreground, layout.bitmap_pad, layout.bitmap_msb_first);
        op.kind = DrawOp::Kind::Bitmap;
        op.offset = data.size();
        op.stride = block.height > 0 ? bits.size() / static_cast<size_t>(block.height) : 0;
        data.insert(data.end(), bits.begin(), bits.end());
        ops.push_back(op);
        return;
    }
    op.kind = DrawOp::Kind::Raw;
    op.offset = data.size();
    op.stride = row_bytes(layout.format, static_cast<uint32_t>(block.width));
    data.resize(data.size() + op.stride * static_cast<size_t>(block.height));
    for (int32_t y = 0; y < block.height; ++y)
        std::memcpy(data.data() + op.offset + static_cast<size_t>(y) * op.stride, block.row(y), block.row_length());
    ops.push_back(op);
}

MirrorGroup::MirrorGroup(ScreenLayout layout, std::shared_ptr<Picture> picture, GroupPictures pictures)
    : layout_(std::move(layout)), picture_(std::move(picture)), pictures_(std::move(pictures)) {}

bool MirrorGroup::takes(const ScreenLayout &layout, const PictureAbility &ability) const {
    return same_screen_layout(layout_, layout) && pictures_.ability == ability;
}

std::optional<FrameTime> MirrorGroup::refresh_at() const {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    return refresh_at_;
}

void MirrorGroup::trace(const std::string &line) const {
    if (pictures_.trace) pictures_.trace(line);
}

uint64_t MirrorGroup::most_behind() {
    std::lock_guard<std::mutex> lock(behind_mutex_);
    uint64_t most = 0;
    for (const auto &[who, frames] : behind_) most = std::max(most, frames);
    return most;
}

namespace {

std::string describe(const char *what, const Rect &r, const char *reason, size_t bytes = 0) {
    char line[160];
    std::snprintf(line, sizeof line, "picture %dx%d+%d+%d %s (%s)", r.width, r.height, r.x, r.y, what, reason);
    std::string out = line;
    if (bytes) out += ": " + std::to_string(bytes) + " bytes";
    return out;
}

}  // namespace

void MirrorGroup::draw(EncodedFrame &frame, const Rect &at, const PixelBlock &block, bool exact_only, FrameTime now) {
    const EncodingChoice how = choose_encoding(block);
    const int64_t most = pictures_.ability.max_pixels;
    if (!exact_only && pictures_.ability.codecs != 0 && int64_t{at.width} * at.height > most &&
        most / at.width >= kMinPictureSide) {
        // More than one picture the link decodes (a large screen's window): bands of whole rows
        // that fit, each judged on its own.
        const int32_t rows = static_cast<int32_t>(most / at.width);
        for (int32_t y = 0; y < at.height; y += rows) {
            const int32_t h = std::min(rows, at.height - y);
            draw(frame, {at.x, at.y + y, at.width, h}, {block.row(y), block.stride, at.width, h, block.bytes_per_pixel, block.msb_first},
                 false, now);
        }
        return;
    }
    if (!exact_only && pictures_.ability.codecs != 0) {
        const PictureSettings &ps = pictures_.settings;
        PictureVerdict v = codec_takes(ps.codec, layout_.format) ? judge_area(block, how, pictures_.ability, ps)
                                                                 : PictureVerdict{false, "pixel layout without a codec"};
        if (v.lossy) {
            const uint64_t source = pixel_digest(block);
            if (inexact_.shows(at, source)) {
                // The client painted the same picture again: members show it already, and its
                // exact refresh keeps its time.
                trace(describe("lossy", at, "the same picture again, not sent"));
                return;
            }
            // The copy gets what the members' services will draw: the picture decoded here.
            const auto bytes = codec_.encode(ps.codec, block, layout_.format, ps.quality);
            if (bytes && codec_.decode(ps.codec, bytes->data(), bytes->size(), layout_.format, shown_at(at.x, at.y),
                                       stride_, at.width, at.height)) {
                frame.add_picture(at, ps.codec, *bytes);
                inexact_.lossy(at, now, source);
                trace(describe("lossy", at, v.reason, bytes->size()));
                return;
            }
            v = {false, "the codec failed"};
        }
        trace(describe("exact", at, v.reason));
    }
    frame.add_block(at, block, layout_, how);
    remember(at, block);
    inexact_.exact(at);
}

void MirrorGroup::draw_refresh(EncodedFrame &frame, const Rect &at, const PixelBlock &block, FrameTime now) {
    // A photograph's exact pixels cost far less as a lossless picture than as rows; anything
    // else the judge would not have sent lossily in the first place goes as rows.
    const std::optional<wire::PictureCodec> codec = exact_codec(pictures_.ability);
    if (codec && codec_takes(*codec, layout_.format) &&
        judge_area(block, choose_encoding(block), pictures_.ability, pictures_.settings).lossy) {
        const auto bytes = codec_.encode_exact(*codec, block, layout_.format);
        // Larger than the pixels' 24-bit size (grain too fine to predict), it is of no use.
        if (bytes && bytes->size() < 3 * static_cast<size_t>(at.width) * static_cast<size_t>(at.height)) {
            frame.add_picture(at, *codec, *bytes);
            remember(at, block);
            inexact_.exact(at);
            trace(describe("exact", at, "refresh, lossless", bytes->size()));
            return;
        }
    }
    trace(describe("exact", at, "refresh"));
    draw(frame, at, block, true, now);
}

void MirrorGroup::damage(const std::vector<Rect> &rects) {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    if (rects.empty()) everything_ = true;
    else merge_damage(pending_, rects, kEverything.width, kEverything.height);
}

uint8_t *MirrorGroup::shown_at(int32_t x, int32_t y) {
    return shown_.data() + static_cast<size_t>(y) * stride_ + static_cast<size_t>(x) * (layout_.format.bits_per_pixel / 8);
}

PixelBlock MirrorGroup::shown_block(const Rect &r) {
    return {shown_at(r.x, r.y), stride_, r.width, r.height, layout_.format.bits_per_pixel / 8,
            layout_.format.order == wire::ByteOrder::Msb};
}

void MirrorGroup::remember(const Rect &at, const PixelBlock &block) {
    for (int32_t y = 0; y < at.height; ++y) std::memcpy(shown_at(at.x, at.y + y), block.row(y), block.row_length());
}

std::vector<std::pair<Rect, size_t>> MirrorGroup::convert(const std::vector<Rect> &rects, std::vector<uint8_t> &into) {
    const PixelFormat &to = layout_.format;
    const Picture &pic = *picture_;
    const Rect bounds{0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)};
    std::vector<std::pair<Rect, size_t>> blocks;
    size_t total = 0;
    for (const Rect &r : rects) {
        const Rect c = intersection(r, bounds);
        if (c.empty()) continue;
        blocks.push_back({c, total});
        total += row_bytes(to, static_cast<uint32_t>(c.width)) * static_cast<size_t>(c.height);
    }
    if (into.size() < total) into.resize(total);
    for (const auto &[c, at] : blocks)
        convert_rows(pic.format,
                     pic.bytes.data() + static_cast<size_t>(c.y) * pic.stride +
                         static_cast<size_t>(c.x) * pic.format.bits_per_pixel / 8,
                     pic.stride, to, into.data() + at, row_bytes(to, static_cast<uint32_t>(c.width)),
                     static_cast<uint32_t>(c.width), static_cast<uint32_t>(c.height));
    return blocks;
}

void MirrorGroup::encode(std::vector<Rect> rects, bool everything, FrameTime now) {
    const PixelFormat &to = layout_.format;
    const int bpp = to.bits_per_pixel / 8;
    const bool msb = to.order == wire::ByteOrder::Msb;
    Rect bounds;
    std::vector<std::pair<Rect, size_t>> blocks;   // each rectangle and where its pixels are in scratch_
    {
        // Only the conversion holds the picture, which the capture waits for.
        std::lock_guard<std::mutex> lock(picture_->mutex);
        const Picture &pic = *picture_;
        if (!same_layout(pic.format, to) && !can_convert(pic.format, to)) return;
        if (width_ != pic.width || height_ != pic.height) {
            std::vector<uint8_t> fresh(row_bytes(to, pic.width) * pic.height, 0);
            shown_.swap(fresh);
            width_ = pic.width;
            height_ = pic.height;
            stride_ = row_bytes(to, pic.width);
            known_ = false;
            everything = true;
            inexact_.clear();
        }
        bounds = {0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)};
        if (everything) rects = {bounds};
        blocks = convert(rects, scratch_);
    }
    auto frame = std::make_shared<EncodedFrame>();
    std::vector<Rect> area;
    bool completed = false;
    for (const auto &[c, at] : blocks) {
        area.push_back(c);
        const PixelBlock now_px{scratch_.data() + at, row_bytes(to, static_cast<uint32_t>(c.width)), c.width,
                                c.height, bpp, msb};
        // Before the whole copy is known, and for a single colour, there is nothing to compare.
        if (!known_ || choose_encoding(now_px).how == Encoding::Solid) {
            draw(*frame, c, now_px, false, now);
            completed = completed || c == bounds;
            continue;
        }
        // A scroll: what the members have moves on the mirror itself.
        PixelBlock before = shown_block(c);
        if (auto dy = vertical_scroll(before, now_px)) {
            const int32_t d = *dy, h = c.height - std::abs(d);
            DrawOp op;
            op.kind = DrawOp::Kind::Copy;
            op.at = {c.x, c.y + std::max(-d, 0), c.width, h};
            op.from_x = c.x;
            op.from_y = c.y + std::max(d, 0);
            frame->ops.push_back(op);
            inexact_.copied({op.from_x, op.from_y, op.at.width, op.at.height}, op.at);
            const size_t n = before.row_length();
            // Rows move towards the gap, so the copy walks away from it.
            if (d > 0)
                for (int32_t y = 0; y < h; ++y) std::memmove(shown_at(c.x, c.y + y), before.row(y + d), n);
            else
                for (int32_t y = h - 1; y >= 0; --y) std::memmove(shown_at(c.x, c.y + y - d), before.row(y), n);
        } else if (auto dx = horizontal_scroll(before, now_px)) {
            const int32_t d = *dx, w = c.width - std::abs(d);
            DrawOp op;
            op.kind = DrawOp::Kind::Copy;
            op.at = {c.x + std::max(-d, 0), c.y, w, c.height};
            op.from_x = c.x + std::max(d, 0);
            op.from_y = c.y;
            frame->ops.push_back(op);
            inexact_.copied({op.from_x, op.from_y, op.at.width, op.at.height}, op.at);
            for (int32_t y = 0; y < c.height; ++y) {
                uint8_t *row = shown_at(c.x, c.y + y);
                std::memmove(row + static_cast<size_t>(std::max(-d, 0)) * bpp,
                             row + static_cast<size_t>(std::max(d, 0)) * bpp, static_cast<size_t>(w) * bpp);
            }
        }
        // Then only the rows that still differ.
        for (const Rect &strip : changed_rows(before, now_px)) {
            const Rect to_at{c.x + strip.x, c.y + strip.y, strip.width, strip.height};
            const PixelBlock part{now_px.row(strip.y) + static_cast<size_t>(strip.x) * bpp, now_px.stride, strip.width,
                                  strip.height, bpp, msb};
            draw(*frame, to_at, part, false, now);
        }
    }
    if (completed) known_ = true;
    // What was shown lossily and has been still long enough goes again, exactly; being exact,
    // it leaves nothing to refresh after it.
    const std::chrono::milliseconds delay = refresh_delay(most_behind());
    if (const auto first = inexact_.next_due(delay); first && *first <= now) {
        const Region due = inexact_.due(now + kRefreshJoin, delay);
        std::vector<std::pair<Rect, size_t>> refresh;
        {
            std::lock_guard<std::mutex> lock(picture_->mutex);
            if (width_ == picture_->width && height_ == picture_->height) refresh = convert(due.rects(), refresh_scratch_);
        }
        for (const auto &[c, at] : refresh) {
            area.push_back(c);
            draw_refresh(*frame, c,
                         {refresh_scratch_.data() + at, row_bytes(to, static_cast<uint32_t>(c.width)), c.width, c.height, bpp, msb},
                         now);
        }
    }
    ++newest_;
    frames_.push_back(std::move(frame));
    areas_.push_back(std::move(area));
    if (areas_.size() > kKeptAreas) areas_.pop_front();
    std::vector<size_t> sizes;
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) sizes.push_back((*it)->data.size() + 64 * (*it)->ops.size());
    // Members one or two frames behind replay; a picture's worth of requests is kept for them.
    const size_t keep = frames_kept(sizes, std::max<size_t>(2 * shown_.size(), 1u << 20));
    while (frames_.size() > keep) frames_.pop_front();
}

void MirrorGroup::join(const void *who, std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(members_mutex_);
    members_[who] = std::move(wake);
}

void MirrorGroup::leave(const void *who) {
    {
        std::lock_guard<std::mutex> lock(members_mutex_);
        members_.erase(who);
    }
    std::lock_guard<std::mutex> lock(behind_mutex_);
    behind_.erase(who);
}

MirrorGroup::CatchUp MirrorGroup::catch_up(uint64_t shows, const std::vector<Rect> &lost, const void *caller,
                                           bool may_encode) {
    CatchUp out;
    bool encoded = false;
    std::vector<std::pair<Rect, size_t>> alone;   // rectangles sent alone, with their pixels' place in `copy`
    std::vector<uint8_t> copy;
    size_t copy_stride_bpp = 0;
    Region inexact;   // of what goes alone: shown lossily by the group, and so by this member
    const FrameTime now = pictures_.clock();
    {
        std::lock_guard<std::mutex> lock(work_);
        {
            std::lock_guard<std::mutex> m(behind_mutex_);
            // A member in step comes for the frame another just made: one behind is on time.
            behind_[caller] = shows == kShowsNothing || shows + 1 >= newest_ ? 0 : newest_ - shows - 1;
        }
        std::vector<Rect> rects;
        bool everything = false, refresh = false;
        if (may_encode) {
            std::lock_guard<std::mutex> p(pending_mutex_);
            rects = std::exchange(pending_, {});
            everything = std::exchange(everything_, false);
        }
        if (may_encode && !inexact_.empty()) {
            const std::optional<FrameTime> due = inexact_.next_due(refresh_delay(most_behind()));
            refresh = due && *due <= now;
        }
        if (everything || !rects.empty() || refresh) {
            try {
                encode(std::move(rects), everything, now);
                encoded = true;
            } catch (const std::bad_alloc &) {
                // The copy may be half updated: everything goes whole next time, to every member.
                known_ = false;
                std::lock_guard<std::mutex> p(pending_mutex_);
                everything_ = true;
                throw;
            }
        }
        {
            // Whoever waits for the refresh learns its time; it moves as members fall behind.
            const std::optional<FrameTime> at = inexact_.next_due(refresh_delay(most_behind()));
            std::lock_guard<std::mutex> p(pending_mutex_);
            refresh_at_ = at;
        }
        const uint64_t oldest_kept = newest_ - frames_.size() + 1;
        const Rect bounds{0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)};
        std::vector<Rect> missed;
        switch (catch_up_way(shows, newest_, oldest_kept)) {
        case CatchUpWay::InStep: break;
        case CatchUpWay::Replay:
            for (uint64_t f = shows == kShowsNothing ? 1 : shows + 1; f <= newest_; ++f)
                out.frames.push_back(frames_[static_cast<size_t>(f - oldest_kept)]);
            break;
        case CatchUpWay::Alone: {
            // What the frames since changed, when they are still remembered; else all of it.
            const uint64_t oldest_area = newest_ - areas_.size() + 1;
            if (shows == kShowsNothing || shows + 1 < oldest_area) {
                missed = {bounds};
                break;
            }
            for (uint64_t f = shows + 1; f <= newest_; ++f)
                merge_damage(missed, areas_[static_cast<size_t>(f - oldest_area)], bounds.width, bounds.height);
            break;
        }
        }
        out.shows = newest_ == 0 ? shows : newest_;
        if (!lost.empty()) merge_damage(missed, lost, bounds.width, bounds.height);
        copy_stride_bpp = static_cast<size_t>(layout_.format.bits_per_pixel / 8);
        size_t total = 0;
        for (const Rect &r : missed) {
            const Rect c = intersection(r, bounds);
            if (c.empty()) continue;
            alone.push_back({c, total});
            total += static_cast<size_t>(c.width) * copy_stride_bpp * static_cast<size_t>(c.height);
        }
        copy.resize(total);
        if (!alone.empty() && !inexact_.empty()) inexact = inexact_.all();
        for (const auto &[c, at] : alone) {
            const PixelBlock from = shown_block(c);
            for (int32_t y = 0; y < c.height; ++y)
                std::memcpy(copy.data() + at + static_cast<size_t>(y) * from.row_length(), from.row(y), from.row_length());
        }
    }
    if (encoded) {
        std::lock_guard<std::mutex> lock(members_mutex_);
        for (const auto &[who, wake] : members_)
            if (who != caller) wake();
    }
    // Parts the group shows lossily go as pictures of what it shows, with the group's refresh
    // still due for them; the rest exactly.
    PictureCoder codec;
    const bool msb = layout_.format.order == wire::ByteOrder::Msb;
    for (const auto &piece : alone) {
        const Rect &c = piece.first;   // named, not bound: a lambda below captures them
        const size_t at = piece.second;
        const size_t row = static_cast<size_t>(c.width) * copy_stride_bpp;
        auto part = [&](const Rect &r) {
            return PixelBlock{copy.data() + at + static_cast<size_t>(r.y - c.y) * row +
                                  static_cast<size_t>(r.x - c.x) * copy_stride_bpp,
                              row, r.width, r.height, static_cast<int>(copy_stride_bpp), msb};
        };
        Region lossy = inexact;
        lossy.intersect(c);
        Region exact(c);
        exact.subtract(lossy);
        for (const Rect &r : lossy.rects()) {
            const PixelBlock block = part(r);
            const PictureSettings &ps = pictures_.settings;
            std::optional<std::vector<uint8_t>> bytes;
            if (judge_area(block, choose_encoding(block), pictures_.ability, ps).lossy)
                bytes = codec.encode(ps.codec, block, layout_.format, ps.quality);
            if (bytes) out.alone.add_picture(r, ps.codec, *bytes);
            else out.alone.add_block(r, block, layout_);
        }
        for (const Rect &r : exact.rects()) out.alone.add_block(r, part(r), layout_);
    }
    return out;
}

}  // namespace telvane::server
