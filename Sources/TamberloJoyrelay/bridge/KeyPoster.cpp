#include "bridge/KeyPoster.hpp"

namespace joyrelay {

void KeyPoster::post(ArcadeKey key, bool down) {
    std::optional<KeyEvent> event = events_.createKeyboardEvent(rawValue(key), down);
    if (!event) return;
    if (key == ArcadeKey::shift) KeyEvents::setFlags(*event, down ? shiftFlagMask : 0);
    events_.post(*event);
}

}  // namespace joyrelay
