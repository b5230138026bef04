// Where mirrors go on a receiver's screen, their stacking and which new windows go with a window;
// and client windows and an application's top levels, looked for through window managers' frames.
#include "client_windows.h"
#include "mirror_layout.h"

#include <gtest/gtest.h>

using namespace telvane::server;

TEST(MirrorLayout, MirrorsAreMovedInWholeKeepingTheirShareLayout) {
    const std::tuple<const char *, Rect, std::optional<Point>, Decoration, Point> rows[] = {
        {"xcalc at +700+450 on 640x480", {700, 450, 226, 300}, {}, {}, {414, 180}},
        {"room kept for the frame", {500, 400, 100, 50}, {}, kManagedDecoration, {500, 398}},
        {"off the top left", {-30, -10, 100, 100}, {}, {}, {0, 0}},
        {"larger than the screen", {50, 60, 900, 500}, {}, {}, {0, 0}},
        {"a menu follows its window's shift", {620, 300, 80, 120}, Point{-300, -20}, {}, {320, 280}},
        {"shifted and still out: moved in", {991, 400, 120, 200}, Point{-100, 0}, {}, {520, 280}},
    };
    for (const auto &[what, sender, shift, decoration, want] : rows)
        EXPECT_EQ(place_mirror(sender, shift, 640, 480, decoration), want) << what;
}

TEST(MirrorLayout, StackingFollowsTheRootChildrenThroughFramesLeavingOneTopLevelsWindowsUnordered) {
    // 10 and 20 are frames holding the shared 11 and 21; 30 is shared unframed, 40 is not shared;
    // 12 is a child of 11, shared alone as well.
    const std::map<uint32_t, uint32_t> tops{{11, 10}, {21, 20}, {30, 30}, {12, 10}};
    EXPECT_EQ(stacking_order({20, 40, 30, 10}, tops), (StackGroups{{21}, {30}, {11, 12}}));
    EXPECT_EQ(stacking_order({10, 20}, tops), (StackGroups{{11, 12}, {21}})) << "an unmapped one's frame is gone";
}

TEST(MirrorLayout, MenusOverTheWindowAndItsDialogsGoWithIt) {
    const Rect owner{100, 100, 300, 200};
    const std::tuple<const char *, NewWindow, bool> rows[] = {
        {"menu over it", {{380, 150, 120, 200}, true, 0}, true},
        {"menu elsewhere", {{500, 150, 120, 200}, true, 0}, false},
        {"managed window over it", {{150, 150, 100, 100}, false, 0}, false},
        {"its dialog, anywhere", {{600, 500, 100, 100}, false, 7}, true},
        {"another window's dialog over it", {{150, 150, 100, 100}, false, 8}, false},
    };
    for (const auto &[what, popup, want] : rows) EXPECT_EQ(goes_with(popup, 7, owner), want) << what;
}

TEST(ClientWindows, FramesStandForTheClientWindowsTheyHold) {
    auto w = [](uint32_t id, uint32_t parent, bool state = false, bool viewable = true) {
        return TreeWindow{id, parent, state, viewable, false};
    };
    // Under a manager (frames 0x2xxxxx): the application's (0x4xxxxx) main window beside a title
    // bar, its dialog, its iconified palette, its menu on the root, another client's framed window,
    // and that client's window holding one of the application's without WM_STATE.
    const WindowTree tree{w(0x200100, 1), w(0x200101, 0x200100), w(0x400016, 0x200100, true), w(0x400017, 0x400016),
                          w(0x200200, 1), w(0x400030, 0x200200, true), w(0x200300, 1, false, false),
                          w(0x400040, 0x200300, true, false), w(0x400050, 1), w(0x200400, 1),
                          w(0x600016, 0x200400, true), w(0x600020, 1), w(0x400060, 0x600020)};
    // Window asked for, its client window, its top-level client window.
    const uint32_t rows[][3] = {{0x200100, 0x400016, 0x400016}, {0x200101, 0x200101, 0x400016},
                                {0x400017, 0x400017, 0x400016}, {0x400060, 0x400060, 0x600020}};
    for (const auto &r : rows)
        EXPECT_EQ(std::pair(client_window(tree, r[0]), top_level_client(tree, r[0])), std::pair(r[1], r[2])) << std::hex << r[0];
    EXPECT_EQ(application_windows(tree, {0x400000, 0x1fffff}, 0x400016),
              (std::vector<uint32_t>{0x400016, 0x400030, 0x400050}));
}
