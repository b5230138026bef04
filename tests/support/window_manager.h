#pragma once
// A real window manager on a test's own display: twm, which frames plainly, or openbox or icewm, as
// current desktops do. It ends with its process handle.

#include "process.h"

#include <xcb/xcb.h>

namespace telvane::testing {

// Starts `name` ("twm", "openbox" or "icewm") on `display_name`, a display the test started itself, and
// returns once it has framed a probe window (put WM_STATE on it); one still starting may drop a
// map request, so the probe asks again. An empty handle when it did not come up.
inline ChildProcess start_window_manager(const std::string &display_name, const std::string &name,
                                         const ScratchDir &scratch) {
    ChildProcess::Options o;
    o.env_set = {{"DISPLAY", display_name}};
    o.stdout_path = o.stderr_path = scratch.file(name + ".log");
    // twm's own default has the user place each new window with the pointer, the server grabbed.
    write_file(scratch.file("twmrc"), "RandomPlacement\nNoGrabServer\n");
    using Argv = std::vector<std::string>;
    ChildProcess wm = ChildProcess::start(name == "twm" ? Argv{name, "-f", scratch.file("twmrc")} : Argv{name}, o);
    xcb_connection_t *c = xcb_connect(display_name.c_str(), nullptr);
    const xcb_window_t probe = xcb_generate_id(c);
    xcb_create_window(c, 0, probe, xcb_setup_roots_iterator(xcb_get_setup(c)).data->root, 0, 0, 9, 9, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, 0, 0, nullptr);
    auto *state = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 8, "WM_STATE"), nullptr);
    const bool ready = wm && state && eventually([&] {
        xcb_map_window(c, probe);
        auto *p = xcb_get_property_reply(c, xcb_get_property(c, 0, probe, state->atom, 0, 0, 0), nullptr);
        const bool framed = p && p->type != XCB_NONE;
        free(p);
        return framed;
    });
    free(state);
    xcb_disconnect(c);
    return ready ? std::move(wm) : ChildProcess{};
}

}  // namespace telvane::testing
