// Receivers' groups: who shares one encoding, how a member catches up, and that every member's
// mirror, painted by what it was sent, ends as the picture: in step, behind, new or lost parts.
#include "mirror_group.h"

#include <gtest/gtest.h>
#include <cstring>
#include <random>

using namespace telvane::server;

TEST(MirrorGroup, GroupingAndCatchUpRules) {
    ScreenLayout a, b = a;
    b.bitmap_msb_first = true;
    EXPECT_TRUE(same_screen_layout(a, a));
    EXPECT_FALSE(same_screen_layout(a, b)) << "bitmaps (or pixels) kept otherwise: another group";
    const PictureAbility jpeg{telvane::wire::codec_bit(telvane::wire::PictureCodec::Jpeg), 1u << 20};
    MirrorGroup exact_only(a, std::make_shared<Picture>()), pictures(a, std::make_shared<Picture>(), GroupPictures{.ability = jpeg});
    EXPECT_TRUE(exact_only.takes(a, {}) && pictures.takes(a, jpeg));
    EXPECT_FALSE(exact_only.takes(a, jpeg) || pictures.takes(a, {}) || pictures.takes(b, jpeg))
        << "a link that decodes otherwise: another group";
    const std::tuple<uint64_t, uint64_t, uint64_t, CatchUpWay> rows[] = {   // shows, newest, oldest kept
        {kShowsNothing, 0, 1, CatchUpWay::InStep},   // nothing encoded yet
        {kShowsNothing, 3, 1, CatchUpWay::Replay},   // the first frame paints everything
        {kShowsNothing, 9, 2, CatchUpWay::Alone},
        {7, 7, 5, CatchUpWay::InStep},
        {4, 7, 5, CatchUpWay::Replay},
        {3, 7, 5, CatchUpWay::Alone},                // behind what is kept: leaves, then rejoins
    };
    for (const auto &[shows, newest, oldest_kept, way] : rows) EXPECT_EQ(catch_up_way(shows, newest, oldest_kept), way) << shows;
    EXPECT_EQ(frames_kept({500, 100, 100}, 250), 1u) << "the newest is kept whatever its size";
}

namespace {

// A receiver's mirror (32 bits, LSB first) as what it was sent paints it.
struct Screen {
    int32_t w, h;
    std::vector<uint32_t> px = std::vector<uint32_t>(size_t(w) * h, 0xdead);
    uint64_t shows = kShowsNothing;
    int pictures = 0;   // lossy pictures it was sent
    void apply(const EncodedFrame &f) {
        for (const DrawOp &op : f.ops) {
            if (op.kind == DrawOp::Kind::Picture) {   // as the receiver's service draws it
                ++pictures;
                PictureCoder codec;
                std::vector<uint32_t> out(size_t(op.at.width) * op.at.height);
                ASSERT_TRUE(codec.decode(op.codec, f.data.data() + op.offset, op.bytes, PixelFormat{},
                                         reinterpret_cast<uint8_t *>(out.data()), size_t(op.at.width) * 4, op.at.width,
                                         op.at.height));
                for (int32_t y = 0; y < op.at.height; ++y)
                    std::copy_n(&out[size_t(y) * op.at.width], op.at.width, &px[size_t(op.at.y + y) * w + op.at.x]);
                continue;
            }
            const std::vector<uint32_t> before = px;
            for (int32_t y = 0; y < op.at.height; ++y)
                for (int32_t x = 0; x < op.at.width; ++x) {
                    const uint8_t *row = f.data.data() + op.offset + size_t(y) * op.stride;
                    uint32_t v = op.foreground;
                    if (op.kind == DrawOp::Kind::Copy) v = before[size_t(op.from_y + y) * w + op.from_x + x];
                    if (op.kind == DrawOp::Kind::Bitmap) v = (row[x / 8] >> (x % 8)) & 1 ? op.foreground : op.background;
                    if (op.kind == DrawOp::Kind::Raw) std::memcpy(&v, row + 4 * x, 4);
                    px[size_t(op.at.y + y) * w + op.at.x + x] = v;
                }
        }
    }
    // What it was sent, for comparing members.
    std::vector<const EncodedFrame *> catch_up(MirrorGroup &g, std::vector<Rect> lost = {}, bool may_encode = true) {
        MirrorGroup::CatchUp up = g.catch_up(shows, lost, this, may_encode);
        std::vector<const EncodedFrame *> got;
        for (const auto &f : up.frames) apply(*f), got.push_back(f.get());
        apply(up.alone);
        shows = up.shows;
        return got;
    }
};

// Draws into the picture as the capture does, under its lock: noise, a scroll, text, a fill.
void draw(Picture &pic, int step) {
    std::lock_guard<std::mutex> lock(pic.mutex);
    std::mt19937 rng(static_cast<uint32_t>(step));
    auto *px = reinterpret_cast<uint32_t *>(pic.bytes.data());
    const uint32_t w = pic.width, h = pic.height;
    if (step % 4 == 0) for (uint32_t i = 0; i < w * h; ++i) px[i] = rng() & 0xffffff;
    if (step % 4 == 1) std::memmove(px, px + 3 * w, size_t{w} * (h - 3) * 4);
    if (step % 4 == 2) for (uint32_t i = 0; i < w * 10; ++i) px[i] = rng() % 3 ? 0xffffff : 0;
    if (step % 4 == 3) std::fill(px + w * 20, px + w * 30, 0x336699u);
}

}  // namespace

