#include "platform/linux/keys/KeyCodes.hpp"

#include <X11/keysym.h>
#include <linux/input-event-codes.h>

#include <array>

namespace joyrelay::linux_keys {

namespace {

// Shift is the left Shift key, Enter the main Return key (not the keypad's), the digits the row
// above the letters: the keys a browser reports as "ShiftLeft", "Enter", "Digit1" and "Digit2".
constexpr std::array<KeyCodeEntry, keys::count> table = {{
    {ArcadeKey::space, KEY_SPACE, XK_space},
    {ArcadeKey::enter, KEY_ENTER, XK_Return},
    {ArcadeKey::escape, KEY_ESC, XK_Escape},
    {ArcadeKey::shift, KEY_LEFTSHIFT, XK_Shift_L},
    {ArcadeKey::arrowLeft, KEY_LEFT, XK_Left},
    {ArcadeKey::arrowRight, KEY_RIGHT, XK_Right},
    {ArcadeKey::arrowDown, KEY_DOWN, XK_Down},
    {ArcadeKey::arrowUp, KEY_UP, XK_Up},
    {ArcadeKey::z, KEY_Z, XK_z},
    {ArcadeKey::x, KEY_X, XK_x},
    {ArcadeKey::c, KEY_C, XK_c},
    {ArcadeKey::one, KEY_1, XK_1},
    {ArcadeKey::two, KEY_2, XK_2},
}};

static_assert(
    [] {
        for (std::size_t i = 0; i < keys::count; ++i) {
            if (table[i].key != keys::allCases[i]) return false;
        }
        return true;
    }(),
    "the table follows ArcadeKey's declaration order");

const KeyCodeEntry* find(std::uint16_t virtualKey) {
    for (const KeyCodeEntry& entry : table) {
        if (rawValue(entry.key) == virtualKey) return &entry;
    }
    return nullptr;
}

}  // namespace

std::span<const KeyCodeEntry> keyCodeTable() {
    return table;
}

std::optional<std::uint16_t> evdevCode(std::uint16_t virtualKey) {
    if (const KeyCodeEntry* entry = find(virtualKey)) return entry->evdev;
    return std::nullopt;
}

}  // namespace joyrelay::linux_keys
