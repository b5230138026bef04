// The whiteboard's rules without X.
#include "board_rules.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace whiteboard {

Rect marked_rect(int x0, int y0, int x1, int y1, int screen_width, int screen_height) {
    int left = std::max(std::min(x0, x1), 0);
    int top = std::max(std::min(y0, y1), 0);
    int right = std::min(std::max(x0, x1), screen_width - 1);
    int bottom = std::min(std::max(y0, y1), screen_height - 1);
    Rect r{left, top, right - left + 1, bottom - top + 1};
    if (r.width <= 0 || r.height <= 0) return Rect{};
    return r;
}

ImageFormat format_for(std::string_view path) {
    auto ends_with = [&](std::string_view ext) {
        if (path.size() <= ext.size()) return false;
        std::string_view tail = path.substr(path.size() - ext.size());
        for (size_t i = 0; i < ext.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(tail[i])) != ext[i]) return false;
        // A name that is only the extension names no picture.
        return path[path.size() - ext.size() - 1] != '/';
    };
    if (ends_with(".png")) return ImageFormat::Png;
    if (ends_with(".xpm")) return ImageFormat::Xpm;
    return ImageFormat::Unknown;
}

bool parse_words(int argc, char **argv, bool *grab, int *bad) {
    *grab = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-grab") == 0) {
            *grab = true;
        } else if (std::strcmp(argv[i], "--") != 0) {
            *bad = i;
            return false;
        }
    }
    return true;
}

}  // namespace whiteboard
