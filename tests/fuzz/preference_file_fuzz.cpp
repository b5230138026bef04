// libFuzzer target for the preference file: whatever ".setup" holds, reading it never crashes
// and leaves every field within its range.
#include "core/setup_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

const struct {
    int32_t low, high;
} kRange[SETUP_FIELD_COUNT] = {{0, 1}, {0, 2}, {0, 1}, {1, 4}, {1, 3}, {0, 50}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f) return 0;
    // Start from values out of every range, so that a field left unchecked shows.
    int32_t values[SETUP_FIELD_COUNT] = {-1, -1, -1, -1, -1, -1};
    const unsigned replaced = read_setup_values(f, values);
    fclose(f);
    for (int i = 0; i < SETUP_FIELD_COUNT; ++i) {
        if (values[i] < kRange[i].low || values[i] > kRange[i].high) std::abort();
        if (!*setup_field_name(i)) std::abort();
    }
    if (replaced >> SETUP_FIELD_COUNT) std::abort();
    return 0;
}
