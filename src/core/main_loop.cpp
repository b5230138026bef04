// The main loop's state flags; the loop itself arrives with the share extension client.
#include "main_loop.h"

int global_return_variable = -1;
int event_messages_pending = 0;
int message_in_progress = 0;
int telepointer_message = 0;
int whiteboard_message = 0;
int TOPLEVEL_UNMAPPED = 0;
int enableCommandLine = 0;
