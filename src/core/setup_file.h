#pragma once
// The numbers of the preference file ".setup", read and range-checked without touching the
// program's state: the reader for preferences and for the fuzz target.

#include <cstdint>
#include <cstdio>

// The fields of ".setup" in file order: the user's five choices, then the input delay.
enum { SETUP_FIELD_COUNT = 6 };

// Reads up to SETUP_FIELD_COUNT numbers from `file` over `values`; a number that cannot be
// read stops the reading, and it and every later field keep the values they had. Called by
// use_user_defaults.
void read_setup_numbers(FILE *file, int32_t (&values)[SETUP_FIELD_COUNT]);

// Replaces field `i` by its default when `value` lies outside the field's range. Returns true
// when it did, for the caller to log with setup_field_name(i).
bool hold_setup_field(int i, int32_t &value);

// The name a log line gives field `i` (0 <= i < SETUP_FIELD_COUNT).
const char *setup_field_name(int i);
