// The telepointer control protocol: requests to the manager, the menu actions, the answers.
#include "telepointer.h"

#include "core/log.h"
#include "core/main_loop.h"
#include "core/messages.h"
#include "core/startup.h"
#include "registry/share_registry.h"
#include "registry/window_selection.h"
#include "telepointer/tele_manager.h"
#include "ui/main_window.h"

#include <X11/Intrinsic.h>

char *telepointer_version = const_cast<char *>("");
Window telepointer_control_window = 0;

namespace {

int not_running() {
    message0(TelvaneSH, 1, 273, 2, 8, "Telepointers code NOT runing");
    return 0;
}

int request(long w0, long w1, long w2, long w3, long w4) {
    Window from = TopLevel && XtIsRealized(TopLevel) ? XtWindow(TopLevel) : 0;
    send_event(display, from, telepointer_control_window, telepoint_req_atom, w0, w1, w2, w3, w4);
    return 1;
}

}  // namespace

int init_telepointer() {
    log_msg0("Telepointer started");
    return 1;
}

int add_telepointer() {
    if (!telepointer_control_window) return not_running();
    int x = 0, y = 0;
    Window window = pick(10, &x, &y);
    if (!window) return 0;
    if (!find_window(0, static_cast<uint32_t>(window))) {
        message0(TelvaneSH, 1, 19, 5, 6, "Can Not put a Telepointer in an UNshared Window");
        return 0;
    }
    log_msg1n("Telepointer REQUEST - Create telepointer on window (0x%x)", static_cast<int>(window));
    return request(kTeleCreateRequest, static_cast<long>(window), x, y, kTeleFromUser);
}

int delete_telepointer() {
    if (!telepointer_control_window) return not_running();
    int x = 0, y = 0;
    Window window = pick(10, &x, &y);
    if (!window) return 0;
    log_msg1n("Telepointer REQUEST - Delete telepointer on window (0x%x)", static_cast<int>(window));
    return request(kTeleDeleteRequest, static_cast<long>(window), x, y, kTeleFromUser);
}

int delete_all_telepointers(Window window) {
    if (!telepointer_control_window) return 0;
    log_msg1n("Telepointer REQUEST - Delete ALL telepointers on window (0x%x)", static_cast<int>(window));
    return request(kTeleDeleteWindowRequest, static_cast<long>(window), 0, 0, kTeleFromUser);
}

int kill_telepointer() {
    if (!telepointer_control_window) return 1;
    log_msg0("Telepointer REQUEST - exit and die");
    request(kTeleStopRequest, 0, 0, 0, kTeleFromUser);
    XSync(display, False);
    return 1;
}

void process_telepointer_message() {
    static int already_called = 0;
    if (already_called) return;
    already_called = 1;
    if (telepointer_message) {
        telepointer_message = 0;
        message0(TelvaneSH, 1, 19, 5, 12, "There is no telepointer there");
    }
    already_called = 0;
}

void processTelepointerResponse(long code, long w1, long w2, long w3, long w4) {
    const auto id = static_cast<Window>(w1), window = static_cast<Window>(w2);
    switch (code) {
    case kTeleReadyAnswer:
        telepointer_control_window = id;
        if (w3) {
            // The atom's name outlives the answer: it is the version for as long as we run.
            if (char *name = XGetAtomName(display, static_cast<Atom>(w3))) telepointer_version = name;
        }
        log_msg1n("Telepointer Control window (0x%x)", static_cast<int>(w1));
        log_msg1("Telepointer Version = '%s'", telepointer_version);
        break;
    case kTeleCreatedAnswer:
        notifyTeleList(kTeleCreatedAnswer, id, window);
        log_msg2n("Telepointer ACK - Created telepointer (0x%x) on window (0x%x)", static_cast<int>(w1),
                  static_cast<int>(w2));
        break;
    case kTeleDeletedAnswer:
        notifyTeleList(kTeleDeletedAnswer, id, window);
        log_msg2n("Telepointer ACK - Destroyed telepointer (0x%x) on window (0x%x)", static_cast<int>(w1),
                  static_cast<int>(w2));
        break;
    case kTeleFailedAnswer:
        if (w1 == kTeleDeleteRequest) {
            if (w4 != kTeleFromRequester) telepointer_message = 1;
        } else if (w1 == kTeleDeleteWindowRequest) {
            notifyTeleList(kTeleWindowDeletedAnswer, 0, window);
        } else {
            log_msg0("Telepointer ACK - Could not accomplish request");
        }
        break;
    case kTeleStoppedAnswer:
        telepointer_control_window = 0;
        log_msg0("Telepointer ACK - Exit and Die");
        break;
    case kTeleWindowDeletedAnswer:
        notifyTeleList(kTeleWindowDeletedAnswer, 0, window);
        log_msg1n("Telepointer ACK - Destroyed ALL telepointers on window (0x%x)", static_cast<int>(w2));
        break;
    default:
        break;
    }
}
