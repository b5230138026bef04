#pragma once
// Keycodes of one display turned into keycodes of another by what the keys mean: receivers and
// the sender may have different keyboards, so a keycode is only meaningful with its own
// display's keymap. Pure; the maps come from GetKeyboardMapping.

#include <cstdint>
#include <optional>
#include <vector>

namespace telvane::server {

// A display's core keymap: `per_keycode` keysyms for each keycode from `min_keycode` on.
struct KeyboardMap {
    uint8_t min_keycode = 8;
    uint8_t per_keycode = 0;
    std::vector<uint32_t> keysyms;
};

// The keysym a key stands for without modifiers: its first column, or its second when the first
// is empty. 0 when the keycode carries nothing.
uint32_t base_keysym(const KeyboardMap &map, uint8_t keycode);

// The keycode that produces `keysym`: the lowest keycode with it in the first column, else the
// lowest with it in any column. Nothing when no key carries it.
std::optional<uint8_t> keycode_for(const KeyboardMap &map, uint32_t keysym);

// The keycode in `to` for the key `keycode` of `from`. Nothing when the key means nothing in
// `from` or `to` has no key for it.
std::optional<uint8_t> translate_keycode(const KeyboardMap &from, const KeyboardMap &to, uint8_t keycode);

}  // namespace telvane::server