TEST(MirrorGroup, EveryMemberEndsWithThePictureWhetherInStepBehindNewOrWithLostParts) {
    auto pic = std::make_shared<Picture>();
    pic->resize(64, 48);
    MirrorGroup group(ScreenLayout{}, pic);
    const auto exact = [&](const Screen &s) { return std::memcmp(s.px.data(), pic->bytes.data(), pic->bytes.size()) == 0; };
    Screen a{64, 48}, b{64, 48}, slow{64, 48};
    // The slow one stays away for more frames than the group keeps.
    for (int step = 0; step < 14; ++step) {
        draw(*pic, step);
        group.damage({{0, 0, 64, 48}});
        EXPECT_EQ(a.catch_up(group), b.catch_up(group)) << "one encoding for both";
        ASSERT_TRUE(exact(a) && exact(b)) << "step " << step;
        if (step == 0 || step == 2) slow.catch_up(group);   // then two frames behind: it replays them
        EXPECT_TRUE(step != 2 || exact(slow));
    }
    slow.catch_up(group);
    EXPECT_TRUE(exact(slow)) << "caught up alone from the group's copy";
    EXPECT_EQ(slow.shows, a.shows) << "and back in step";

    // A member that lost part of its mirror gets it again; a new member, all of it.
    std::fill(b.px.begin(), b.px.begin() + 64 * 5, 0u);
    b.catch_up(group, {{0, 0, 64, 5}});
    Screen late{64, 48};
    late.catch_up(group);
    EXPECT_TRUE(exact(b) && exact(late));

    // A member served by another's thread takes the frames there are and leaves new damage waiting.
    draw(*pic, 0);
    group.damage({{0, 0, 64, 48}});
    const uint64_t before = a.shows;
    EXPECT_TRUE(a.catch_up(group, {}, false).empty());
    EXPECT_EQ(a.shows, before);
    a.catch_up(group);
    EXPECT_TRUE(exact(a));
}

namespace {

// Smooth gradients with grain over `r` of the picture, as a photograph has.
void photo(Picture &pic, const Rect &r, uint32_t seed) {
    std::lock_guard<std::mutex> lock(pic.mutex);
    std::mt19937 rng(seed);
    auto *px = reinterpret_cast<uint32_t *>(pic.bytes.data());
    for (int32_t y = r.y; y < r.y + r.height; ++y)
        for (int32_t x = r.x; x < r.x + r.width; ++x) {
            const uint32_t g = rng() % 12 + seed % 50;
            px[size_t(y) * pic.width + x] = ((x * 2 + g) << 16) | ((y * 2 + g) << 8) | ((x + y + g) & 0xff);
        }
}

int lossy_ops(const std::vector<const EncodedFrame *> &frames) {
    int n = 0;
    for (const EncodedFrame *f : frames)
        for (const DrawOp &op : f->ops) n += op.kind == DrawOp::Kind::Picture;
    return n;
}

}  // namespace

