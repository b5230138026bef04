// Exit paths; the host channel's loss ends the program.
#include "exit.h"

#include "core/log.h"
#include "platform/platform.h"

#include <cstdlib>

void peer_died(XtPointer, int *, XtInputId *) {
    peer_is_dead();
    log_msg0("Exiting Telvane ..... Done");
    exit(0);
}
