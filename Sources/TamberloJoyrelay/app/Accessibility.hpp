// The permission to post keys. On Linux it is not a switch in the system settings but access to a
// way of posting them: /dev/uinput open for writing, a Wayland compositor's virtual keyboard, or an
// X display with the XTEST extension. The
// program has the permission once it holds such a key output; until then it keeps trying, so that
// access granted while it runs (the udev rule installed, uinput loaded) is picked up without a
// restart.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "contracts/DesktopServices.hpp"
#include "contracts/KeyEvents.hpp"
#include "platform/linux/keys/KeyOutput.hpp"

namespace joyrelay {

namespace Accessibility {

// The address of the local page that explains how to give the program access to /dev/uinput and the
// stick (help.html with the maker's pages).
std::string settingsURL();

// Opens that page with the user's default browser.
void openSettings(DesktopServices& desktop);

}  // namespace Accessibility

// The key output, opened when it can be: the answer to the permission check.
class KeyOutputAccess {
public:
    // `wanted`: the output the command line names, or nothing to take the first that works
    // (uinput, then the virtual keyboard in a Wayland session or XTest in an X11 one).
    explicit KeyOutputAccess(std::optional<KeyOutputKind> wanted,
                             KeyOutputOpeners openers = KeyOutputOpeners::system());
    KeyOutputAccess(const KeyOutputAccess&) = delete;
    KeyOutputAccess& operator=(const KeyOutputAccess&) = delete;

    // Main thread. True once a key output is open. While none is, each call tries to open one; the
    // first attempt logs its "Key output: ..." line whatever the outcome, later ones only when they
    // succeed.
    bool check();

    // The events the bridge posts through. Until an output is open, no event can be created (every
    // transition is dropped); afterwards they go to that output. Safe to use from the bridge queue
    // while the main thread opens the output.
    KeyEvents& events() { return slot_; }

    // What is open, if anything.
    std::optional<KeyOutputKind> kind() const;

    // The reason the last attempt gave, when nothing is open.
    const std::string& reason() const { return reason_; }

private:
    class Slot final : public KeyEvents {
    public:
        std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override;
        void post(const KeyEvent& event) override;
        bool beginPresses() override;
        void endPresses() override;
        void sync() override;
        std::atomic<KeyEvents*> target{nullptr};  // set once, never changed afterwards
    };

    std::optional<KeyOutputKind> wanted_;
    KeyOutputOpeners openers_;
    std::unique_ptr<KeyEvents> output_;
    std::atomic<int> kind_{-1};
    bool tried_ = false;
    std::string reason_;
    Slot slot_;
};

}  // namespace joyrelay
