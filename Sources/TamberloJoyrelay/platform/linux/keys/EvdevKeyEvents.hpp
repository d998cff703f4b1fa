// What the key outputs that send evdev codes over a connection of their own have in common (KWin's
// fake input, Mutter's remote desktop, the Wayland virtual keyboard): they create events for the
// thirteen keys while the connection holds, send each posted key as its evdev code, and remember
// which keys are down so that closing the output lets go of them.
//
// Threads: as KeyEvents; the set of keys down is touched only by post() and the closing output.
#pragma once

#include <cstdint>
#include <optional>

#include "JoyrelayCore/GIP.hpp"
#include "contracts/KeyEvents.hpp"

namespace joyrelay {

class EvdevKeyEvents : public KeyEvents {
public:
    // An event for one of the thirteen keys while connected(); nothing for any other code, or once
    // the connection is lost.
    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) final;

    // Sends the key's evdev code (when connected) and notes whether it is down. Modifier flags are
    // not sent: Shift is a key of its own here, so its press and release carry the shift state.
    void post(const KeyEvent& event) final;

    // Each of these outputs is confirmed by its compositor before create() returns: ready from then
    // until the connection is lost.
    bool ready() const override { return connected(); }

protected:
    // Whether keys can still go out.
    virtual bool connected() const = 0;
    // Sends one press or release; called only while connected().
    virtual void sendKey(std::uint16_t evdev, bool down) = 0;

    // Sends a release for every key still down (when connected) and forgets them. For the
    // destructor of the output, before it closes its connection.
    void releaseKeysDown();

private:
    KeySet down_;  // keys pressed and not yet released (a fixed set: nothing allocated per key)
};

}  // namespace joyrelay
