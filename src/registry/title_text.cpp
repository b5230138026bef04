// Title marks on titles in their own encodings, without X.
#include "registry/title_text.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

constexpr char kEscape = '\x1b';
constexpr unsigned char kCsi = 0x9b;   // compound text's directionality sequences start so
// Back to ASCII in GL, and to the upper half of Latin-1 in GR: compound text's initial state.
const std::string kBackToAscii = "\x1b(B", kBackToLatin1 = "\x1b-A";

bool ends_with(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The code points of `text` read as UTF-8; nothing when it is not valid UTF-8.
std::optional<std::vector<uint32_t>> utf8_code_points(const std::string &text) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const int more = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : -1;
        if (more < 0 || text.size() - i <= static_cast<size_t>(more)) return std::nullopt;
        uint32_t cp = more == 0 ? c : c & (0x3f >> more);
        for (int k = 1; k <= more; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xc0) != 0x80) return std::nullopt;
            cp = cp << 6 | (t & 0x3f);
        }
        out.push_back(cp);
        i += more + 1;
    }
    return out;
}

std::string utf8_of(uint32_t cp) {
    if (cp < 0x80) return std::string(1, static_cast<char>(cp));
    if (cp < 0x800) return {static_cast<char>(0xc0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3f))};
    if (cp < 0x10000)
        return {static_cast<char>(0xe0 | cp >> 12), static_cast<char>(0x80 | (cp >> 6 & 0x3f)),
                static_cast<char>(0x80 | (cp & 0x3f))};
    return {static_cast<char>(0xf0 | cp >> 18), static_cast<char>(0x80 | (cp >> 12 & 0x3f)),
            static_cast<char>(0x80 | (cp >> 6 & 0x3f)), static_cast<char>(0x80 | (cp & 0x3f))};
}

// Compound text read through its escape sequences: which bytes are characters of ASCII (GL while
// it holds ASCII, or a UTF-8 segment) or of Latin-1's upper half (GR while it holds that).
std::string compound_text_view(const std::string &text) {
    std::string out(text.size(), '\0');
    bool gl_ascii = true, gr_latin1 = true, utf8_segment = false;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == kEscape || c == kCsi) {
            // Intermediate (or, after CSI, parameter) bytes, then one final byte.
            const unsigned char last = c == kCsi ? 0x3f : 0x2f;
            size_t end = i + 1;
            while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x20 &&
                   static_cast<unsigned char>(text[end]) <= last)
                ++end;
            if (end >= text.size()) break;   // cut short: what is left is no text
            const std::string seq = text.substr(i + 1, end - i);
            i = end + 1;
            if (c == kCsi) continue;
            if (seq == "%G") {
                utf8_segment = true;
            } else if (seq == "%@") {
                utf8_segment = false;
            } else if (seq.size() == 3 && seq.compare(0, 2, "%/") == 0) {
                // An extended segment: two bytes of length, then that many bytes of its own.
                if (i + 2 > text.size()) break;
                const size_t length = (static_cast<size_t>(text[i] & 0x7f) << 7) | (text[i + 1] & 0x7f);
                i = std::min(text.size(), i + 2 + length);
            } else if (seq[0] == '(') {
                gl_ascii = seq == "(B";
            } else if (seq[0] == '$') {
                (seq.size() == 3 && seq[1] != '(' ? gr_latin1 : gl_ascii) = false;
            } else if (seq[0] == ')' || seq[0] == '-') {
                gr_latin1 = seq == "-A";
            }
            continue;
        }
        const bool character = c < 0x80 ? utf8_segment || gl_ascii || c <= 0x20 : !utf8_segment && gr_latin1 && c >= 0xa0;
        if (character) out[i] = text[i];
        ++i;
    }
    return out;
}

// What goes between a title and the suffix after it.
std::string glue(TitleEncoding encoding, const std::string &suffix) {
    if (encoding != TitleEncoding::CompoundText || suffix.empty()) return {};
    const bool upper = std::any_of(suffix.begin(), suffix.end(), [](char c) { return c & 0x80; });
    return upper ? kBackToAscii + kBackToLatin1 : kBackToAscii;
}

}  // namespace

std::string mark_in(const char *mark, TitleEncoding encoding) {
    const std::string text = mark ? mark : "";
    auto points = utf8_code_points(text);
    if (!points) {   // Latin-1
        points.emplace();
        for (char c : text) points->push_back(static_cast<unsigned char>(c));
    }
    std::string out;
    for (uint32_t cp : *points) {
        if (encoding == TitleEncoding::Utf8) out += utf8_of(cp);
        else out += cp < 0x80 || (cp >= 0xa0 && cp <= 0xff) ? static_cast<char>(cp) : '?';
    }
    return out;
}

std::string title_view(const std::string &title, TitleEncoding encoding) {
    return encoding == TitleEncoding::CompoundText ? compound_text_view(title) : title;
}

bool title_marked(const std::string &title, TitleEncoding encoding, const char *prepend) {
    const std::string front = mark_in(prepend, encoding);
    return title_view(title, encoding).compare(0, front.size(), front) == 0;
}

std::string marked_title(const std::string &title, TitleEncoding encoding, const char *prepend,
                         const char *append) {
    const std::string front = mark_in(prepend, encoding), back = mark_in(append, encoding);
    if (ends_with(front + title_view(title, encoding), back)) return front + title;
    return front + title + glue(encoding, back) + back;
}

std::optional<std::string> unmarked_title(const std::string &title, TitleEncoding encoding, const char *prepend,
                                          const char *append) {
    const std::string front = mark_in(prepend, encoding), back = mark_in(append, encoding);
    const std::string view = title_view(title, encoding);
    if (view.size() < front.size() || view.compare(0, front.size(), front) != 0) return std::nullopt;
    std::string rest = title.substr(front.size());
    const std::string rest_view = view.substr(front.size());
    if (!back.empty() && std::count(rest_view.begin(), rest_view.end(), ']') == 1 && ends_with(rest_view, back)) {
        rest.resize(rest.size() - back.size());
        if (const std::string g = glue(encoding, back); ends_with(rest, g)) rest.resize(rest.size() - g.size());
    }
    return rest;
}
