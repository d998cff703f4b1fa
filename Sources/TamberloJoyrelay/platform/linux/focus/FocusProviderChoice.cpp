#include "platform/linux/focus/FocusProviderChoice.hpp"

#include "platform/linux/focus/ForeignToplevelFocusProvider.hpp"
#include "platform/linux/focus/GnomeFocus.hpp"
#include "platform/linux/focus/HyprlandFocusProvider.hpp"
#include "platform/linux/focus/KWinFocus.hpp"
#include "platform/linux/focus/NoFocusProvider.hpp"
#include "platform/linux/focus/SwayFocusProvider.hpp"
#include "platform/linux/focus/X11FocusProvider.hpp"

namespace joyrelay {

namespace {

// No provider, for the reason given.
std::unique_ptr<FocusProvider> refuse(std::string* error, const char* why) {
    if (error) *error = why;
    return nullptr;
}

// A provider that a helper inside the compositor serves over the session bus, when it is there.
template <class Provider>
std::unique_ptr<FocusProvider> onSessionBus(std::string* error, const char* missing) {
    if (!Provider::available()) return refuse(error, missing);
    return std::make_unique<Provider>();
}

}  // namespace

std::vector<FocusProviderCandidate> focusProviderCandidates() {
    std::vector<FocusProviderCandidate> list;
    list.push_back({
        "sway",
        [](const DesktopSession& s) { return s.wayland() && !s.swaySocket.empty(); },
        [](const DesktopSession& s, std::string* error) -> std::unique_ptr<FocusProvider> {
            if (s.swaySocket.empty()) return refuse(error, "SWAYSOCK is not set");
            return SwayFocusProvider::open(s.swaySocket, error);
        },
    });
    list.push_back({
        "hyprland",
        [](const DesktopSession& s) { return s.wayland() && !s.hyprlandSignature.empty(); },
        [](const DesktopSession& s, std::string* error) -> std::unique_ptr<FocusProvider> {
            if (s.hyprlandSignature.empty()) return refuse(error, "HYPRLAND_INSTANCE_SIGNATURE is not set");
            return HyprlandFocusProvider::open(hyprland_ipc::socketFolder(s.runtimeDir, s.hyprlandSignature), error);
        },
    });
    // KDE Plasma and GNOME: a helper inside the compositor reports over the session bus (these need the
    // QCoreApplication, which exists by the time the provider is chosen).
    list.push_back({
        "kde",
        [](const DesktopSession& s) { return s.wayland() && s.desktop == DesktopSession::Desktop::kde; },
        [](const DesktopSession&, std::string* error) {
            return onSessionBus<KWinFocus>(error, "KWin is not on the session bus");
        },
    });
    list.push_back({
        "gnome",
        [](const DesktopSession& s) { return s.wayland() && s.desktop == DesktopSession::Desktop::gnome; },
        [](const DesktopSession&, std::string* error) {
            return onSessionBus<GnomeFocus>(error, "GNOME Shell is not on the session bus");
        },
    });
    list.push_back({
        "foreign-toplevel",
        [](const DesktopSession& s) { return s.wayland(); },
        [](const DesktopSession&, std::string* error) -> std::unique_ptr<FocusProvider> {
            return ForeignToplevelFocusProvider::open(nullptr, error);
        },
    });
    list.push_back({
        "x11",
        [](const DesktopSession& s) { return !s.wayland(); },
        [](const DesktopSession&, std::string* error) -> std::unique_ptr<FocusProvider> {
            return X11FocusProvider::open(nullptr, error);
        },
    });
    return list;
}

std::unique_ptr<FocusProvider> chooseFocusProvider(const DesktopSession& session,
                                                   const std::vector<FocusProviderCandidate>& candidates) {
    if (!session.forcedFocus.empty()) {
        if (session.forcedFocus == "none") return std::make_unique<NoFocusProvider>("JOYRELAY_FOCUS=none");
        for (const FocusProviderCandidate& candidate : candidates) {
            if (candidate.key != session.forcedFocus) continue;
            std::string error;
            if (auto provider = candidate.open(session, &error)) return provider;
            return std::make_unique<NoFocusProvider>("JOYRELAY_FOCUS=" + candidate.key + ": " +
                                                     (error.empty() ? "not available" : error));
        }
        std::string names;
        for (const FocusProviderCandidate& candidate : candidates) names += candidate.key + ", ";
        return std::make_unique<NoFocusProvider>("JOYRELAY_FOCUS=" + session.forcedFocus +
                                                 " names no focus provider (" + names + "none)");
    }
    std::string errors;
    for (const FocusProviderCandidate& candidate : candidates) {
        if (!candidate.appliesTo(session)) continue;
        std::string error;
        if (auto provider = candidate.open(session, &error)) return provider;
        if (error.empty()) error = "not available";
        if (!session.wayland()) return std::make_unique<NoFocusProvider>(error);  // the X11 error alone
        errors += (errors.empty() ? "" : "; ") + candidate.key + ": " + error;
    }
    if (!session.wayland()) return std::make_unique<NoFocusProvider>("no focus provider for this session");
    return std::make_unique<NoFocusProvider>("this Wayland desktop does not tell which window has the focus (" +
                                             errors + ")");
}

}  // namespace joyrelay
