// Tool launching; no tool is started yet.
#include "tools.h"

void display_whiteboard_message() {}
