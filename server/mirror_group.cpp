// One encoding of each frame for all receivers that show a window the same way.
#include "mirror_group.h"

#include <algorithm>
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
    const EncodingChoice how = choose_encoding(block);
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

MirrorGroup::MirrorGroup(ScreenLayout layout, std::shared_ptr<Picture> picture)
    : layout_(std::move(layout)), picture_(std::move(picture)) {}

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

void MirrorGroup::encode(std::vector<Rect> rects, bool everything) {
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
        }
        bounds = {0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)};
        if (everything) rects = {bounds};
        size_t total = 0;
        for (const Rect &r : rects) {
            const Rect c = intersection(r, bounds);
            if (c.empty()) continue;
            blocks.push_back({c, total});
            total += row_bytes(to, static_cast<uint32_t>(c.width)) * static_cast<size_t>(c.height);
        }
        if (scratch_.size() < total) scratch_.resize(total);
        for (const auto &[c, at] : blocks)
            convert_rows(pic.format,
                         pic.bytes.data() + static_cast<size_t>(c.y) * pic.stride +
                             static_cast<size_t>(c.x) * pic.format.bits_per_pixel / 8,
                         pic.stride, to, scratch_.data() + at, row_bytes(to, static_cast<uint32_t>(c.width)),
                         static_cast<uint32_t>(c.width), static_cast<uint32_t>(c.height));
    }
    auto frame = std::make_shared<EncodedFrame>();
    std::vector<Rect> area;
    bool completed = false;
    for (const auto &[c, at] : blocks) {
        area.push_back(c);
        const PixelBlock now{scratch_.data() + at, row_bytes(to, static_cast<uint32_t>(c.width)), c.width, c.height,
                             bpp, msb};
        // Before the whole copy is known, and for a single colour, there is nothing to compare.
        if (!known_ || choose_encoding(now).how == Encoding::Solid) {
            frame->add_block(c, now, layout_);
            remember(c, now);
            completed = completed || c == bounds;
            continue;
        }
        // A scroll: what the members have moves on the mirror itself.
        PixelBlock before = shown_block(c);
        if (auto dy = vertical_scroll(before, now)) {
            const int32_t d = *dy, h = c.height - std::abs(d);
            DrawOp op;
            op.kind = DrawOp::Kind::Copy;
            op.at = {c.x, c.y + std::max(-d, 0), c.width, h};
            op.from_x = c.x;
            op.from_y = c.y + std::max(d, 0);
            frame->ops.push_back(op);
            const size_t n = before.row_length();
            // Rows move towards the gap, so the copy walks away from it.
            if (d > 0)
                for (int32_t y = 0; y < h; ++y) std::memmove(shown_at(c.x, c.y + y), before.row(y + d), n);
            else
                for (int32_t y = h - 1; y >= 0; --y) std::memmove(shown_at(c.x, c.y + y - d), before.row(y), n);
        } else if (auto dx = horizontal_scroll(before, now)) {
            const int32_t d = *dx, w = c.width - std::abs(d);
            DrawOp op;
            op.kind = DrawOp::Kind::Copy;
            op.at = {c.x + std::max(-d, 0), c.y, w, c.height};
            op.from_x = c.x + std::max(d, 0);
            op.from_y = c.y;
            frame->ops.push_back(op);
            for (int32_t y = 0; y < c.height; ++y) {
                uint8_t *row = shown_at(c.x, c.y + y);
                std::memmove(row + static_cast<size_t>(std::max(-d, 0)) * bpp,
                             row + static_cast<size_t>(std::max(d, 0)) * bpp, static_cast<size_t>(w) * bpp);
            }
        }
        // Then only the rows that still differ.
        for (const Rect &strip : changed_rows(before, now)) {
            const Rect to_at{c.x + strip.x, c.y + strip.y, strip.width, strip.height};
            const PixelBlock part{now.row(strip.y) + static_cast<size_t>(strip.x) * bpp, now.stride, strip.width,
                                  strip.height, bpp, msb};
            frame->add_block(to_at, part, layout_);
            remember(to_at, part);
        }
    }
    if (completed) known_ = true;
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
    std::lock_guard<std::mutex> lock(members_mutex_);
    members_.erase(who);
}

MirrorGroup::CatchUp MirrorGroup::catch_up(uint64_t shows, const std::vector<Rect> &lost, const void *caller,
                                           bool may_encode) {
    CatchUp out;
    bool encoded = false;
    std::vector<std::pair<Rect, size_t>> alone;   // rectangles sent alone, with their pixels' place in `copy`
    std::vector<uint8_t> copy;
    size_t copy_stride_bpp = 0;
    {
        std::lock_guard<std::mutex> lock(work_);
        std::vector<Rect> rects;
        bool everything = false;
        if (may_encode) {
            std::lock_guard<std::mutex> p(pending_mutex_);
            rects = std::exchange(pending_, {});
            everything = std::exchange(everything_, false);
        }
        if (everything || !rects.empty()) {
            try {
                encode(std::move(rects), everything);
                encoded = true;
            } catch (const std::bad_alloc &) {
                // The copy may be half updated: everything goes whole next time, to every member.
                known_ = false;
                std::lock_guard<std::mutex> p(pending_mutex_);
                everything_ = true;
                throw;
            }
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
    for (const auto &[c, at] : alone) {
        const size_t row = static_cast<size_t>(c.width) * copy_stride_bpp;
        out.alone.add_block(c,
                            {copy.data() + at, row, c.width, c.height, static_cast<int>(copy_stride_bpp),
                             layout_.format.order == wire::ByteOrder::Msb},
                            layout_);
    }
    return out;
}

}  // namespace telvane::server
