#pragma once
// Launching the whiteboard and snapshot tools.

// Shows a waiting report about a started tool. Called by the main loop.
void display_whiteboard_message();
