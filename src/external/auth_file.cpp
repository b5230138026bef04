// Reads the entries of the remote access authorization file.
#include "auth_file.h"

#include <cctype>
#include <cstring>

namespace {

// One line, keeping at most its first 255 characters; false at the end of the file.
bool read_line(FILE *file, char (&line)[256]) {
    size_t n = 0;
    int c = EOF;
    bool any = false;
    while ((c = fgetc(file)) != EOF) {
        any = true;
        if (n < sizeof line - 1) line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[n] = '\0';
    return any;
}

bool blank(const char *text) {
    for (; *text; ++text)
        if (!isspace(static_cast<unsigned char>(*text))) return false;
    return true;
}

}  // namespace

bool next_auth_entry(FILE *file, int32_t &uid, char (&host)[256], char (&line)[256]) {
    while (read_line(file, line)) {
        if (char *comment = strchr(line, '#')) *comment = '\0';
        if (blank(line)) continue;
        int number = 0;
        if (sscanf(line, "%d %255s", &number, host) != 2) continue;
        uid = number;
        return true;
    }
    return false;
}
