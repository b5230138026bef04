// libFuzzer target for the address-book text rules: nothing crashes, and every result keeps
// the shape the rest of the program relies on.
#include "receivers/address_text.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *s = text.c_str();  // stops at the first NUL, as C readers do

    std::string line = s;
    parse_comments(line.data());
    line.resize(strlen(line.c_str()));
    // Cleaned text has single blanks, no tabs, nothing at its end.
    if (line.find("  ") != std::string::npos || line.find('\t') != std::string::npos ||
        (!line.empty() && line.back() == ' '))
        abort();

    if (char *d = parse_display_name(s)) {
        char *again = parse_display_name(d);
        if (!again || strcmp(again, d) != 0) abort();  // legal names are fixed points
        free(again);
        free(d);
    }
    char *tabs = parse_tabs(s);
    if (strchr(tabs, '\t')) abort();
    free(tabs);
    char *alias = final_alias_line(s, "h:0.0");
    const size_t n = strlen(alias);
    if (n < 5 || strcmp(alias + n - 5, "h:0.0") != 0) abort();   // the display ends the line
    free(alias);

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
