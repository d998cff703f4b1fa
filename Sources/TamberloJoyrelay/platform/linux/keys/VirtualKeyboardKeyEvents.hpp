// Key events through the Wayland compositor's virtual-keyboard protocol
// (zwp_virtual_keyboard_manager_v1, offered by sway and other wlroots compositors): the key output
// in a Wayland session when /dev/uinput is not writable. The compositor handles the keys like those
// of a physical keyboard and delivers them to the focused window, Wayland or XWayland.
//
// The keyboard is created once, at start, with its own XKB keymap that holds exactly the thirteen
// keys (evdev code + 8 as the XKB key code; US symbols, so Shift with 1 gives "!"), and kept for the
// program's life; it is never re-created per burst of keys.
//
// Ready when the compositor says so: a wlroots compositor adds the keyboard to the seat while it
// handles the create request, and takes keys once it has handled the keymap (a key before that is a
// protocol error), so create() returns once a round trip after both has come back. On a seat that
// already had a keyboard, that is all: clients keep their wl_keyboard, and the output is ready then.
// On a seat that had none (a headless session, a machine without a keyboard), the seat now announces
// one, and each client creates its wl_keyboard only once it has read that news; a key sent before is
// lost to it (the compositor names keys already down in the enter event, and clients such as wev do
// not take those for presses). create() also waits until the seat shows the keyboard on a connection of its own
// and a wl_keyboard made there has been answered (see SeatKeyboard), but no protocol says when the
// other clients have made theirs: under load a client read the news over 100 ms after this
// connection did. So on such a seat create() returns `clientGrace` after that. Until create() has
// returned, the program has no output, and the bridge keeps the keys it wants down.
//
// The compositor does not derive modifiers from a virtual keyboard's keys: after each key the
// modifier state (from libxkbcommon's state for the keymap) is sent along when it changed.
//
// Threads: created on one thread (the main thread at start; create() waits there for the round trips
// and the grace above), then used from one thread at a time (the bridge queue). It has its own
// Wayland connection. Errors: a compositor that refuses the keyboard (or offers no such protocol),
// or whose seat never shows it, makes create() fail; one that drops the connection later makes
// createKeyboardEvent() answer nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/linux/keys/EvdevKeyEvents.hpp"
#include "platform/linux/common/WaylandDisplay.hpp"

struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
struct wl_seat;
struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace joyrelay {

// The keymap text sent to the compositor (XKB v1 text format, as libxkbcommon writes it), or an
// empty text when libxkbcommon cannot build it.
std::string virtualKeyboardKeymap();

class VirtualKeyboardKeyEvents final : public EvdevKeyEvents {
public:
    // How long create() waits for the seat to show the new keyboard.
    static constexpr std::chrono::milliseconds seatLimit{5000};
    // On a seat that had no keyboard: the time the other clients get to create their wl_keyboard.
    static constexpr std::chrono::milliseconds clientGrace{250};

    // Connects to `displayName` (nullptr: $WAYLAND_DISPLAY), creates the keyboard on the first seat,
    // gives it the keymap and returns once it is ready (see above). Returns nullptr with `error` set to
    // one line when that fails ("the Wayland compositor offers no virtual keyboard
    // (zwp_virtual_keyboard_manager_v1)", "the Wayland compositor's seat shows no keyboard for the
    // virtual keyboard", ...).
    static std::unique_ptr<VirtualKeyboardKeyEvents> create(const char* displayName = nullptr,
                                                            std::string* error = nullptr);

    // The Wayland display's name ("wayland-1").
    const std::string& displayName() const { return displayName_; }

private:
    struct Owned {};

public:
    VirtualKeyboardKeyEvents(Owned, WaylandDisplayPtr display, std::string displayName);

    // Releases every key still down, waits until the compositor has handled that (a roundtrip),
    // then destroys the keyboard and closes the connection.
    ~VirtualKeyboardKeyEvents() override;

    // A roundtrip: returns once the compositor has handled every key sent so far. A client that
    // ends right after its last requests may otherwise lose them: the compositor drops a client
    // whose connection has closed without reading what is still in it, and then releases the keys
    // it believes down itself, last pressed first.
    void sync() override;

private:
    bool setUp(const char* displayName, std::string* error);
    // Sends the key (and the modifiers when they changed) and flushes the connection.
    void sendKey(std::uint16_t evdev, bool down) override;
    void drain();
    bool connected() const override;  // while the keyboard exists and the connection holds

    WaylandDisplayPtr display_;
    std::string displayName_;
    wl_seat* seat_ = nullptr;
    zwp_virtual_keyboard_manager_v1* manager_ = nullptr;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    std::unique_ptr<xkb_context, void (*)(xkb_context*)> context_;
    std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap_;
    std::unique_ptr<xkb_state, void (*)(xkb_state*)> state_;
    std::chrono::steady_clock::time_point epoch_;
    std::uint32_t modifiers_[4] = {0, 0, 0, 0};  // depressed, latched, locked, group as last sent
};

}  // namespace joyrelay
