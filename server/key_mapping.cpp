// Keycode translation between two displays' keymaps by keysym.
#include "key_mapping.h"

#include <algorithm>

namespace telvane::server {

namespace {

uint32_t at(const KeyboardMap &map, unsigned keycode, unsigned column) {
    if (keycode < map.min_keycode || column >= map.per_keycode) return 0;
    const size_t i = (keycode - map.min_keycode) * size_t{map.per_keycode} + column;
    return i < map.keysyms.size() ? map.keysyms[i] : 0;
}

}  // namespace

uint32_t base_keysym(const KeyboardMap &map, uint8_t keycode) {
    if (uint32_t s = at(map, keycode, 0)) return s;
    return at(map, keycode, 1);
}

std::optional<uint8_t> keycode_for(const KeyboardMap &map, uint32_t keysym) {
    if (keysym == 0 || map.per_keycode == 0) return std::nullopt;
    const unsigned keys = static_cast<unsigned>(map.keysyms.size() / map.per_keycode);
    const unsigned end = std::min(256u, map.min_keycode + keys);
    auto find = [&](unsigned first_column, unsigned end_column) -> std::optional<uint8_t> {
        for (unsigned k = map.min_keycode; k < end; ++k)
            for (unsigned c = first_column; c < end_column; ++c)
                if (at(map, k, c) == keysym) return static_cast<uint8_t>(k);
        return std::nullopt;
    };
    // A key that gives the keysym unshifted is preferred, so that no modifier is needed.
    if (auto k = find(0, 1)) return k;
    return find(1, map.per_keycode);
}

std::optional<uint8_t> translate_keycode(const KeyboardMap &from, const KeyboardMap &to, uint8_t keycode) {
    return keycode_for(to, base_keysym(from, keycode));
}

}  // namespace telvane::server
