// The focus on an X11 desktop: the EWMH active window (linux/X11Focus), as a focus provider. Its
// window class identifies the application.
//
// Not for a Wayland session: XWayland's _NET_ACTIVE_WINDOW is 0 whenever a Wayland window has the
// focus, so it would see "nothing" most of the time (and never a native Wayland browser).
#pragma once

#include <memory>
#include <string>

#include "platform/linux/focus/X11Focus.hpp"
#include "platform/linux/focus/FocusProvider.hpp"

namespace joyrelay {

class X11FocusProvider final : public FocusProvider {
public:
    // Opens `displayName` (nullptr: $DISPLAY). Returns nullptr with `error` set ("cannot open X
    // display :0", "cannot open X display (DISPLAY is not set)") when that fails.
    static std::unique_ptr<X11FocusProvider> open(const char* displayName, std::string* error);

    explicit X11FocusProvider(std::unique_ptr<X11Focus> focus);

    std::string name() const override { return "X11 active window"; }
    std::optional<FrontmostApplication> frontmost() override { return focus_->frontmostApplication(); }
    int fd() const override { return focus_->fd(); }
    void dispatch() override { focus_->dispatch(); }

    X11Focus& focus() { return *focus_; }

private:
    std::unique_ptr<X11Focus> focus_;
};

}  // namespace joyrelay
