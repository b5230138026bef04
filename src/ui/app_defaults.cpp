// The compiled-in copy of the app-defaults, used when no app-defaults file is installed.
#include "app_defaults.h"

namespace {

// Xt wants writable strings, but never writes through them.
const char *const lines[] = {
#include "app_defaults.inc"
    nullptr,
};

}  // namespace

String *telvane_fallback_resources() { return const_cast<String *>(lines); }
