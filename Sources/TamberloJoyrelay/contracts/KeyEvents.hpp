// The event-injection contract: how one key press or release leaves the program.
//
// A backend turns a macOS virtual key code (the raw value of an ArcadeKey) into whatever its
// platform injects at the level of hardware keyboard input: a uinput virtual keyboard, an XTest
// fake key event, a printed line, or a recorded value in tests.
//
// Threads: every operation is called from one thread at a time (the bridge queue); backends need no
// lock of their own unless they share state with another thread. The callback given to whenReady()
// is the one exception: it may run on whichever thread the output became ready on.
//
// Readiness: an output is ready once the receiving side has confirmed it (a Wayland compositor has
// answered after adding its keyboard to the seat, a D-Bus service has started its session). Before
// that, and after the output has lost its connection, a press posted would go nowhere, so callers
// post presses only while ready() answers true, and keep the keys they wanted down until then.
#pragma once

#include <cstdint>
#include <functional>
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

    // Whether a press posted now goes out (see Readiness). Releases may be posted at any time; one
    // that cannot go out is dropped, as is a transition whose event cannot be created.
    virtual bool ready() const { return true; }

    // Asks for `callback` to run once, when the output becomes ready: at once, on the calling thread,
    // when it is ready already; otherwise later, on the thread that saw it become ready (never with a
    // lock of the output's held). A second call replaces a callback that has not run yet. An output
    // that never becomes ready never calls it.
    virtual void whenReady(std::function<void()> callback) {
        if (callback) callback();
    }

    // Returns once everything posted so far has been handled by the receiving side (an X server
    // has processed every request). Backends whose writes are complete when post() returns do
    // nothing.
    virtual void sync() {}
};

}  // namespace joyrelay
