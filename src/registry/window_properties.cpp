// Window properties of shared windows: property tests and the daisy-chain mark's removal.
#include "window_properties.h"

#include "core/log.h"
#include "core/startup.h"
#include "registry/share_registry.h"

#include <X11/Xatom.h>

void property_event(XEvent *event) { (void)event; }

int is_property_set_str(Window window, const char *name) {
    if (!display || !window || !name) return 0;
    Atom atom = XInternAtom(display, name, False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    int status = XGetWindowProperty(display, window, atom, 0, 0, False, AnyPropertyType, &type,
                                    &format, &items, &after, &data);
    if (data) XFree(data);
    return status == Success && type != None;
}

int unset_shared_from(Window window) {
    (void)window;
    return 0;
}

int unset_daisy_chain(Window window) {
    if (!delete_daisy_allowed(static_cast<uint32_t>(window))) return 0;
    log_msg1n("UNSET Daisy-chain-allowed on window (0x%x)", static_cast<int>(window));
    XDeleteProperty(display, window, XInternAtom(display, "TL_DAISY_CHAIN_ALLOWED", False));
    return 1;
}
