// Exit paths: nothing stays shared behind the program, whichever way it ends.
#include "exit.h"

#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "extension/share_extension.h"
#include "platform/platform.h"
#include "registry/hostatoms.h"
#include "registry/share_registry.h"
#include "receivers/address_book.h"
#include "telepointer/telepointer.h"
#include "ui/main_window.h"
#include "ui/preferences_dialog.h"
#include "ui/window_status_dialog.h"

#include <cstdlib>

int already_called = 0;

namespace {

// Set while exit_cleanup_ask runs: a second Exit (the window manager's close of the main
// window while the question is up) must not ask again on top of the first.
int asking = 0;

}  // namespace

void exit_callback(Atom host, char *, char *) {
    if (!find_is_host_sharing(static_cast<uint32_t>(host))) return;
    log_msg1a("REQUEST unshare ALL windows from '%s'", host);
    tlUnshareWindow(display, 0, host, 0);
    main_loop_empty_tl();
}

void exit_cleanup_windows() {
    for_all_hostatoms(exit_callback);
    // A receiver whose answers never came is asked once more, then forgotten, so this ends.
    while (first_tag) {
        uint32_t host = first_tag->host;
        log_msg1a("REQUEST unshare ALL windows from '%s' AGAIN", host);
        tlUnshareWindow(display, 0, host, 0);
        main_loop_empty_tl();
        delete_all_host_tags(host);
    }
}

void exit_cleanup_exit() {
    kill_telepointer();
    popdown_AddressBook();
    popdown_WindowStatus();
    popdown_Preferences();
    popdown_Telvane();
    if (display) XSync(display, False);
    log_msg0("Exiting Telvane ..... Done");
    exit(0);
}

int exit_cleanup_ask() {
    if (asking) return 0;
    asking = 1;
    if (first_tag && !message0(TopLevel, 1, 0xc4, 1, 2, "Close active connections?")) {
        asking = 0;
        return 0;
    }
    exit_cleanup_windows();
    if (recs_added && !message0(TopLevel, 3, 0xc4, 1, 3, "Do you really want\nto exit Telvane?")) {
        asking = 0;
        return 0;
    }
    exit_cleanup_exit();
    return 0;
}

void exit_now_callback() {
    if (already_called) {
        log_msg0("Exit already in progress, request ignored");
        return;
    }
    already_called = 1;
    exit_cleanup_ask();
    already_called = 0;
}

void signal_catcher() {}

void exit_unasked(const char *why) {
    log_msg0(why);
    exit_cleanup_windows();
    exit_cleanup_exit();
}

void peer_died(XtPointer, int *, XtInputId *) {
    peer_is_dead();
    exit_cleanup_windows();
    exit_cleanup_exit();
}
