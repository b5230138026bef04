#pragma once
// The busy cursor over every window of the program, counted so that nested work shows it once.

// Counts one piece of work up and shows the watch cursor. Called around any long operation.
void start_hourglass();
// Counts one piece of work down; the last one restores the normal cursor.
void stop_hourglass();
// How many pieces of work are running now (0 when the cursor is normal).
int hourglass_depth();