TEST(MirrorGroup, PhotosGoLossyOnceForAllTextStaysExactAndAllEndsExactAfterTheRefresh) {
    auto pic = std::make_shared<Picture>();
    pic->resize(128, 96);
    FrameTime now{};
    std::vector<std::string> log;
    GroupPictures pictures;
    // One picture holds 48 rows of the photo below: more goes in bands, and a band too small for a
    // picture goes exactly.
    pictures.ability = {telvane::wire::codec_bit(telvane::wire::PictureCodec::Jpeg), 96 * 48};
    pictures.trace = [&](const std::string &line) { log.push_back(line); };
    pictures.clock = [&] { return now; };
    MirrorGroup group(ScreenLayout{}, pic, pictures);
    const auto exact = [&](const Screen &s) { return std::memcmp(s.px.data(), pic->bytes.data(), pic->bytes.size()) == 0; };
    const auto close = [&](const Screen &s) {
        const auto *want = reinterpret_cast<const uint32_t *>(pic->bytes.data());
        int64_t err = 0;
        for (size_t i = 0; i < s.px.size(); ++i)
            for (int b : {0, 8, 16}) err += std::abs(int((s.px[i] >> b) & 255) - int((want[i] >> b) & 255));
        return err < int64_t(s.px.size()) * 3 * 4;   // under 4 levels a colour on average
    };
    Screen a{128, 96}, b{128, 96}, slow{128, 96};
    a.catch_up(group), b.catch_up(group), slow.catch_up(group);
    ASSERT_TRUE(exact(a));

    // A photo goes as one picture (and 16 exact rows) for both members; each shows it closely.
    photo(*pic, {0, 0, 96, 64}, 1);
    group.damage({{0, 0, 96, 64}});
    const auto got = a.catch_up(group);
    EXPECT_EQ(got, b.catch_up(group));
    EXPECT_EQ(lossy_ops(got), 1);
    EXPECT_TRUE(close(a) && !exact(a));
    ASSERT_GE(log.size(), 2u);
    EXPECT_NE(log[log.size() - 2].find("96x48+0+0 lossy (photographic)"), std::string::npos) << log[log.size() - 2];
    EXPECT_EQ(group.refresh_at(), now + kRefreshStill);
    // A band below it comes 100 ms later: it joins the first one's refresh.
    now += std::chrono::milliseconds(100);
    photo(*pic, {0, 48, 96, 48}, 3);
    group.damage({{0, 48, 96, 48}});
    EXPECT_EQ(lossy_ops(a.catch_up(group)), 1);
    b.catch_up(group);
    // Text drawn over part of it is exact.
    draw(*pic, 2);
    now += std::chrono::milliseconds(400);
    group.damage({{0, 0, 128, 10}});
    EXPECT_EQ(lossy_ops(a.catch_up(group)), 0);
    b.catch_up(group);
    EXPECT_NE(log.back().find("exact (one or two colours)"), std::string::npos) << log.back();

    // Still for 1 s: the next member to come sends the exact refresh, which arms nothing more.
    now += std::chrono::milliseconds(499);
    EXPECT_TRUE(a.catch_up(group).empty());
    now += std::chrono::milliseconds(1);
    EXPECT_EQ(lossy_ops(a.catch_up(group)), 0);
    EXPECT_TRUE(exact(a));
    EXPECT_FALSE(group.refresh_at());
    b.catch_up(group);
    EXPECT_TRUE(exact(b));

    // A member that stayed away past the frames kept is caught up alone: lossy where the group
    // shows lossily, then exact with everyone at the refresh.
    for (uint32_t seed = 2; seed < 14; ++seed) {
        photo(*pic, {0, 0, 96, 64}, seed);
        group.damage({{0, 0, 96, 64}});
        a.catch_up(group);
        now += std::chrono::milliseconds(40);
    }
    // The same photo painted again is not sent again.
    photo(*pic, {0, 0, 96, 64}, 13);
    group.damage({{0, 0, 96, 64}});
    EXPECT_EQ(lossy_ops(a.catch_up(group)), 0);
    slow.catch_up(group);
    EXPECT_TRUE(close(slow) && !exact(slow));
    EXPECT_GT(slow.pictures, 0) << "what the group shows lossily goes as pictures";
    EXPECT_EQ(slow.shows, a.shows);
    // It was far behind: the refresh waits longer, then comes to all.
    now += kRefreshStill;
    a.catch_up(group), slow.catch_up(group);
    EXPECT_FALSE(exact(a));
    now += kRefreshLongest - kRefreshStill;
    a.catch_up(group), slow.catch_up(group);
    EXPECT_TRUE(exact(a) && exact(slow));
}
