// The thirteen keys in Linux terms: one table from each key's macOS virtual key code (the raw value
// of ArcadeKey) to its evdev code (uinput) and its X keysym (XTest).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "JoyrelayCore/GIP.hpp"

namespace joyrelay::linux_keys {

struct KeyCodeEntry {
    ArcadeKey key;
    std::uint16_t evdev;   // KEY_* from <linux/input-event-codes.h>
    std::uint32_t keysym;  // XK_* from <X11/keysym.h>
};

// Every key once, in ArcadeKey's declaration order (keys::index(key) is its row).
std::span<const KeyCodeEntry> keyCodeTable();

// The evdev code for a macOS virtual key code, or nothing when it is not one of the thirteen keys.
std::optional<std::uint16_t> evdevCode(std::uint16_t virtualKey);

}  // namespace joyrelay::linux_keys
