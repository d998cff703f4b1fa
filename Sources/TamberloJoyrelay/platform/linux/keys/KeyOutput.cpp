#include "platform/linux/keys/KeyOutput.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include "gate/BrowserGuard.hpp"
#include "log/Log.hpp"
#include "platform/linux/keys/FakeInputKeyEvents.hpp"
#include "platform/linux/keys/RemoteDesktopKeyEvents.hpp"
#include "platform/linux/keys/UinputKeyEvents.hpp"
#include "platform/linux/desktop/XdgAutostart.hpp"
#include "platform/linux/keys/XTestKeyEvents.hpp"
#include "platform/linux/keys/VirtualKeyboardKeyEvents.hpp"
#include "platform/linux/wayland/DesktopSession.hpp"

namespace joyrelay {

std::optional<KeyOutputKind> parseKeyOutput(std::string_view text) {
    if (text == "uinput") return KeyOutputKind::uinput;
    if (text == "xtest") return KeyOutputKind::xtest;
    if (text == "print") return KeyOutputKind::print;
    if (text == "virtual-keyboard") return KeyOutputKind::virtualKeyboard;
    if (text == "fake-input") return KeyOutputKind::fakeInput;
    if (text == "remote-desktop") return KeyOutputKind::remoteDesktop;
    return std::nullopt;
}

std::optional<std::filesystem::path> keyGuardProgram() {
    constexpr const char* name = "tamberlo-joyrelay-keyguard";
    const std::filesystem::path self = XdgAutostart::currentExecutable();
    std::vector<std::filesystem::path> candidates;
    if (!self.empty()) {
        candidates.push_back(self.parent_path() / name);
        candidates.push_back(self.parent_path().parent_path() / "libexec" / "tamberlo-joyrelay" / name);
    }
#ifdef JOYRELAY_LIBEXEC_DIR
    candidates.push_back(std::filesystem::path(JOYRELAY_LIBEXEC_DIR) / name);
#endif
    for (const std::filesystem::path& candidate : candidates) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

KeyOutputOpeners KeyOutputOpeners::system() {
    KeyOutputOpeners o;
    o.uinput = [](std::string* error) -> std::unique_ptr<KeyEvents> {
        return UinputKeyEvents::create(error);
    };
    o.xtest = [](std::string* error) -> std::unique_ptr<KeyEvents> {
        std::unique_ptr<XTestKeyEvents> xtest = XTestKeyEvents::create(nullptr, error);
        if (!xtest) return nullptr;
        xtest->checkPresses(!BrowserGuard::anyApp());
        if (const auto guard = keyGuardProgram()) {
            std::string why;
            if (!xtest->startGuard(*guard, &why)) Log::info("key guard not started: " + why);
        } else {
            Log::info("key guard not found (tamberlo-joyrelay-keyguard): keys a crash leaves down stay down");
        }
        return xtest;
    };
    o.virtualKeyboard = [](std::string* error) -> std::unique_ptr<KeyEvents> {
        return VirtualKeyboardKeyEvents::create(nullptr, error);
    };
    o.fakeInput = [](std::string* error) -> std::unique_ptr<KeyEvents> {
        // The guard is this program itself in its guard mode: KWin authorises both by the same path.
        const std::filesystem::path self = XdgAutostart::currentExecutable();
        std::unique_ptr<FakeInputKeyEvents> fake =
            FakeInputKeyEvents::create(error, self.empty() ? std::nullopt : std::optional(self));
        if (fake && !fake->guardProblem().empty()) {
            Log::info("key guard not started \u2014 " + fake->guardProblem() + "; keys a crash leaves down stay down");
        }
        return fake;
    };
    o.remoteDesktop = [](std::string* error) -> std::unique_ptr<KeyEvents> {
        return RemoteDesktopKeyEvents::create(error);
    };
    const DesktopSession session = DesktopSession::fromEnvironment();
    o.waylandSession = session.wayland();
    if (o.waylandSession) {
        // Which compositor: the session's own name first, the session bus when that says nothing.
        const auto onBus = [](const char* service) {
            const QDBusConnection bus = QDBusConnection::sessionBus();
            return bus.isConnected() && bus.interface() &&
                   bus.interface()->isServiceRegistered(QString::fromLatin1(service)).value();
        };
        if (session.desktopIs("KDE") || (session.currentDesktop.empty() && onBus("org.kde.KWin"))) {
            o.compositor = Compositor::kwin;
        } else if (session.desktopIs("GNOME") || (session.currentDesktop.empty() && onBus("org.gnome.Shell"))) {
            o.compositor = Compositor::mutter;
        }
    }
    return o;
}

namespace {

std::string describe(KeyOutputKind kind, KeyEvents& events) {
    switch (kind) {
        case KeyOutputKind::uinput:
            return std::string("Key output: uinput virtual keyboard \"") + uinputDeviceName + "\"";
        case KeyOutputKind::xtest: {
            auto* xtest = dynamic_cast<XTestKeyEvents*>(&events);
            return "Key output: XTest on X display " +
                   (xtest ? xtest->displayName() : std::string("$DISPLAY"));
        }
        case KeyOutputKind::print:
            return "Key output: printed";
        case KeyOutputKind::virtualKeyboard: {
            auto* keyboard = dynamic_cast<VirtualKeyboardKeyEvents*>(&events);
            return "Key output: Wayland virtual keyboard on " +
                   (keyboard ? keyboard->displayName() : std::string("$WAYLAND_DISPLAY"));
        }
        case KeyOutputKind::fakeInput:
            return "Key output: KWin fake input";
        case KeyOutputKind::remoteDesktop:
            return "Key output: Mutter remote desktop session";
    }
    return {};
}

}  // namespace

KeyOutput chooseKeyOutput(std::optional<KeyOutputKind> wanted, const KeyOutputOpeners& openers) {
    KeyOutput out;
    const auto attempt = [&](KeyOutputKind kind) {
        std::string error;
        std::unique_ptr<KeyEvents> events;
        switch (kind) {
            case KeyOutputKind::uinput:
                events = openers.uinput ? openers.uinput(&error) : nullptr;
                break;
            case KeyOutputKind::xtest:
                events = openers.xtest ? openers.xtest(&error) : nullptr;
                break;
            case KeyOutputKind::print:
                events = openers.print ? openers.print() : nullptr;
                break;
            case KeyOutputKind::virtualKeyboard:
                events = openers.virtualKeyboard ? openers.virtualKeyboard(&error) : nullptr;
                break;
            case KeyOutputKind::fakeInput:
                events = openers.fakeInput ? openers.fakeInput(&error) : nullptr;
                break;
            case KeyOutputKind::remoteDesktop:
                events = openers.remoteDesktop ? openers.remoteDesktop(&error) : nullptr;
                break;
        }
        if (events) {
            out.logLine = describe(kind, *events);
            out.events = std::move(events);
            out.kind = kind;
            return true;
        }
        if (error.empty()) error = "not available";
        out.reason += (out.reason.empty() ? "" : "; ") + error;
        return false;
    };
    if (wanted) {
        attempt(*wanted);
    } else if (!attempt(KeyOutputKind::uinput)) {
        if (!openers.waylandSession) {
            attempt(KeyOutputKind::xtest);
        } else if (openers.compositor == KeyOutputOpeners::Compositor::kwin) {
            attempt(KeyOutputKind::fakeInput);
        } else if (openers.compositor == KeyOutputOpeners::Compositor::mutter) {
            // Only now: the session shows GNOME's screen-sharing indicator for as long as it exists.
            attempt(KeyOutputKind::remoteDesktop);
        } else {
            attempt(KeyOutputKind::virtualKeyboard);
        }
    }
    if (out.events) {
        if (!out.reason.empty()) out.logLine += " (" + out.reason + ")";  // why uinput was passed over
        out.reason.clear();
    } else {
        out.logLine = "Key output: none (" + out.reason + ")";
    }
    return out;
}

}  // namespace joyrelay
