#include "platform/linux/common/DesktopSession.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <cstdlib>
#include <string_view>

namespace joyrelay {

DesktopSession DesktopSession::fromVariables(const std::function<const char*(const char*)>& variable,
                                             const BusHas& busHas) {
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
    if (session.wayland()) {
        const auto onBus = [&](const char* service) { return busHas && busHas(service); };
        if (session.desktopIs("KDE")) {
            session.desktop = Desktop::kde;
        } else if (session.desktopIs("GNOME")) {
            session.desktop = Desktop::gnome;
        } else if (session.currentDesktop.empty()) {
            if (onBus("org.kde.KWin")) {
                session.desktop = Desktop::kde;
            } else if (onBus("org.gnome.Shell")) {
                session.desktop = Desktop::gnome;
            }
        }
    }
    return session;
}

DesktopSession DesktopSession::fromEnvironment() {
    return fromVariables([](const char* name) { return std::getenv(name); },
                         [](const char* service) {
                             const QDBusConnection bus = QDBusConnection::sessionBus();
                             return bus.isConnected() && bus.interface() &&
                                    bus.interface()->isServiceRegistered(QString::fromLatin1(service)).value();
                         });
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
