// Which desktop this is, read once by one rule, and both choices made from it.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

#include "platform/linux/common/DesktopSession.hpp"
#include "support/SessionVariables.hpp"
#include "platform/linux/focus/FocusProviderChoice.hpp"
#include "platform/linux/keys/KeyOutput.hpp"

namespace joyrelay {
namespace {

DesktopSession session(const std::map<std::string, std::string>& variables) {
    return testing::sessionWith(variables);
}

TEST(DesktopSession, WaylandIsTheDisplayOrTheSessionType) {
    EXPECT_TRUE(session({{"WAYLAND_DISPLAY", "wayland-1"}, {"DISPLAY", ":0"}}).wayland());
    EXPECT_TRUE(session({{"XDG_SESSION_TYPE", "wayland"}}).wayland());
    EXPECT_FALSE(session({{"DISPLAY", ":0"}, {"XDG_SESSION_TYPE", "x11"}}).wayland());
    EXPECT_FALSE(session({{"WAYLAND_DISPLAY", ""}, {"DISPLAY", ":0"}}).wayland());
    const DesktopSession ubuntu = session({{"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}});
    EXPECT_TRUE(ubuntu.desktopIs("GNOME"));
    EXPECT_TRUE(ubuntu.desktopIs("ubuntu"));
    EXPECT_FALSE(ubuntu.desktopIs("GNOM"));
    EXPECT_FALSE(session({{"XDG_CURRENT_DESKTOP", "KDE"}}).desktopIs("kde"));
}

// A provider that only says who it is.
TEST(DesktopSession, OneRuleNamesTheDesktopAndBothChoicesFollowIt) {
    using Desktop = DesktopSession::Desktop;
    struct Case {
        std::map<std::string, std::string> variables;
        std::set<std::string> bus;
        Desktop desktop;
        std::string focus;
        KeyOutputKind keys;  // after uinput
    };
    const std::string w = "wayland-1";
    const Case cases[] = {
        {{{"WAYLAND_DISPLAY", w}, {"XDG_CURRENT_DESKTOP", "KDE"}}, {}, Desktop::kde, "kde", KeyOutputKind::fakeInput},
        {{{"WAYLAND_DISPLAY", w}, {"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}}, {"org.kde.KWin"}, Desktop::gnome, "gnome",
         KeyOutputKind::remoteDesktop},
        {{{"WAYLAND_DISPLAY", w}}, {"org.kde.KWin"}, Desktop::kde, "kde", KeyOutputKind::fakeInput},
        {{{"WAYLAND_DISPLAY", w}}, {"org.gnome.Shell"}, Desktop::gnome, "gnome", KeyOutputKind::remoteDesktop},
        // A desktop that names itself is believed over a bus it shares with KWin (this once gave KDE's
        // focus provider and the virtual keyboard together).
        {{{"WAYLAND_DISPLAY", w}, {"XDG_CURRENT_DESKTOP", "Hyprland"}}, {"org.kde.KWin"}, Desktop::other,
         "foreign-toplevel", KeyOutputKind::virtualKeyboard},
        {{{"DISPLAY", ":0"}, {"XDG_CURRENT_DESKTOP", "KDE"}}, {"org.kde.KWin"}, Desktop::other, "x11",
         KeyOutputKind::xtest},
    };
    for (const Case& c : cases) {
        const DesktopSession s =
            testing::sessionWith(c.variables, [&](const char* service) { return c.bus.count(service) > 0; });
        const std::string label = s.currentDesktop + (s.wayland() ? " on Wayland" : " on X11");
        EXPECT_EQ(s.desktop, c.desktop) << label;
        std::string focus;
        for (const auto& candidate : focusProviderCandidates()) {
            if (candidate.appliesTo(s)) {
                focus = candidate.key;
                break;
            }
        }
        EXPECT_EQ(focus, c.focus) << label;
        std::optional<KeyOutputKind> keys;
        for (const auto& candidate : keyOutputCandidates()) {
            if (candidate.kind != KeyOutputKind::uinput && candidate.appliesTo(s)) {
                keys = candidate.kind;
                break;
            }
        }
        EXPECT_EQ(keys, c.keys) << label;
    }
}

}  // namespace
}  // namespace joyrelay
