// Client windows and an application's top levels, looked for through window managers' frames.
#include "client_windows.h"

#include <gtest/gtest.h>

using namespace telvane::server;

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
    for (const auto &r : rows) {
        EXPECT_EQ(client_window(tree, r[0]), r[1]) << std::hex << r[0];
        EXPECT_EQ(top_level_client(tree, r[0]), r[2]) << std::hex << r[0];
    }
    EXPECT_EQ(application_windows(tree, {0x400000, 0x1fffff}, 0x400016),
              (std::vector<uint32_t>{0x400016, 0x400030, 0x400050}));
}
