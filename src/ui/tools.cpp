// Tool launching: the whiteboard and the snapshot, started as programs of their own.
#include "tools.h"

#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "platform/platform.h"
#include "ui/main_window.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The tool command, fixed at the first launch, and its last path component.
char *action = nullptr;
const char *name = nullptr;

const char *last_component(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

int share_launch_callback(Widget, XtPointer grab, XtPointer) {
    long kind = reinterpret_cast<long>(grab);
    if (!action) {
        const char *viewer = getenv("VIEWER");
        action = strdup(viewer ? viewer : "whiteboard");
        if (!action) return -1;
        name = last_component(action);
    }
    const char *home = getenv("XTHOME");
    if (!home) home = "/opt/zrxt/oxbend2/xthome";
    // No fixed buffers: a long home or VIEWER path is run whole rather than cut short.
    std::string tool = std::string(home) + "/" + "../bin/zrxt.whiteboard";
    struct stat st {};
    if (peer_inuse() != -1 && stat(tool.c_str(), &st) == 0) {
        const char *shell = getenv("SHELL");
        if (!shell || !*shell) shell = "/bin/sh";
        std::string line = tool + (kind < 0 ? " --" : " -- -grab");
        std::string shell_name = last_component(shell);
        char dash_c[] = "-c";
        char *argv[] = {shell_name.data(), dash_c, line.data(), nullptr};
        log_msg1("Starting tool '%s'", line.c_str());
        return ForkNExecv(shell, argv) == -1 ? -1 : 0;
    }
    std::string line = action;
    if (kind == 0) line += " -grab";
    log_msg1("Starting tool '%s'", line.c_str());
    int result = spawnse(line.c_str(), environ);
    return result < 0 ? -1 : result;
}

int cannot_exec() {
    whiteboard_message = 1;
    return 1;
}

void display_whiteboard_message() {
    const char *what = action ? action : "whiteboard";
    log_msg1("The whiteboard process '%s' cannot be run\n", what);
    message1(TelvaneSH, 1, 17, 2, 32, "Cannot exec whiteboard.\n", what);
    whiteboard_message = 0;
}
