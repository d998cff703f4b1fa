#include "linux/XTestKeyEvents.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "linux/KeyCodes.hpp"

namespace joyrelay {

std::unique_ptr<XTestKeyEvents> XTestKeyEvents::create(const char* displayName, std::string* error) {
    XDisplayPtr display = openX11Display(displayName, error);
    if (!display) return nullptr;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor)) {
        if (error) {
            *error = std::string("X display ") + DisplayString(display.get()) + " has no XTEST extension";
        }
        return nullptr;
    }
    return std::make_unique<XTestKeyEvents>(Owned{}, std::move(display));
}

XTestKeyEvents::XTestKeyEvents(Owned, XDisplayPtr display) : display_(std::move(display)) {
    for (const linux_keys::KeyCodeEntry& entry : linux_keys::keyCodeTable()) {
        keycodes_[keys::index(entry.key)] = XKeysymToKeycode(display_.get(), entry.keysym);
    }
}

std::optional<KeyEvent> XTestKeyEvents::createKeyboardEvent(std::uint16_t virtualKey, bool down) {
    const std::optional<ArcadeKey> key = arcadeKey(virtualKey);
    if (!key || keycodes_[keys::index(*key)] == 0) return std::nullopt;
    return KeyEvent{virtualKey, down, std::nullopt};
}

void XTestKeyEvents::post(const KeyEvent& event) {
    const std::optional<ArcadeKey> key = arcadeKey(event.virtualKey);
    if (!key) return;
    const std::uint8_t code = keycodes_[keys::index(*key)];
    if (code == 0) return;
    XTestFakeKeyEvent(display_.get(), code, event.down ? True : False, CurrentTime);
    XFlush(display_.get());
    if (event.down) {
        down_.insert(*key);
    } else {
        down_.erase(*key);
    }
}

XTestKeyEvents::~XTestKeyEvents() {
    const KeySet stillDown = down_;
    for (ArcadeKey key : stillDown) post(KeyEvent{rawValue(key), false, std::nullopt});
    XSync(display_.get(), False);
}

std::string XTestKeyEvents::displayName() const {
    return DisplayString(display_.get());
}

}  // namespace joyrelay
