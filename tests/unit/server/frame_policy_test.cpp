// Frame timing and the cutting of damage into capture rectangles.
#include "frame_policy.h"

#include <gtest/gtest.h>

using namespace telvane::server;
using namespace std::chrono_literals;

namespace {

const FrameTime t0 = FrameTime{} + 10s;

// Every pixel of `damage` inside the window lies in some rectangle of `plan`.
bool covers(const std::vector<Rect> &plan, const std::vector<Rect> &damage, int32_t w, int32_t h) {
    for (const Rect &d : damage)
        for (int32_t y = std::max(d.y, 0); y < std::min(d.y + d.height, h); ++y)
            for (int32_t x = std::max(d.x, 0); x < std::min(d.x + d.width, w); ++x)
                if (std::none_of(plan.begin(), plan.end(), [&](const Rect &r) {
                        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
                    }))
                    return false;
    return true;
}

}  // namespace

TEST(FrameGate, BurstWaitsForGatherAndCapturesAreSpacedByTheInterval) {
    FrameGate gate({.gather = 2ms, .min_interval = 10ms});
    EXPECT_FALSE(gate.pending());
    gate.damaged(t0);
    gate.damaged(t0 + 1ms);   // the rest of the burst does not push the frame back
    ASSERT_TRUE(gate.pending());
    EXPECT_EQ(gate.due(), t0 + 2ms);

    gate.captured(t0 + 2ms);
    EXPECT_FALSE(gate.pending());
    gate.damaged(t0 + 3ms);   // soon after a capture: waits out the interval
    EXPECT_EQ(gate.due(), t0 + 12ms);
    gate.captured(t0 + 12ms);
    gate.damaged(t0 + 40ms);  // after a quiet spell: only the gather delay
    EXPECT_EQ(gate.due(), t0 + 42ms);
}

// A frame after a quiet link opens a grace for the rest of its change; one that waited for an
// answer (taken just before it) does not, the frames within it leave it as it is, and one that
// paints again ends it: only where the same mirror was painted.
TEST(FenceGrace, OpensOnlyAfterAQuietLinkAndEndsWhereAFramePaintsAgain) {
    const PaintedAreas bands{{7, {0, 0, 800, 81}}, {7, {0, 81, 800, 81}}};
    EXPECT_FALSE(paints_again(bands, {{7, {0, 162, 800, 81}}, {9, {0, 0, 10, 10}}}));
    EXPECT_TRUE(paints_again(bands, {{7, {0, 240, 8, 16}}, {7, {799, 161, 1, 1}}}));
    const FrameTime old = t0 - 1s;
    EXPECT_EQ(next_fence_grace(old, false, t0, std::nullopt, false), t0 + kFenceGrace);
    EXPECT_EQ(next_fence_grace(old, false, t0, t0 - kFenceGrace, false), t0 + kFenceGrace);
    EXPECT_EQ(next_fence_grace(old, false, t0, t0 - kFenceGrace + 1ms, false), t0);
    EXPECT_EQ(next_fence_grace(t0 + 5ms, true, t0, t0 - 1s, false), t0 + 5ms);
    EXPECT_EQ(next_fence_grace(t0 + 5ms, true, t0, t0 - 1s, true), t0);
    EXPECT_EQ(next_fence_grace(old, false, t0, std::nullopt, true), t0);
}

TEST(PlanCapture, ClipsMergesNeighboursKeepsDistantRectsApartAndManyStayFew) {
    // Off-window parts go, empty ones vanish.
    EXPECT_EQ(plan_capture({{-10, -10, 20, 20}, {5, 5, 0, 3}}, 100, 100), (std::vector<Rect>{{0, 0, 10, 10}}));
    // A row of touching glyph cells becomes one rectangle.
    std::vector<Rect> glyphs;
    for (int i = 0; i < 20; ++i) glyphs.push_back({10 + 8 * i, 40, 8, 13});
    EXPECT_EQ(plan_capture(glyphs, 800, 600), (std::vector<Rect>{{10, 40, 160, 13}}));
    // Two far corners are not joined across the window.
    EXPECT_EQ(plan_capture({{0, 0, 16, 16}, {780, 580, 20, 20}}, 800, 600).size(), 2u);
    // One inside another is dropped.
    EXPECT_EQ(plan_capture({{0, 0, 50, 50}, {10, 10, 5, 5}}, 100, 100), (std::vector<Rect>{{0, 0, 50, 50}}));
    // Many scattered ones stay few and cover every damaged pixel.
    std::vector<Rect> dots;
    for (int i = 0; i < 40; ++i) dots.push_back({(i * 97) % 780, (i * 53) % 580, 3, 3});
    auto plan = plan_capture(dots, 800, 600);
    EXPECT_LE(plan.size(), kMaxCaptureRects);
    EXPECT_TRUE(covers(plan, dots, 800, 600));
    // So many that joining them would cost more than it saves: their bounding box.
    for (int i = 0; i < 200; ++i) dots.push_back({i % 800, (i * 7) % 600, 1, 1});
    plan = plan_capture(dots, 800, 600);
    EXPECT_EQ(plan.size(), 1u);
    EXPECT_TRUE(covers(plan, dots, 800, 600));
}
