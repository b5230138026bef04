// libFuzzer target for the preference file: whatever ".setup" holds, reading it never crashes
// and leaves every field within its range.
#include "core/setup_file.h"
#include "fuzz_target.h"

namespace {

const struct {
    int32_t low, high;
} kRange[SETUP_FIELD_COUNT] = {{0, 1}, {0, 2}, {0, 1}, {1, 4}, {1, 3}, {0, 50}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto f = input_file(data, size);
    if (!f) return 0;
    // Start from values out of every range, so that a field left unchecked shows.
    int32_t values[SETUP_FIELD_COUNT] = {-1, -1, -1, -1, -1, -1};
    read_setup_numbers(f.get(), values);
    // As the program reads it: field by field, each held to its range.
    for (int i = 0; i < SETUP_FIELD_COUNT; ++i) {
        const bool in_range = values[i] >= kRange[i].low && values[i] <= kRange[i].high;
        const bool replaced = hold_setup_field(i, values[i]);
        if (replaced == in_range) std::abort();   // replaced exactly when out of range
        if (values[i] < kRange[i].low || values[i] > kRange[i].high) std::abort();
    }
    return 0;
}
