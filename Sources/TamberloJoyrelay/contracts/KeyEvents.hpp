// The event-injection contract: how one key press or release leaves the program.
//
// A backend turns a macOS virtual key code (the raw value of an ArcadeKey) into whatever its
// platform injects at the level of hardware keyboard input: a uinput virtual keyboard, an XTest
// fake key event, a printed line, or a recorded value in tests.
//
// Threads: every operation is called from one thread at a time (the bridge queue); backends need no
// lock of their own unless they share state with another thread.
#pragma once

#include <cstdint>
#include <optional>

namespace joyrelay {

// The platform's shift modifier mask (bit 17), set explicitly on Shift's own events.
inline constexpr std::uint64_t shiftFlagMask = 0x20000;

// One keyboard event, created by a backend and not yet posted.
struct KeyEvent {
    std::uint16_t virtualKey = 0;         // macOS virtual key code
    bool down = false;                    // key down (true) or key up (false)
    std::optional<std::uint64_t> flags;   // an explicit modifier mask; none means "left as created"
};

class KeyEvents {
public:
    virtual ~KeyEvents() = default;

    // Creates an event for `virtualKey` going down or up. Returns nothing when no event could be
    // created (an unknown key code, a backend that lost its device or display); the caller then
    // drops that one transition. Never throws.
    virtual std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) = 0;

    // Replaces the event's modifier flags with `mask`.
    static void setFlags(KeyEvent& event, std::uint64_t mask) { event.flags = mask; }

    // Injects the event. Reports nothing: a failure to deliver is the platform's affair.
    virtual void post(const KeyEvent& event) = 0;

    // Called before key presses are posted, and answers whether they may go down: false when the
    // backend can see that the window they would reach now is not one keys are meant for. The
    // backend may hold the desktop still until endPresses(), so that the answer stays true for the
    // presses that follow. Backends that cannot tell answer true.
    virtual bool beginPresses() { return true; }
    virtual void endPresses() {}

    // Returns once everything posted so far has been handled by the receiving side (an X server
    // has processed every request). Backends whose writes are complete when post() returns do
    // nothing.
    virtual void sync() {}
};

}  // namespace joyrelay
