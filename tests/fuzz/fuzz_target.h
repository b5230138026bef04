#pragma once
// What every libFuzzer target here starts from: the standard headers they use, and the entry
// point that libFuzzer calls with each input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// The input as a file open for reading, closed when the handle goes; null when it cannot be.
inline std::unique_ptr<FILE, int (*)(FILE *)> input_file(const uint8_t *data, size_t size) {
    return {fmemopen(const_cast<uint8_t *>(data), size, "r"), fclose};
}
