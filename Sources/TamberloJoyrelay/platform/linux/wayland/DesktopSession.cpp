#include "platform/linux/wayland/DesktopSession.hpp"

#include <cstdlib>
#include <string_view>

namespace joyrelay {

DesktopSession DesktopSession::fromVariables(const std::function<const char*(const char*)>& variable) {
    const auto text = [&](const char* name) {
        const char* value = variable(name);
        return std::string(value ? value : "");
    };
    DesktopSession session;
    session.sessionType = text("XDG_SESSION_TYPE");
    session.waylandDisplay = text("WAYLAND_DISPLAY");
    session.x11Display = text("DISPLAY");
    session.swaySocket = text("SWAYSOCK");
    session.hyprlandSignature = text("HYPRLAND_INSTANCE_SIGNATURE");
    session.runtimeDir = text("XDG_RUNTIME_DIR");
    session.currentDesktop = text("XDG_CURRENT_DESKTOP");
    session.forcedFocus = text("JOYRELAY_FOCUS");
    return session;
}

DesktopSession DesktopSession::fromEnvironment() {
    return fromVariables([](const char* name) { return std::getenv(name); });
}

bool DesktopSession::wayland() const {
    return !waylandDisplay.empty() || sessionType == "wayland";
}

bool DesktopSession::desktopIs(const std::string& desktop) const {
    std::string_view rest = currentDesktop;
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        if (rest.substr(0, colon) == desktop) return true;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return false;
}

}  // namespace joyrelay
