// libFuzzer target for the remote access file: reading it never crashes, ends, and yields only
// entries of a number and one word of at most 255 characters (not resolved: no network).
#include "external/auth_file.h"
#include "fuzz_target.h"

#include <cctype>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto f = input_file(data, size);
    if (!f) return 0;
    int32_t uid = 0;
    char host[256], line[256];
    size_t entries = 0;
    while (next_auth_entry(f.get(), uid, host, line)) {
        // Each entry takes at least two bytes of the file: no loop without progress.
        if (++entries > size) std::abort();
        const size_t n = strnlen(host, sizeof host);
        if (n == 0 || n > 255 || strnlen(line, sizeof line) > 255 || strchr(line, '#')) std::abort();
        for (size_t i = 0; i < n; ++i)
            if (isspace(static_cast<unsigned char>(host[i]))) std::abort();
    }
    return 0;
}
