// Choosing the focus provider, once, at start, from the desktop session.
//
// The candidates are one ordered list (focusProviderCandidates): the first that applies to the
// session and opens is taken; when none does, NoFocusProvider explains why. JOYRELAY_FOCUS=NAME
// names one candidate instead (and then nothing else is tried), for troubleshooting and tests.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/focus/FocusProvider.hpp"
#include "platform/linux/common/DesktopSession.hpp"

namespace joyrelay {

struct FocusProviderCandidate {
    // The name JOYRELAY_FOCUS gives it ("sway", "x11", ...).
    std::string key;
    // Whether it is tried without being named, in this session.
    std::function<bool(const DesktopSession&)> appliesTo;
    // Opens it; nullptr with `error` set to one line when it cannot be used here.
    std::function<std::unique_ptr<FocusProvider>(const DesktopSession&, std::string* error)> open;
};

// Every provider, in the order they are tried:
//   1. "sway": sway's IPC, in a Wayland session with SWAYSOCK set;
//   2. "hyprland": Hyprland's IPC, in a Wayland session with HYPRLAND_INSTANCE_SIGNATURE set;
//   3. the desktops whose compositors offer no window list to ordinary clients, each through a
//      helper of its own inside the compositor: KDE Plasma (a KWin script, "kde") and GNOME (a
//      Shell extension, "gnome") go here, recognised as the session's desktop (DesktopSession::desktop,
//      the rule the key output's choice follows too);
//   4. "foreign-toplevel": any other Wayland compositor that offers wlr foreign-toplevel;
//   5. "x11": the EWMH active window, in an X11 session (never in a Wayland one: see
//      X11FocusProvider).
// "none" is not a candidate; it is what remains, and JOYRELAY_FOCUS=none asks for it.
std::vector<FocusProviderCandidate> focusProviderCandidates();

// The provider for `session`: never nullptr. Without one, a NoFocusProvider whose problem() is, in an
// X11 session, the X11 error alone ("cannot open X display (DISPLAY is not set)"), and in a Wayland
// session says that this desktop does not tell which window has the focus, with each candidate's
// error.
std::unique_ptr<FocusProvider> chooseFocusProvider(
    const DesktopSession& session, const std::vector<FocusProviderCandidate>& candidates = focusProviderCandidates());

}  // namespace joyrelay
