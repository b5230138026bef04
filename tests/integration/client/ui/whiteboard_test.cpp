// telvane-whiteboard as its users meet it: pens, eraser, saving, and the snapshot's drag.
#include <gtest/gtest.h>

#include "program_fixture.h"

#include <algorithm>

using namespace telvane::testing;

namespace {

// The children of `w`, top to bottom and then left to right.
std::vector<Window> laid_out(Display *dpy, Window w) {
    std::vector<Window> out = children_of(dpy, w);
    std::ranges::sort(out, {}, [dpy](Window c) {
        XWindowAttributes a{};
        XGetWindowAttributes(dpy, c, &a);
        return std::pair(a.y, a.x);
    });
    return out;
}

// What ImageMagick reads at (x, y) of a picture file, as "#RRGGBB".
std::string file_pixel(const std::string &path, int x, int y) {
    ChildProcess::Options options;
    options.stdout_path = options.stderr_path = path + ".pixel";
    run_program({"convert", path, "-crop", "1x1+" + std::to_string(x) + "+" + std::to_string(y), "-depth", "8",
                 "-format", "#%[hex:p{0,0}]", "info:-"},
                options);
    return read_file(path + ".pixel").substr(0, 7);
}

class Whiteboard : public ProgramRun {
protected:
    // Starts the board on the display behind the server, in the scratch folder.
    void start_board(std::vector<std::string> args = {}) {
        args.insert(args.begin(), build_path("whiteboard/telvane-whiteboard"));
        ChildProcess::Options options;
        options.env_set = {{"DISPLAY", server->name()}};
        options.cwd = scratch.path();
        options.stderr_path = scratch.file("board.err");
        board = ChildProcess::start(args, options);
        ASSERT_TRUE(board);
    }
    // Finds the board's shell, its tool bar (the pens, Clear, Save and Quit) and drawing area.
    void find_parts() {
        shell = driver->wait_for_shell("telvane-whiteboard", std::chrono::seconds(20), board.exit_fd());
        ASSERT_NE(shell, 0u) << read_file(scratch.file("board.err"));
        Display *dpy = driver->display();
        auto form = laid_out(dpy, shell);
        ASSERT_EQ(form.size(), 1u);
        auto parts = laid_out(dpy, form[0]);
        ASSERT_EQ(parts.size(), 2u) << "the tool bar above the board";
        tools = laid_out(dpy, parts[0]);
        ASSERT_EQ(tools.size(), 4u);
        pens = laid_out(dpy, tools[0]);
        ASSERT_EQ(pens.size(), 5u);
        area = parts[1];
    }
    unsigned long at(int x, int y) { return pixel_at(driver->display(), area, x, y); }
    // Whether the board shows `colour` at (x, y) within 10 seconds.
    bool becomes(int x, int y, unsigned long colour) { return eventually([&] { return at(x, y) == colour; }); }
    void save_as(const std::string &name) {
        ASSERT_TRUE(driver->click(tools[2]));
        Window dialog = driver->wait_for_shell("Save_Board_popup", std::chrono::seconds(10), board.exit_fd());
        ASSERT_NE(dialog, 0u);
        // The name line offers the last name, selected: typing replaces it.
        ASSERT_TRUE(driver->point_at(dialog));
        if (getenv("TELVANE_SCREENSHOTS")) {
            poll(nullptr, 0, 300);
            EXPECT_TRUE(screenshot_area(upstream->name(), "whiteboard-save", 0, 0, 700, 560));
        }
        ASSERT_TRUE(driver->type_text(scratch.file(name) + "\n"));
    }

    ChildProcess board;
    Window shell = 0, area = 0;
    std::vector<Window> tools, pens;
};

constexpr unsigned long kWhite = 0xffffff, kBlack = 0x000000, kRed3 = 0xcd0000;

}  // namespace

TEST_F(Whiteboard, PensEraserSavedPicturesAndTheSnapshotsDrag) {
    start_board();
    find_parts();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(becomes(5, 5, kWhite));
    driver->drag(area, 40, 50, 240, 50);
    ASSERT_TRUE(becomes(140, 50, kBlack));
    ASSERT_TRUE(driver->click(pens[1]));  // Red
    driver->drag(area, 40, 100, 240, 100);
    ASSERT_TRUE(becomes(140, 100, kRed3));

    const std::string path = scratch.file("board.png");
    save_as("board.png");
    ASSERT_TRUE(eventually([&] { return file_pixel(path, 140, 100) == "#CD0000"; })) << file_pixel(path, 140, 100);
    EXPECT_EQ(file_pixel(path, 140, 50) + file_pixel(path, 5, 5), "#000000#FFFFFF");

    // The eraser takes a line away.
    ASSERT_TRUE(driver->click(pens[4]));
    driver->drag(area, 100, 50, 180, 50);
    ASSERT_TRUE(becomes(140, 50, kWhite));
    EXPECT_EQ(at(60, 50), kBlack);
    ASSERT_TRUE(driver->click(tools[3]));  // Quit
    auto status = board.wait_for_exit(std::chrono::seconds(10));
    ASSERT_TRUE(status);
    EXPECT_EQ(exit_code(*status), 0);

    // With -grab the dragged area of the screen becomes the background, which the eraser paints back.
    Display *dpy = driver->display();
    Window target = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 300, 200, 300, 200, 0, 0, kRed3);
    XMapWindow(dpy, target);
    ASSERT_TRUE(eventually([&] { return pixel_at(dpy, DefaultRootWindow(dpy), 400, 300) == kRed3; }));
    start_board({"--", "-grab"});
    // The drag begins once the board holds the pointer.
    ASSERT_TRUE(eventually([&] { return try_pointer_grab(dpy) == AlreadyGrabbed; }));
    driver->drag(DefaultRootWindow(dpy), 320, 220, 470, 320);
    find_parts();
    if (HasFatalFailure()) return;
    XWindowAttributes a{};
    XGetWindowAttributes(dpy, area, &a);
    EXPECT_EQ(std::pair(a.width, a.height), std::pair(151, 101));
    ASSERT_TRUE(becomes(75, 50, kRed3));
    driver->drag(area, 20, 50, 130, 50);
    ASSERT_TRUE(becomes(75, 50, kBlack));
    ASSERT_TRUE(driver->click(pens[4]));
    driver->drag(area, 20, 50, 130, 50);
    EXPECT_TRUE(becomes(75, 50, kRed3)) << "the eraser paints the snapshot back";
    XDestroyWindow(dpy, target);
}
