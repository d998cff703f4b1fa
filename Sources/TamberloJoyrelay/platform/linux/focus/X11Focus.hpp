// The frontmost application on an X11 desktop, read the EWMH way (X11ActiveWindowReader), and
// watched: a PropertyNotify for _NET_ACTIVE_WINDOW on the root window is the activation notice.
//
// Needs an EWMH window manager (openbox, xfwm4, mutter, kwin, ...); without one there is no active
// window and so no frontmost application.
//
// Threads: meant for the main thread. Two connections are kept: one that only receives events (its
// descriptor is fd(), to be watched by the event loop, e.g. a QSocketNotifier), one for queries, so
// that a query never swallows an event the descriptor would have announced.
//
// Errors: a window vanishing mid-read is not an error (see installX11ErrorHandler). Losing the X
// server is fatal, as it is for the toolkit's own connection: Xlib's I/O error handler ends the
// process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "contracts/DesktopServices.hpp"
#include "platform/linux/common/X11Display.hpp"

namespace joyrelay {

class X11Focus {
public:
    // Connects to `displayName` (nullptr: $DISPLAY) and watches the root window's properties.
    // Returns nullptr when no display can be opened, with `error` (if given) set to a line such as
    // "cannot open X display :0" or "cannot open X display (DISPLAY is not set)".
    static std::unique_ptr<X11Focus> open(const char* displayName = nullptr, std::string* error = nullptr);

    // The active window now: nothing when there is none (no window manager, nothing focused, or a
    // window that vanished while it was being read). Each part may be missing.
    std::optional<ActiveWindow> activeWindow();

    // The same as the desktop contract's identity: windowClass and pid set, no bundle identifier and
    // no display name (X11 has neither).
    std::optional<FrontmostApplication> frontmostApplication();

    // The descriptor of the event connection: readable when dispatch() has work.
    int fd() const;

    // Reads every pending event without blocking. When _NET_ACTIVE_WINDOW now names a window other
    // than the one last seen, here or by activeWindow(), calls the activation handler once, on the
    // calling thread. 0 ("no window", which openbox sets for a moment between two windows) never
    // notifies, and repeats of the same value are dropped.
    void dispatch();

    // The handler dispatch() calls; replaces any earlier one.
    void setActivationHandler(std::function<void()> handler) { handler_ = std::move(handler); }

    // The display's name, as Xlib reports it.
    std::string displayName() const;

private:
    struct Owned {};

public:
    X11Focus(Owned, XDisplayPtr query, XDisplayPtr events);

private:
    XDisplayPtr query_;
    XDisplayPtr events_;
    X11ActiveWindowReader reader_;
    unsigned long lastActive_ = 0;
    std::function<void()> handler_;
};

}  // namespace joyrelay
