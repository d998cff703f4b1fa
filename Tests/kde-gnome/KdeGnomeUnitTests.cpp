// The KDE Plasma and GNOME pieces without a desktop: what the focus providers make of the ids the
// desktops report, the hold on "no window", the KWin focus provider against a stand-in for KWin on
// a private session bus (run under dbus-run-session), and the outputs' answers where their
// compositor is missing.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QEventLoop>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <cstdlib>

#include "BrowserGuard.hpp"
#include "platform/linux/focus/DesktopAppIds.hpp"
#include "platform/linux/focus/FocusHold.hpp"
#include "platform/linux/focus/GnomeFocus.hpp"
#include "platform/linux/focus/KWinFocus.hpp"
#include "platform/linux/keys/FakeInputKeyEvents.hpp"
#include "platform/linux/keys/RemoteDesktopKeyEvents.hpp"

namespace joyrelay {
namespace {

using namespace std::chrono_literals;

bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QTimer tick;
    tick.start(5);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// ---- ids -------------------------------------------------------------------------------------------

TEST(DesktopAppIds, KWinReportsBecomeTheIdentityTheGateMatches) {
    // Chromium as a native Wayland client: class and desktop file are both its app id.
    auto app = desktop_ids::fromKWin("chromium", "chromium", 4242);
    ASSERT_TRUE(app);
    EXPECT_EQ(app->appId, "chromium");
    EXPECT_EQ(app->windowClass, "Chromium");
    EXPECT_EQ(app->pid, 4242);
    EXPECT_TRUE(BrowserGuard::isBrowser(app));
    // Under XWayland: KWin lower-cases WM_CLASS's class and knows no desktop file.
    app = desktop_ids::fromKWin("google-chrome", "", 0);
    EXPECT_EQ(app->appId, "google-chrome");
    EXPECT_EQ(app->windowClass, "Google-chrome");
    EXPECT_FALSE(app->pid);
    EXPECT_TRUE(BrowserGuard::isBrowser(app));
    // Firefox from Flathub: the desktop file names the Flatpak id.
    app = desktop_ids::fromKWin("firefox", "org.mozilla.firefox", 7);
    EXPECT_EQ(app->appId, "org.mozilla.firefox");
    EXPECT_EQ(app->windowClass, "firefox");
    EXPECT_TRUE(BrowserGuard::isBrowser(app));
    // A terminal is not a browser; nothing active is no application.
    app = desktop_ids::fromKWin("org.freedesktop.weston.wayland-terminal", "", 9);
    EXPECT_EQ(app->appId, "org.freedesktop.weston.wayland-terminal");
    EXPECT_FALSE(BrowserGuard::isBrowser(app));
    EXPECT_FALSE(desktop_ids::fromKWin("", "", 0));
}

TEST(DesktopAppIds, GnomeReportsBecomeTheIdentityTheGateMatches) {
    // Debian's Chromium as GNOME Shell 43 reports it.
    auto app = desktop_ids::fromGnome("chromium", "", "", "chromium.desktop", 10);
    ASSERT_TRUE(app);
    EXPECT_EQ(app->appId, "chromium");
    EXPECT_EQ(app->windowClass, "Chromium");
    EXPECT_TRUE(BrowserGuard::isBrowser(app));
    // A Flatpak: the sandbox's id comes first.
    app = desktop_ids::fromGnome("firefox", "", "org.mozilla.firefox", "org.mozilla.firefox.desktop", 0);
    EXPECT_EQ(app->appId, "org.mozilla.firefox");
    // A GTK application without a matching desktop file; a window GNOME made an id up for.
    app = desktop_ids::fromGnome("Epiphany", "org.gnome.Epiphany", "", "window:3", 0);
    EXPECT_EQ(app->appId, "org.gnome.Epiphany");
    EXPECT_TRUE(BrowserGuard::isBrowser(app));
    app = desktop_ids::fromGnome("org.freedesktop.weston.wayland-terminal", "", "", "window:1", 0);
    EXPECT_EQ(app->appId, "org.freedesktop.weston.wayland-terminal");
    EXPECT_FALSE(BrowserGuard::isBrowser(app));
    EXPECT_FALSE(desktop_ids::fromGnome("", "", "", "", 0));

    QVariantMap report{{"wm-class", "chromium"}, {"app-id", "chromium.desktop"}, {"pid", 55}, {"title", "x"}};
    app = GnomeFocus::fromReport(report);
    ASSERT_TRUE(app);
    EXPECT_EQ(app->appId, "chromium");
    EXPECT_EQ(app->pid, 55);
    EXPECT_FALSE(GnomeFocus::fromReport(QVariantMap{}));
}

TEST(DesktopAppIds, DesktopFileIdsLoseOnlyTheirSuffix) {
    EXPECT_EQ(desktop_ids::desktopFileId("org.chromium.Chromium.desktop"), "org.chromium.Chromium");
    EXPECT_EQ(desktop_ids::desktopFileId("firefox-esr"), "firefox-esr");
    EXPECT_FALSE(desktop_ids::desktopFileId(".desktop"));
    EXPECT_FALSE(desktop_ids::desktopFileId("window:1"));
    EXPECT_EQ(desktop_ids::recognisedWindowClass("FIREFOX-ESR"), "firefox-esr");  // the first listed spelling
    EXPECT_EQ(desktop_ids::recognisedWindowClass("Firefox-esr"), "Firefox-esr");  // listed as it is
    EXPECT_EQ(desktop_ids::recognisedWindowClass("foot"), "foot");
}

// ---- the hold on "no window" -----------------------------------------------------------------------

FrontmostApplication named(const char* id) {
    FrontmostApplication app;
    app.appId = id;
    return app;
}

TEST(FocusHold, NoWindowBetweenTwoWindowsIsDroppedButNoWindowForTheWholeHoldCounts) {
    int changes = 0;
    FocusHold hold([&] { ++changes; }, 40ms);
    hold.report(named("chromium"));
    EXPECT_EQ(changes, 1);
    // A switch as KWin reports it: nothing, then the next window at once.
    hold.report(std::nullopt);
    EXPECT_EQ(hold.current()->appId, "chromium");
    EXPECT_TRUE(hold.holding());
    hold.report(named("firefox"));
    EXPECT_EQ(changes, 2);
    EXPECT_FALSE(hold.holding());
    EXPECT_EQ(hold.current()->appId, "firefox");
    // The same window again changes nothing.
    hold.report(named("firefox"));
    EXPECT_EQ(changes, 2);
    // Nothing that lasts: the answer becomes nothing once the hold is over, with one change.
    hold.report(std::nullopt);
    hold.report(std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return !hold.current(); }, 5s));
    EXPECT_EQ(changes, 3);
    // While nothing is known, nothing is held.
    hold.report(std::nullopt);
    EXPECT_FALSE(hold.holding());
    // A source going away clears at once.
    hold.report(named("chromium"));
    hold.clear();
    EXPECT_FALSE(hold.current());
    EXPECT_EQ(changes, 5);
}

// ---- outputs without their compositor ---------------------------------------------------------------

TEST(KeyOutputsWithoutTheirDesktop, SayWhyInOneLine) {
    std::string error;
    ::setenv("WAYLAND_DISPLAY", "joyrelay-no-such-display", 1);
    EXPECT_FALSE(FakeInputKeyEvents::create(&error, 0ms));
    EXPECT_NE(error.find("cannot connect to the Wayland display joyrelay-no-such-display"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(RemoteDesktopKeyEvents::create(&error, 0ms));  // a private bus without Mutter
    EXPECT_NE(error.find("remote desktop is not available"), std::string::npos) << error;
}

TEST(GnomeFocusWithoutGnomeShell, AnswersNothingAndSaysWhatToDo) {
    GnomeFocus focus;
    ASSERT_TRUE(pumpUntil([&] { return focus.problem() && focus.problem()->find("GNOME Shell is not on") != std::string::npos; }, 5s))
        << focus.problem().value_or("(none)");
    EXPECT_NE(focus.problem()->find("gnome-extensions enable joyrelay-focus@tamberlo"), std::string::npos);
    EXPECT_FALSE(focus.frontmost());
}

}  // namespace
}  // namespace joyrelay

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

