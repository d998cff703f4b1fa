// A focus provider: where the program learns which application has the keyboard focus on one kind
// of desktop session. One is chosen once at start from the session (X11, sway, Hyprland, another
// wlroots compositor, KDE Plasma, GNOME) and logged once as "Focus: NAME".
//
// Threads: created, asked and dispatched on the main thread only. A provider that reads a
// descriptor (an X connection, a socket, a Wayland display) exposes it through fd() for the event
// loop to watch and reads it in dispatch(); one that lives on Qt's own D-Bus connection returns -1
// from fd() and calls the change handler from Qt's event loop.
//
// Errors: a provider never throws. When it cannot tell what has the focus (the compositor went
// away, an extension is missing) frontmost() answers nothing, which closes the gate, and problem()
// says why in one line for the menu and the log.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "contracts/DesktopServices.hpp"
#include "contracts/FocusNow.hpp"

namespace joyrelay {

class FocusProvider {
public:
    virtual ~FocusProvider() = default;

    // The name logged at start after "Focus: " ("X11 active window", "sway IPC", ...).
    virtual std::string name() const = 0;

    // The application that has the focus now, as far as the provider knows: nothing when no window
    // has it, or when the provider cannot tell (see problem()).
    virtual std::optional<FrontmostApplication> frontmost() = 0;

    // A descriptor that becomes readable when dispatch() has work, or -1 when the provider needs no
    // watching (it is driven by Qt's event loop itself).
    virtual int fd() const { return -1; }

    // Reads whatever is pending without blocking, and calls the change handler when the focused
    // application may have changed.
    virtual void dispatch() {}

    // Why the focus cannot be read right now, in one line that says what to do about it; nothing
    // while the provider works.
    virtual std::optional<std::string> problem() const { return std::nullopt; }

    // A way to ask the desktop for the focus at the moment a key goes down, from the bridge queue
    // (see FocusNow), or nullptr where the desktop cannot be asked at once. Main thread; the asker
    // has connections of its own and may outlive the provider.
    virtual std::shared_ptr<FocusNow> focusNow() { return nullptr; }

    // The handler called on the main thread whenever the focused application may have changed.
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

protected:
    void notifyChanged() const {
        if (changed_) changed_();
    }

private:
    std::function<void()> changed_;
};

}  // namespace joyrelay
