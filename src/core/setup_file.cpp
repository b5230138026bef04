// Reads the numbers of the preference file and holds each to its range.
#include "setup_file.h"

namespace {

struct Range {
    uint32_t low, high;
    int32_t fallback;
    const char *name;
};

// The names are those the log has always used, misspelling included, so that its readers
// find them.
const Range kRanges[SETUP_FIELD_COUNT] = {
    {0, 1, 1, "CASE_INSENSITIVE"}, {0, 2, 1, "AUTOMATIC_HIGHLIGHT"}, {0, 1, 0, "AALLOW_INPUT"},
    {1, 4, 4, "DIALOG_LEVEL"},     {1, 3, 3, "SEARCH_LEVEL"},        {0, 50, 5, "Time Between Users Inputs"},
};

}  // namespace

void read_setup_numbers(FILE *file, int32_t (&values)[SETUP_FIELD_COUNT]) {
    for (int32_t &field : values) {
        int value;
        if (fscanf(file, "%d", &value) != 1) break;
        field = value;
    }
}

bool hold_setup_field(int i, int32_t &value) {
    if (i < 0 || i >= SETUP_FIELD_COUNT) return false;
    // Compared as unsigned, so that negative values are out of range too.
    const uint32_t v = static_cast<uint32_t>(value);
    if (v >= kRanges[i].low && v <= kRanges[i].high) return false;
    value = kRanges[i].fallback;
    return true;
}

const char *setup_field_name(int i) { return i >= 0 && i < SETUP_FIELD_COUNT ? kRanges[i].name : ""; }
