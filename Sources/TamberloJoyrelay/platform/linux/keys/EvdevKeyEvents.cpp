#include "platform/linux/keys/EvdevKeyEvents.hpp"

#include <utility>

#include "platform/linux/keys/KeyCodes.hpp"

namespace joyrelay {

std::optional<KeyEvent> EvdevKeyEvents::createKeyboardEvent(std::uint16_t virtualKey, bool down) {
    if (!linux_keys::evdevCode(virtualKey) || !connected()) return std::nullopt;
    return KeyEvent{virtualKey, down, std::nullopt};
}

void EvdevKeyEvents::post(const KeyEvent& event) {
    const std::optional<std::uint16_t> code = linux_keys::evdevCode(event.virtualKey);
    const std::optional<ArcadeKey> key = arcadeKey(event.virtualKey);
    if (!code || !key || !connected()) return;
    sendKey(*code, event.down);
    if (event.down) {
        down_.insert(*key);
    } else {
        down_.erase(*key);
    }
}

void EvdevKeyEvents::releaseKeysDown() {
    const KeySet stillDown = std::exchange(down_, KeySet{});
    if (!connected()) return;
    for (ArcadeKey key : stillDown) {
        if (const auto code = linux_keys::evdevCode(rawValue(key))) sendKey(*code, false);
    }
}

}  // namespace joyrelay
