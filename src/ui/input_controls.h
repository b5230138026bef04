#pragma once
// The per-receiver input controls: a toggle while connected, a "?" while consent is asked.

#include <X11/Intrinsic.h>

// Destroys a receiver's input control widget. Called when its host atom is deleted.
void destroy_io_widget(Widget widget);
