#include "platform/simulated/PrintedKeyEvents.hpp"

#include <cerrno>
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
    if (writeError_ != 0) return;
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%.3f %.*s %s\n", clock_ ? clock_() : 0.0,
                                static_cast<int>(keyName.size()), keyName.data(),
                                event.down ? "down" : "up");
    // snprintf counts what it would have written; only what is in the buffer may be written.
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof line) return;
    errno = 0;
    if (std::fwrite(line, 1, static_cast<std::size_t>(n), out_) != static_cast<std::size_t>(n) ||
        std::ferror(out_)) {
        writeError_ = errno != 0 ? errno : EIO;
    }
}

void PrintedKeyEvents::flush() {
    errno = 0;
    if (std::fflush(out_) != 0 && writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
}

}  // namespace joyrelay
