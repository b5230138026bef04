#pragma once
// The app-defaults file's lines, compiled in as the toolkit's fallback resources.

#include <X11/Intrinsic.h>

// The null-terminated list of resource lines, for XtAppSetFallbackResources. Called by
// start-up (and tests) before the display is opened.
String *telvane_fallback_resources();
