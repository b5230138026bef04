#pragma once
// Turning the text typed into the receiver name line into receiver rows.

// Reads the edit line and adds the receiver it names. Returns 1 when something was added or
// offered, 0 when refused (the text stays in the edit line). The edit line's activate action.
int add_receiver();
