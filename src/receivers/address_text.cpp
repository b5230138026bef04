// Address-book text rules: cleaning, display-name normalisation, alias lines and word matching.
#include "address_text.h"

#include "platform/files.h"

#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int parse_comments(char *line) {
    if (!line) return 1;
    char *out = line;
    bool word_start = true;
    for (const char *in = line; *in; ++in) {
        char c = *in;
        if (c == '#' && word_start) break;
        if (c == '\n') break;
        // A carriage return is a blank too, so books saved with DOS line ends read the same.
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!word_start) *out++ = ' ';
            word_start = true;
            continue;
        }
        *out++ = c;
        word_start = false;
    }
    *out = '\0';
    if (out == line) return 1;
    while (out > line && out[-1] == ' ') *--out = '\0';
    return 0;
}

char *parse_display_name(const char *name) {
    if (!name) return nullptr;
    size_t length = strlen(name);
    char *copy = static_cast<char *>(malloc(length + 5));
    if (!copy) return nullptr;
    memcpy(copy, name, length + 1);
    char *p = copy;
    for (; *p && *p != ':'; ++p) *p = ascii_lower(*p);
    if (!*p) {
        strcat(copy, ":0.0");
        return copy;
    }
    ++p;
    if (!*p) {
        strcat(copy, "0.0");
        return copy;
    }
    while (ascii_digit(*p)) ++p;
    if (!*p) {
        strcat(copy, ".0");
        return copy;
    }
    if (*p == '.') {
        ++p;
        if (!*p) {
            strcat(copy, "0");
            return copy;
        }
    }
    while (ascii_digit(*p)) ++p;
    if (!*p) return copy;
    free(copy);
    return nullptr;
}

char *final_alias_line(const char *alias, const char *display) {
    if (!alias) alias = "";
    if (!display) display = "";
    size_t alias_length = strlen(alias);
    size_t display_length = strlen(display);
    size_t room = (alias_length < 59 ? 61 : alias_length + 2) + display_length + 1;
    char *line = static_cast<char *>(malloc(room));
    if (!line) return nullptr;
    memcpy(line, alias, alias_length);
    size_t column = alias_length;
    if (alias_length < 59) {
        // The column right after the alias stays blank, so the alias never runs into a dot.
        line[column++] = ' ';
        for (; column <= 59; ++column) line[column] = (column % 4 == 0) ? '.' : ' ';
        line[column++] = ' ';
    } else {
        line[column++] = ' ';
        line[column++] = ' ';
    }
    memcpy(line + column, display, display_length + 1);
    return line;
}

char *parse_tabs(const char *text) {
    if (!text) text = "";
    size_t tabs = 0, length = 0;
    for (const char *p = text; *p; ++p, ++length) tabs += (*p == '\t');
    char *out = static_cast<char *>(malloc(length + tabs * 7 + 1));
    if (!out) return nullptr;
    size_t column = 0;
    for (const char *p = text; *p; ++p) {
        if (*p == '\t') {
            do {
                out[column++] = ' ';
            } while (column % 8 != 0);
        } else {
            out[column++] = *p;
        }
    }
    out[column] = '\0';
    return out;
}

int grep_word_match(const char *pattern, const char *text, int ignore_case, int flags) {
    if (!text || !*text) return 0;
    if (!pattern) pattern = "";
    if (!*pattern) return (flags & 1) ? 1 : 0;
    size_t pattern_length = strlen(pattern);
    auto same = [ignore_case](char a, char b) {
        return ignore_case ? ascii_lower(a) == ascii_lower(b) : a == b;
    };
    auto try_at = [&](const char *start) {
        size_t i = 0;
        for (; i < pattern_length; ++i) {
            if (!start[i] || !same(start[i], pattern[i])) return false;
        }
        if (flags & 1) return true;
        return start[i] == '\0' || start[i] == ' ';
    };
    if ((flags & 2) && try_at(text)) return 1;
    // Leading blanks belong to the first word, which is a candidate only with flag 2.
    const char *first = text;
    while (*first == ' ') ++first;
    for (const char *p = first; *p; ++p) {
        // A word starts after a blank; runs of blanks do not make empty words.
        if (*p == ' ' && p[1] && p[1] != ' ' && try_at(p + 1)) return 1;
    }
    return 0;
}

int parse_address_line(const char *line, AddressEntry *entry) {
    if (!line || !entry) return 0;
    char *copy = strdup(line);
    if (!copy) return 0;
    if (parse_comments(copy)) {
        free(copy);
        return 0;
    }
    char *blank = strchr(copy, ' ');
    const char *alias = blank ? blank + 1 : copy;
    if (blank) *blank = '\0';
    char *display = parse_display_name(copy);
    if (!display) {
        free(copy);
        return -1;
    }
    entry->display = display;
    entry->alias = strdup(alias);
    free(copy);
    return 1;
}

int read_address_lines(const char *path, void (*fn)(const char *line, void *data), void *data) {
    FILE *file = path ? platform_fopen_regular(path, "r") : nullptr;
    if (!file) return 0;
    char buffer[1000];
    while (fgets(buffer, sizeof buffer, file)) {
        size_t n = strlen(buffer);
        if (n > 0 && buffer[n - 1] == '\n') buffer[--n] = '\0';
        fn(buffer, data);
    }
    fclose(file);
    return 1;
}

char *typed_form_of_row(const char *row) {
    if (!row) return nullptr;
    const char *blank = strrchr(row, ' ');
    if (!blank) return nullptr;
    size_t alias_length = static_cast<size_t>(blank - row);
    while (alias_length > 0 && (row[alias_length - 1] == ' ' || row[alias_length - 1] == '.')) --alias_length;
    std::string typed = std::string(blank + 1) + " " + std::string(row, alias_length);
    return strdup(typed.c_str());
}

int display_matches_typed(const char *display_name, const char *typed) {
    if (!display_name || !typed) return 0;
    const char *d = display_name, *t = typed;
    while (*d && *t && ascii_lower(*d) == ascii_lower(*t)) {
        ++d;
        ++t;
    }
    if (*t) return 0;
    if (*d == '\0' || *d == ':') return 1;
    if (*d != '.') return 0;
    if (!isdigit(static_cast<unsigned char>(typed[0]))) return 1;
    for (const char *c = typed; *c; ++c) {
        if (*c == ':') return 1;
        if (!isdigit(static_cast<unsigned char>(*c)) && *c != '.') return 0;
    }
    return 1;
}
