#include "platform/linux/keys/KeyOutput.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "gate/BrowserGuard.hpp"
#include "log/Log.hpp"
#include "platform/linux/keys/FakeInputKeyEvents.hpp"
#include "platform/linux/keys/RemoteDesktopKeyEvents.hpp"
#include "platform/linux/keys/UinputKeyEvents.hpp"
#include "platform/linux/keys/XTestKeyEvents.hpp"
#include "platform/linux/keys/VirtualKeyboardKeyEvents.hpp"
#include "platform/linux/common/Executables.hpp"

namespace joyrelay {

std::optional<KeyOutputKind> parseKeyOutput(std::string_view text) {
    for (const KeyOutputCandidate& candidate : keyOutputCandidates()) {
        if (candidate.key == text) return candidate.kind;
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> keyGuardProgram() {
    constexpr const char* name = "tamberlo-joyrelay-keyguard";
    const std::filesystem::path self = currentExecutable();
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
        const std::filesystem::path self = currentExecutable();
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
    return o;
}

namespace {

using Desktop = DesktopSession::Desktop;

// An output that has no opener here (a test's openers leave some out).
std::unique_ptr<KeyEvents> missing(std::string* error) {
    if (error) *error = "not available";
    return nullptr;
}

template <class Opener>
std::unique_ptr<KeyEvents> openWith(const Opener& opener, std::string* error) {
    return opener ? opener(error) : missing(error);
}

template <class Output>
std::string nameOf(KeyEvents& events, const char* fallback) {
    auto* output = dynamic_cast<Output*>(&events);
    return output ? output->displayName() : std::string(fallback);
}

}  // namespace

std::vector<KeyOutputCandidate> keyOutputCandidates() {
    std::vector<KeyOutputCandidate> list;
    list.push_back({
        KeyOutputKind::uinput,
        "uinput",
        [](const DesktopSession&) { return true; },
        [](const KeyOutputOpeners& o, std::string* error) { return openWith(o.uinput, error); },
        [](KeyEvents&) { return std::string("Key output: uinput virtual keyboard \"") + uinputDeviceName + "\""; },
    });
    list.push_back({
        KeyOutputKind::fakeInput,
        "fake-input",
        [](const DesktopSession& s) { return s.wayland() && s.desktop == Desktop::kde; },
        [](const KeyOutputOpeners& o, std::string* error) { return openWith(o.fakeInput, error); },
        [](KeyEvents&) { return std::string("Key output: KWin fake input"); },
    });
    list.push_back({
        KeyOutputKind::remoteDesktop,
        "remote-desktop",
        [](const DesktopSession& s) { return s.wayland() && s.desktop == Desktop::gnome; },
        [](const KeyOutputOpeners& o, std::string* error) { return openWith(o.remoteDesktop, error); },
        [](KeyEvents&) { return std::string("Key output: Mutter remote desktop session"); },
    });
    list.push_back({
        KeyOutputKind::virtualKeyboard,
        "virtual-keyboard",
        [](const DesktopSession& s) { return s.wayland() && s.desktop == Desktop::other; },
        [](const KeyOutputOpeners& o, std::string* error) { return openWith(o.virtualKeyboard, error); },
        [](KeyEvents& events) {
            return "Key output: Wayland virtual keyboard on " +
                   nameOf<VirtualKeyboardKeyEvents>(events, "$WAYLAND_DISPLAY");
        },
    });
    list.push_back({
        KeyOutputKind::xtest,
        "xtest",
        [](const DesktopSession& s) { return !s.wayland(); },
        [](const KeyOutputOpeners& o, std::string* error) { return openWith(o.xtest, error); },
        [](KeyEvents& events) { return "Key output: XTest on X display " + nameOf<XTestKeyEvents>(events, "$DISPLAY"); },
    });
    list.push_back({
        KeyOutputKind::print,
        "print",
        [](const DesktopSession&) { return false; },
        [](const KeyOutputOpeners& o, std::string* error) {
            return o.print ? o.print() : missing(error);
        },
        [](KeyEvents&) { return std::string("Key output: printed"); },
    });
    return list;
}

KeyOutput chooseKeyOutput(const DesktopSession& session, std::optional<KeyOutputKind> wanted,
                          const KeyOutputOpeners& openers, const std::vector<KeyOutputCandidate>& candidates) {
    KeyOutput out;
    for (const KeyOutputCandidate& candidate : candidates) {
        if (wanted ? candidate.kind != *wanted : !candidate.appliesTo(session)) continue;
        std::string error;
        if (std::unique_ptr<KeyEvents> events = candidate.open(openers, &error)) {
            out.logLine = candidate.describe(*events);
            out.events = std::move(events);
            out.kind = candidate.kind;
            break;
        }
        if (error.empty()) error = "not available";
        out.reason += (out.reason.empty() ? "" : "; ") + error;
        if (wanted) break;
    }
    if (out.events) {
        if (!out.reason.empty()) out.logLine += " (" + out.reason + ")";  // why the earlier ones were passed over
        out.reason.clear();
    } else {
        if (out.reason.empty()) out.reason = "not available";
        out.logLine = "Key output: none (" + out.reason + ")";
    }
    return out;
}

}  // namespace joyrelay
