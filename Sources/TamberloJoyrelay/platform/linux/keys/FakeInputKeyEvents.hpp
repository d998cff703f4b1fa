// Key events on KDE Plasma without uinput: KWin's org_kde_kwin_fake_input Wayland protocol
// (version 4, keyboard_key with evdev codes).
//
// KWin offers the protocol only to executables that a desktop file authorises: the package's
// tamberlo-joyrelay.desktop names the installed binary in Exec= and lists org_kde_kwin_fake_input in
// X-KDE-Wayland-Interfaces. Another binary (a build tree's) needs such a file of its own, for
// instance in ~/.local/share/applications, written before KWin starts.
//
// Created once and kept. Binding the protocol adds a keyboard to KWin's seat, and every client
// (browsers included) then drops and re-creates its wl_keyboard; keys sent before they are done are
// lost. So create() waits `settle` after authenticating (on the creating thread, once), and the
// connection stays for the life of the program: creating one per burst of keys would lose keys
// every time.
//
// Destroying the object releases every key still down, waits for KWin to have read everything
// (a round trip), and disconnects.
//
// Threads: created on any thread, then used from one thread at a time (the bridge queue). The
// Wayland connection is this object's own, so no other thread ever reads it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/linux/keys/EvdevKeyEvents.hpp"

struct wl_display;
struct wl_registry;
struct org_kde_kwin_fake_input;

namespace joyrelay {

class FakeInputKeyEvents final : public EvdevKeyEvents {
public:
    static constexpr std::chrono::milliseconds defaultSettle{500};

    // Connects to the Wayland display (WAYLAND_DISPLAY), binds org_kde_kwin_fake_input v4,
    // authenticates, and waits `settle`. Returns nullptr with `error` (if given) set to one line when
    // there is no Wayland display or KWin does not offer the protocol to this executable.
    static std::unique_ptr<FakeInputKeyEvents> create(std::string* error = nullptr,
                                                      std::chrono::milliseconds settle = defaultSettle);

    ~FakeInputKeyEvents() override;
    FakeInputKeyEvents(const FakeInputKeyEvents&) = delete;
    FakeInputKeyEvents& operator=(const FakeInputKeyEvents&) = delete;

    // Returns once KWin has read every request sent so far (a roundtrip).
    void sync() override;

    // The Wayland display's name, for the log line.
    const std::string& displayName() const { return displayName_; }

private:
    struct DisplayDisconnect {
        void operator()(wl_display* display) const;
    };
    struct RegistryDestroy {
        void operator()(wl_registry* registry) const;
    };
    struct FakeInputDestroy {
        void operator()(org_kde_kwin_fake_input* fake) const;
    };
    using DisplayPtr = std::unique_ptr<wl_display, DisplayDisconnect>;
    using RegistryPtr = std::unique_ptr<wl_registry, RegistryDestroy>;
    using FakeInputPtr = std::unique_ptr<org_kde_kwin_fake_input, FakeInputDestroy>;

    FakeInputKeyEvents() = default;
    bool connected() const override;  // until KWin closes the connection
    void sendKey(std::uint16_t evdev, bool down) override;  // keyboard_key, flushed
    // Reads what KWin sent, waiting up to `wait` for it (on the key path: not at all), so that its few
    // events never pile up.
    void readPendingEvents(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

    // Declared so that they are destroyed in the right order: the protocol objects, then the display.
    DisplayPtr display_;
    RegistryPtr registry_;
    FakeInputPtr fake_;
    std::string displayName_;
};

}  // namespace joyrelay
