#pragma once
// A real window manager on a test's own display: twm, which reparents plainly, or openbox, which
// manages as current desktops do. Stopped with the handle. Header-only, on xcb, so that every
// test target can use it.

#include "process.h"

#include <optional>
#include <string>
#include <xcb/xcb.h>

namespace telvane::testing {

class WindowManager {
public:
    // Starts `name` ("twm" or "openbox") on `display_name`, which must be a display the test
    // started itself, and returns once it manages the screen; nothing when it did not come up.
    static std::optional<WindowManager> start(const std::string &display_name, const std::string &name,
                                              const ScratchDir &scratch) {
        ChildProcess::Options o;
        o.env_set = {{"DISPLAY", display_name}};
        o.stdout_path = o.stderr_path = scratch.file(name + ".log");
        std::vector<std::string> argv{"openbox", "--sm-disable"};
        if (name == "twm") {
            // Placed at once and without grabbing the server: twm's default has the user place
            // every new window with the pointer while nobody else is served.
            write_file(scratch.file("twmrc"), "RandomPlacement\nNoGrabServer\n");
            argv = {"twm", "-f", scratch.file("twmrc")};
        }
        WindowManager wm{ChildProcess::start(argv, o), display_name};
        if (!wm.process) return std::nullopt;
        // It is ready once it frames a window of ours. A manager that is still starting may
        // drop a window's map request, so the probe asks again until it is taken in.
        xcb_connection_t *c = xcb_connect(display_name.c_str(), nullptr);
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_window_t probe = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        const bool ready = eventually([&] {
            xcb_map_window(c, probe);
            free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            return wm.has_wm_state(probe);
        });
        xcb_disconnect(c);
        if (!ready) return std::nullopt;
        return wm;
    }

    // Whether `window` has been taken in: the manager has put WM_STATE on it (within 10 s).
    bool manages(uint32_t window) const {
        return eventually([&] { return has_wm_state(window); });
    }

private:
    WindowManager(ChildProcess p, std::string display) : process(std::move(p)), display_(std::move(display)) {}

    bool has_wm_state(uint32_t window) const {
        xcb_connection_t *c = xcb_connect(display_.c_str(), nullptr);
        auto *atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 8, "WM_STATE"), nullptr);
        auto *p = atom ? xcb_get_property_reply(
                             c, xcb_get_property(c, 0, window, atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 2), nullptr)
                       : nullptr;
        const bool has = p && p->type != XCB_NONE;
        free(p);
        free(atom);
        xcb_disconnect(c);
        return has;
    }

public:
    ChildProcess process;

private:
    std::string display_;
};

}  // namespace telvane::testing
