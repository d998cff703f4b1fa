// What the environment says about the desktop session the program runs in: whether it is a
// Wayland session, and which compositor's own interfaces are there to ask. Read once at start;
// the focus provider and the key output are both chosen from it.
#pragma once

#include <functional>
#include <string>

namespace joyrelay {

struct DesktopSession {
    std::string sessionType;        // XDG_SESSION_TYPE: "wayland", "x11", "tty", ...
    std::string waylandDisplay;     // WAYLAND_DISPLAY
    std::string x11Display;         // DISPLAY (an X server, or XWayland inside a Wayland session)
    std::string swaySocket;         // SWAYSOCK: sway's IPC socket
    std::string hyprlandSignature;  // HYPRLAND_INSTANCE_SIGNATURE
    std::string runtimeDir;         // XDG_RUNTIME_DIR
    std::string currentDesktop;     // XDG_CURRENT_DESKTOP: "sway", "KDE", "GNOME", "ubuntu:GNOME", ...
    std::string forcedFocus;        // JOYRELAY_FOCUS: a focus provider named by the user

    // The process environment now.
    static DesktopSession fromEnvironment();

    // The same from any source of variables (nullptr: not set); for tests.
    static DesktopSession fromVariables(const std::function<const char*(const char*)>& variable);

    // A Wayland session: WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE says "wayland". An X display
    // beside it is XWayland, which sees only the windows of X11 clients.
    bool wayland() const;

    // Whether XDG_CURRENT_DESKTOP names `desktop` among its colon-separated entries, compared
    // exactly (case included), as desktop entries' OnlyShowIn lists are.
    bool desktopIs(const std::string& desktop) const;
};

}  // namespace joyrelay
