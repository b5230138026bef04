// Client windows and an application's top levels found through window managers' frames.
#include "client_windows.h"

#include <gtest/gtest.h>

using namespace telvane::server;

namespace {

constexpr uint32_t kRoot = 0x50d;
// Ids as an X server hands them out: the window manager's, the shared client's, another's.
const ClientRange kApp{0x400000, 0x1fffff};

TreeWindow win(uint32_t id, uint32_t parent, bool wm_state = false, bool viewable = true) {
    return {id, parent, wm_state, viewable, false};
}

// A desktop under a reparenting window manager (frames 0x2000xx): the application's main window
// and dialog in frames among decorations, its iconified palette in an unmapped frame, its open
// menu straight on the root, another client's window in a frame, and that client's window
// holding an embedded window of the application without WM_STATE.
const WindowTree kManaged{
    win(0x200100, kRoot), win(0x200101, 0x200100), win(0x200102, 0x200101), win(0x400016, 0x200100, true),
    win(0x400017, 0x400016),
    win(0x200200, kRoot), win(0x200201, 0x200200), win(0x400030, 0x200200, true),
    win(0x200300, kRoot, false, false), win(0x400040, 0x200300, true, false),
    win(0x400050, kRoot),
    win(0x200400, kRoot), win(0x600016, 0x200400, true),
    win(0x600020, kRoot), win(0x400060, 0x600020),
};
// The same without a window manager: top levels straight on the root, no WM_STATE anywhere.
const WindowTree kBare{
    win(0x400016, kRoot), win(0x400017, 0x400016), win(0x400030, kRoot), win(0x400040, kRoot, false, false),
    win(0x600016, kRoot),
};

}  // namespace

TEST(ClientWindows, AFrameStandsForTheClientWindowInsideIt) {
    struct Row {
        const char *what;
        const WindowTree &tree;
        uint32_t asked, client, top;
    };
    const Row rows[] = {
        {"frame", kManaged, 0x200100, 0x400016, 0x400016},
        {"decoration of a frame", kManaged, 0x200102, 0x200102, 0x400016},
        {"client window", kManaged, 0x400016, 0x400016, 0x400016},
        {"inside a client window", kManaged, 0x400017, 0x400017, 0x400016},
        {"menu on the root", kManaged, 0x400050, 0x400050, 0x400050},
        {"no window manager", kBare, 0x400016, 0x400016, 0x400016},
        {"inside, no window manager", kBare, 0x400017, 0x400017, 0x400016},
        {"unknown window", kBare, 0x123, 0x123, 0x123},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(client_window(r.tree, r.asked), r.client) << r.what;
        EXPECT_EQ(top_level_client(r.tree, r.asked), r.top) << r.what;
    }
}

TEST(ClientWindows, AnApplicationIsItsViewableClientWindowsWhereverTheyWereReparented) {
    EXPECT_EQ(application_windows(kManaged, kApp, 0x400016),
              (std::vector<uint32_t>{0x400016, 0x400030, 0x400050}));
    EXPECT_EQ(application_windows(kBare, kApp, 0x400030), (std::vector<uint32_t>{0x400030, 0x400016}));
    // A client nobody knows has only the window asked for.
    EXPECT_EQ(application_windows(kManaged, ClientRange{}, 0x400016), (std::vector<uint32_t>{0x400016}));
}
