#include "simulated/PrintedKeyEvents.hpp"

#include <string>

#include "JoyrelayCore/GIP.hpp"

namespace joyrelay {

std::optional<KeyEvent> PrintedKeyEvents::createKeyboardEvent(std::uint16_t virtualKey, bool down) {
    if (!arcadeKey(virtualKey)) return std::nullopt;
    return KeyEvent{virtualKey, down, std::nullopt};
}

void PrintedKeyEvents::post(const KeyEvent& event) {
    const std::optional<ArcadeKey> key = arcadeKey(event.virtualKey);
    if (!key) return;
    const std::string_view keyName = name(*key);
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%.3f %.*s %s\n", clock_ ? clock_() : 0.0,
                                static_cast<int>(keyName.size()), keyName.data(),
                                event.down ? "down" : "up");
    if (n > 0) std::fwrite(line, 1, static_cast<std::size_t>(n), out_);
}

}  // namespace joyrelay
