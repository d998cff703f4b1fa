// Key events through the X server's XTEST extension: fake key presses that X delivers like those of
// a real keyboard, to whichever window has the keyboard focus. Used when /dev/uinput is not
// writable but an X display is reachable.
//
// Threads: the object opens its own connection to the display and uses nothing else, so it may be
// created on one thread and then used from another (the bridge queue), one thread at a time.
// (libX11 1.8 and later also make Xlib itself thread-safe without an explicit XInitThreads.)
//
// Errors: X errors on this connection are ignored (installX11ErrorHandler); losing the X server
// ends the process through Xlib's I/O error handler, as for every other X client.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "JoyrelayCore/GIP.hpp"
#include "KeyEvents.hpp"
#include "linux/X11Focus.hpp"  // XDisplayPtr

namespace joyrelay {

class XTestKeyEvents final : public KeyEvents {
public:
    // Opens `displayName` (nullptr: $DISPLAY), checks for XTEST and finds the key code of each key's
    // keysym. Returns nullptr when that fails, with `error` (if given) set to a line such as
    // "cannot open X display :0" or "X display :0 has no XTEST extension".
    static std::unique_ptr<XTestKeyEvents> create(const char* displayName = nullptr,
                                                  std::string* error = nullptr);

    // An event for one of the thirteen keys whose keysym the display's keyboard map has; nothing
    // otherwise.
    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override;

    // Sends one fake key press or release and flushes the connection. Modifier flags are not sent:
    // the Shift key's own press and release set X's shift state.
    void post(const KeyEvent& event) override;

    // The display's name, as Xlib reports it (":99", "localhost:10.0").
    std::string displayName() const;

private:
    struct Owned {};

public:
    XTestKeyEvents(Owned, XDisplayPtr display);

    // Releases every key this object left down (X, unlike the kernel for a uinput device, would
    // keep them down after the connection closes), then closes the connection.
    ~XTestKeyEvents() override;

private:
    XDisplayPtr display_;
    std::array<std::uint8_t, keys::count> keycodes_{};  // by ArcadeKey declaration index; 0 = none
    KeySet down_;                                       // keys posted down and not yet up
};

}  // namespace joyrelay
