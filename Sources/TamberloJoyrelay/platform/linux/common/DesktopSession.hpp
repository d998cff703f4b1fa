// What the environment says about the desktop session the program runs in: whether it is a
// Wayland session, and which compositor's own interfaces are there to ask. Read once at start, by
// one rule (desktop()), and handed to both choices: the focus provider and the key output, so that
// the two never disagree about which desktop this is.
//
// Threads: fromEnvironment() asks the session bus, so it needs the QCoreApplication (main thread);
// the value is then plain data, usable anywhere.
#pragma once

#include <functional>
#include <string>

namespace joyrelay {

struct DesktopSession {
    // The desktops whose compositors have interfaces of their own for what the program needs
    // (KWin's scripting and fake input, GNOME Shell's extension and Mutter's remote desktop);
    // every other Wayland compositor is `other`.
    enum class Desktop { other, kde, gnome };

    std::string sessionType;        // XDG_SESSION_TYPE: "wayland", "x11", "tty", ...
    std::string waylandDisplay;     // WAYLAND_DISPLAY
    std::string x11Display;         // DISPLAY (an X server, or XWayland inside a Wayland session)
    std::string swaySocket;         // SWAYSOCK: sway's IPC socket
    std::string hyprlandSignature;  // HYPRLAND_INSTANCE_SIGNATURE
    std::string runtimeDir;         // XDG_RUNTIME_DIR
    std::string currentDesktop;     // XDG_CURRENT_DESKTOP: "sway", "KDE", "GNOME", "ubuntu:GNOME", ...
    std::string forcedFocus;        // JOYRELAY_FOCUS: a focus provider named by the user
    // Which desktop, in a Wayland session (`other` in an X11 one, where XTest and the EWMH active
    // window serve every desktop alike):
    //   - KDE or GNOME when XDG_CURRENT_DESKTOP names it;
    //   - when XDG_CURRENT_DESKTOP is empty (a compositor started by hand, a bare session), KDE when
    //     KWin (org.kde.KWin) is on the session bus, else GNOME when GNOME Shell (org.gnome.Shell) is;
    //   - `other` for any other name: that desktop's own name is believed over a bus it may share.
    Desktop desktop = Desktop::other;

    // Whether the session bus has a name; nullptr: no bus to ask.
    using BusHas = std::function<bool(const char* service)>;

    // The process environment and the session bus now.
    static DesktopSession fromEnvironment();

    // The same from any source of variables (nullptr: not set) and any bus; for tests.
    static DesktopSession fromVariables(const std::function<const char*(const char*)>& variable,
                                        const BusHas& busHas = nullptr);

    // A Wayland session: WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE says "wayland". An X display
    // beside it is XWayland, which sees only the windows of X11 clients.
    bool wayland() const;

    // Whether XDG_CURRENT_DESKTOP names `desktop` among its colon-separated entries, compared
    // exactly (case included), as desktop entries' OnlyShowIn lists are.
    bool desktopIs(const std::string& desktop) const;
};

}  // namespace joyrelay
