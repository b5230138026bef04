// libFuzzer target for the address-book text rules and the preference file reader's inputs.
#include "receivers/address_text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *s = text.c_str();  // stops at the first NUL, as C readers do

    std::string line = s;
    parse_comments(line.data());

    if (char *d = parse_display_name(s)) {
        char *again = parse_display_name(d);
        if (!again || strcmp(again, d) != 0) abort();  // legal names are fixed points
        free(again);
        free(d);
    }
    free(parse_tabs(s));
    free(final_alias_line(s, "h:0.0"));

    AddressEntry entry{};
    if (parse_address_line(s, &entry) == 1) {
        free(entry.display);
        free(entry.alias);
    }
    size_t half = strlen(s) / 2;
    std::string pattern(s, half);
    for (int flags = 0; flags < 4; ++flags) grep_word_match(pattern.c_str(), s + half, flags & 1, flags);
    return 0;
}
