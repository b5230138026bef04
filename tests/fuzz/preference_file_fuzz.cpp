// libFuzzer target for the preference file: whatever ".setup" holds, reading it never crashes
// and leaves every field within its range.
#include "core/setup_file.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int32_t low[SETUP_FIELD_COUNT] = {0, 0, 0, 1, 1, 0}, high[SETUP_FIELD_COUNT] = {1, 2, 1, 4, 3, 50};
    const auto f = input_file(data, size);
    if (!f) return 0;
    // Start from values out of every range, so that a field left unchecked shows.
    int32_t values[SETUP_FIELD_COUNT] = {-1, -1, -1, -1, -1, -1};
    read_setup_numbers(f.get(), values);
    // As the program reads it: field by field, each held to its range, and replaced exactly
    // when it was out of it.
    for (int i = 0; i < SETUP_FIELD_COUNT; ++i) {
        const bool in_range = values[i] >= low[i] && values[i] <= high[i];
        if (hold_setup_field(i, values[i]) == in_range || values[i] < low[i] || values[i] > high[i]) std::abort();
    }
    return 0;
}
