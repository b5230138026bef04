// Receivers' groups: who shares one encoding, how a member that is behind, new or lost parts
// catches up, and that every member's mirror, painted by what it was sent, ends as the picture.
#include "mirror_group.h"

#include <gtest/gtest.h>
#include <cstring>
#include <random>

using namespace telvane::server;

TEST(MirrorGroup, GroupingAndCatchUpRules) {
    ScreenLayout a, b = a;
    EXPECT_TRUE(same_screen_layout(a, b));
    b.format.depth = 16;
    b.format.bits_per_pixel = 16;
    EXPECT_FALSE(same_screen_layout(a, b)) << "another pixel format is another group";
    b = a;
    b.bitmap_msb_first = true;
    EXPECT_FALSE(same_screen_layout(a, b)) << "bitmaps differ too";

    struct Row {
        uint64_t shows, newest, oldest_kept;
        CatchUpWay way;
    } rows[] = {
        {kShowsNothing, 0, 1, CatchUpWay::InStep},   // nothing encoded yet
        {kShowsNothing, 3, 1, CatchUpWay::Replay},   // the first frame paints everything
        {kShowsNothing, 9, 2, CatchUpWay::Alone},
        {7, 7, 5, CatchUpWay::InStep},
        {6, 7, 7, CatchUpWay::Replay},
        {4, 7, 5, CatchUpWay::Replay},
        {3, 7, 5, CatchUpWay::Alone},                // behind what is kept: leaves, then rejoins
    };
    for (const Row &r : rows)
        EXPECT_EQ(catch_up_way(r.shows, r.newest, r.oldest_kept), r.way) << r.shows << " of " << r.newest;

    EXPECT_EQ(frames_kept({100, 100, 100}, 250), 2u);
    EXPECT_EQ(frames_kept({500, 10}, 250), 1u) << "the newest is kept whatever its size";
    EXPECT_EQ(frames_kept(std::vector<size_t>(20, 1), 1000), kMaxKeptFrames);
}

namespace {

// A receiver's mirror as the requests it was sent paint it (32 bits, LSB first).
struct Screen {
    int32_t w, h;
    std::vector<uint32_t> px;
    void apply(const EncodedFrame &f) {
        for (const DrawOp &op : f.ops) {
            const std::vector<uint32_t> before = px;
            for (int32_t y = 0; y < op.at.height; ++y)
                for (int32_t x = 0; x < op.at.width; ++x) {
                    uint32_t v = op.foreground;
                    const uint8_t *row = f.data.data() + op.offset + size_t(y) * op.stride;
                    if (op.kind == DrawOp::Kind::Copy)
                        v = before[size_t(op.from_y + y) * w + op.from_x + x];
                    else if (op.kind == DrawOp::Kind::Bitmap)
                        v = (row[x / 8] >> (x % 8)) & 1 ? op.foreground : op.background;
                    else if (op.kind == DrawOp::Kind::Raw)
                        std::memcpy(&v, row + 4 * x, 4);
                    px[size_t(op.at.y + y) * w + op.at.x + x] = v;
                }
        }
    }
    void catch_up(MirrorGroup &g, uint64_t &shows, std::vector<Rect> lost = {},
                  std::vector<const EncodedFrame *> *got = nullptr) {
        MirrorGroup::CatchUp up = g.catch_up(shows, lost);
        for (const auto &f : up.frames) {
            apply(*f);
            if (got) got->push_back(f.get());
        }
        apply(up.alone);
        shows = up.shows;
    }
};

// Draws into the picture the way the capture does, under its lock.
void draw(Picture &pic, int step) {
    std::lock_guard<std::mutex> lock(pic.mutex);
    std::mt19937 rng(static_cast<uint32_t>(step));
    auto *px = reinterpret_cast<uint32_t *>(pic.bytes.data());
    const uint32_t w = pic.width, h = pic.height;
    switch (step % 4) {
    case 0: for (uint32_t i = 0; i < w * h; ++i) px[i] = rng() & 0xffffff; break;             // noise
    case 1: std::memmove(px, px + 3 * w, size_t{w} * (h - 3) * 4); break;                     // a scroll
    case 2: for (uint32_t i = 0; i < w * 10; ++i) px[i] = rng() % 3 ? 0xffffff : 0; break;    // text
    case 3: std::fill(px + w * 20, px + w * 30, 0x336699u); break;                             // a fill
    }
}

}  // namespace

TEST(MirrorGroup, EveryMemberEndsWithThePictureWhetherInStepBehindNewOrWithLostParts) {
    auto pic = std::make_shared<Picture>();
    pic->resize(64, 48);
    MirrorGroup group(ScreenLayout{}, pic);
    const auto exact = [&](const Screen &s) { return std::memcmp(s.px.data(), pic->bytes.data(), pic->bytes.size()) == 0; };
    Screen a{64, 48, std::vector<uint32_t>(64 * 48, 0xdead)}, b = a, slow = a;
    uint64_t at_a = kShowsNothing, at_b = kShowsNothing, at_slow = kShowsNothing;
    draw(*pic, 0);
    group.damage({});
    a.catch_up(group, at_a);
    b.catch_up(group, at_b);
    slow.catch_up(group, at_slow);
    EXPECT_TRUE(exact(a) && exact(b) && exact(slow));

    // The slow one stays away for more frames than the group keeps.
    for (int step = 1; step < 14; ++step) {
        draw(*pic, step);
        group.damage({{0, 0, 64, 48}});
        std::vector<const EncodedFrame *> got_a, got_b;
        a.catch_up(group, at_a, {}, &got_a);
        b.catch_up(group, at_b, {}, &got_b);
        ASSERT_TRUE(exact(a) && exact(b)) << "step " << step;
        EXPECT_EQ(got_a, got_b) << "one encoding for both";
        if (step == 2) {   // two frames behind: it replays them
            slow.catch_up(group, at_slow);
            EXPECT_TRUE(exact(slow));
        }
    }
    slow.catch_up(group, at_slow);
    EXPECT_TRUE(exact(slow)) << "caught up alone from the group's copy";
    EXPECT_EQ(at_slow, at_a) << "and back in step";

    // A member that lost part of its mirror gets it again; a new member, all of it; a resize, everyone.
    std::fill(b.px.begin(), b.px.begin() + 64 * 5, 0u);
    b.catch_up(group, at_b, {{0, 0, 64, 5}});
    Screen late{64, 48, std::vector<uint32_t>(64 * 48, 0)};
    uint64_t at_late = kShowsNothing;
    late.catch_up(group, at_late);
    EXPECT_TRUE(exact(b) && exact(late));
    {
        std::lock_guard<std::mutex> lock(pic->mutex);
        pic->resize(40, 30);
    }
    draw(*pic, 0);
    group.damage({});
    for (Screen *s : {&a, &late}) *s = Screen{40, 30, std::vector<uint32_t>(40 * 30, 1)};
    a.catch_up(group, at_a);
    late.catch_up(group, at_late);
    EXPECT_TRUE(exact(a) && exact(late));
}
