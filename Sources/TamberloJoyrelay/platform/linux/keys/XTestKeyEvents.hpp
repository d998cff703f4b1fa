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

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "JoyrelayCore/GIP.hpp"
#include "contracts/KeyEvents.hpp"
#include "platform/linux/common/X11Display.hpp"

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

    // With the check on (see checkPresses), grabs the server, and answers whether the active window
    // (_NET_ACTIVE_WINDOW) is a browser by its WM_CLASS, holds the keyboard focus, and no other client
    // holds the keyboard grab (a screen locker, a password prompt): the keys would go to that client.
    // The grab is tried (XGrabKeyboard on the root window): AlreadyGrabbed or GrabFrozen mean someone
    // else has it; when it succeeds it is let go at once. The server stays grabbed until
    // endPresses(), so no other client can move the focus or take the keyboard between the answer
    // and the presses; that grab spans the fewest requests that can answer (the window's class and
    // the focus window's place in the tree are remembered). Without the check: true, and nothing is
    // grabbed.
    bool beginPresses() override;
    void endPresses() override;

    // The number of requests sent while the server was grabbed, the grab and its release included, for
    // the last beginPresses/endPresses pair (for the benchmark).
    unsigned long lastGrabRequests() const { return lastGrabRequests_; }

    // XSync: returns once the X server has processed every request sent so far.
    void sync() override;

    // Turns the check of the window that presses would reach on or off (off at creation).
    void checkPresses(bool on) { checkPresses_ = on; }

    // Starts `program` as the guard of this output: a process of its own with its own connection
    // to the display, which releases every one of the thirteen keys once this process has ended,
    // however it ended (the kernel tells it, through a pidfd; where there is none, end-of-file on a
    // pipe only this process holds). Closing this output closes the pipe, which ends it. Returns false
    // with `error` set when it could not be started.
    bool startGuard(const std::filesystem::path& program, std::string* error = nullptr);
    pid_t guardPid() const { return guardPid_; }

    // The display's key code of each key (0: the keyboard map has none), by declaration index.
    const std::array<std::uint8_t, keys::count>& keycodes() const { return keycodes_; }

    // The display's name, as Xlib reports it (":99", "localhost:10.0").
    std::string displayName() const;

private:
    struct Owned {};

public:
    XTestKeyEvents(Owned, XDisplayPtr display);

    // Releases every key this object left down (X, unlike the kernel for a uinput device, would
    // keep them down after the connection closes), then closes the connection; the guard is told
    // to end and waited for.
    ~XTestKeyEvents() override;

private:
    bool pressTargetIsBrowser();
    bool keyboardGrabbedElsewhere();

    XDisplayPtr display_;
    unsigned long root_ = 0;
    X11ActiveWindowReader activeWindow_;  // on display_, inside the server grab
    unsigned long classWindow_ = 0;      // the window whose WM_CLASS was last read ...
    bool classIsBrowser_ = false;        // ... and whether it named a browser
    unsigned long insideWindow_ = 0;     // a focus window found inside ...
    unsigned long insideOf_ = 0;         // ... this active window
    unsigned long grabStart_ = 0;        // the request number of the last server grab
    unsigned long lastGrabRequests_ = 0;
    bool checkPresses_ = false;
    bool grabbed_ = false;
    int guardPipe_ = -1;                 // write end; the guard sees end-of-file when it closes
    pid_t guardPid_ = -1;
    std::array<std::uint8_t, keys::count> keycodes_{};  // by ArcadeKey declaration index; 0 = none
    KeySet down_;                                       // keys posted down and not yet up
};

}  // namespace joyrelay
