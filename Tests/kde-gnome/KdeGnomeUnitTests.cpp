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
#include <QDBusPendingCall>
#include <QEventLoop>
#include <QFile>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <mutex>

#include "gate/BrowserGuard.hpp"
#include "support/QtWaiting.hpp"
#include "platform/linux/focus/DesktopAppIds.hpp"
#include "platform/linux/focus/FocusHold.hpp"
#include "platform/linux/focus/GnomeFocus.hpp"
#include "platform/linux/focus/KWinFocus.hpp"
#include "platform/linux/keys/FakeInputKeyEvents.hpp"
#include "platform/linux/keys/RemoteDesktopKeyEvents.hpp"

namespace joyrelay {
namespace {

using namespace std::chrono_literals;

using joyrelay::testing::pumpUntil;

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

// ---- the KWin provider against a stand-in for KWin ------------------------------------------------

// What the stand-in was asked, shared with its thread.
struct KWinLog {
    mutable std::mutex lock;
    QStringList calls;        // "loadScript NAME", "run ID", "unloadScript NAME"
    QString callbackService;  // where the last script loaded calls back

    void add(const QString& call) {
        std::lock_guard guard(lock);
        calls << call;
    }
    QStringList all() const {
        std::lock_guard guard(lock);
        return calls;
    }
};

// A loaded script's object, "/Scripting/Script<id>" (Plasma 6) or "/<id>" (Plasma 5).
class FakeKWinScript final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kwin.Script")
public:
    FakeKWinScript(KWinLog& log, int id, QObject* parent) : QObject(parent), log_(log), id_(id) {}
public Q_SLOTS:
    Q_SCRIPTABLE void run() { log_.add(QStringLiteral("run %1").arg(id_)); }

private:
    KWinLog& log_;
    int id_;
};

// org.kde.kwin.Scripting at /Scripting.
class FakeKWinScripting final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kwin.Scripting")
public:
    explicit FakeKWinScripting(KWinLog& log) : log_(log) {}
public Q_SLOTS:
    Q_SCRIPTABLE int loadScript(const QString& path, const QString& name) {
        QFile file(path);
        QString text;
        if (file.open(QIODevice::ReadOnly)) text = QString::fromUtf8(file.readAll());
        const QString marker = QStringLiteral("callDBus(\"");
        const auto at = text.indexOf(marker) + marker.size();
        {
            std::lock_guard guard(log_.lock);
            log_.callbackService = text.mid(at, text.indexOf('"', at) - at);
        }
        log_.add(QStringLiteral("loadScript ") + name);
        return 0;
    }
    Q_SCRIPTABLE bool unloadScript(const QString& name) {
        log_.add(QStringLiteral("unloadScript ") + name);
        return true;
    }

private:
    KWinLog& log_;
};

// KWin's scripting on a connection of its own, answering on a thread of its own (the provider's
// unloading waits for the answer on the main thread).
class FakeKWin {
public:
    FakeKWin(KWinLog& log, bool plasma6, const QString& connectionName)
        : name_(connectionName),
          bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName)),
          scripting_(log) {
        new FakeKWinScript(log, 0, &scripting_);
        bus_.registerObject(QStringLiteral("/Scripting"), &scripting_,
                            QDBusConnection::ExportScriptableSlots);
        bus_.registerObject(plasma6 ? QStringLiteral("/Scripting/Script0") : QStringLiteral("/0"),
                            scripting_.children().first(), QDBusConnection::ExportScriptableSlots);
        scripting_.moveToThread(&thread_);
        thread_.start();
        bus_.registerService(QStringLiteral("org.kde.KWin"));
    }
    ~FakeKWin() {
        bus_.unregisterService(QStringLiteral("org.kde.KWin"));
        bus_.unregisterObject(QStringLiteral("/Scripting"), QDBusConnection::UnregisterTree);
        bus_.unregisterObject(QStringLiteral("/0"));
        thread_.quit();
        thread_.wait();
        QDBusConnection::disconnectFromBus(name_);
    }

    // Calls Activated as the loaded script does, from KWin's connection.
    void activate(const QString& resourceClass, const QString& desktopFile, const QString& service) {
        bus_.send(activation(service, resourceClass, desktopFile));
    }

    static QDBusMessage activation(const QString& service, const QString& resourceClass,
                                   const QString& desktopFile) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            service, QString::fromLatin1(KWinFocus::objectPath),
            QStringLiteral("org.tamberlo.Joyrelay.KWinFocus"), QStringLiteral("Activated"));
        call << resourceClass << desktopFile << QStringLiteral("a caption") << QStringLiteral("12");
        return call;
    }

private:
    QString name_;
    QDBusConnection bus_;
    QThread thread_;
    FakeKWinScripting scripting_;
};

TEST(KWinFocus, LoadsItsScriptOnPlasma5And6FollowsOnlyKWinAndReloadsWhenKWinRestarts) {
    const QString self = QDBusConnection::sessionBus().baseService();
    // One name per process: another copy of the program keeps its own script.
    const QString script =
        QStringLiteral("tamberlo-joyrelay-focus-%1").arg(QCoreApplication::applicationPid());
    const QStringList loading = {QStringLiteral("unloadScript ") + script,
                                 QStringLiteral("loadScript ") + script, QStringLiteral("run 0")};
    for (const bool plasma6 : {true, false}) {
        SCOPED_TRACE(plasma6 ? "Plasma 6" : "Plasma 5");
        KWinLog log;
        auto kwin = std::make_unique<FakeKWin>(log, plasma6, QStringLiteral("fake-kwin-1"));
        std::vector<std::string> seen;
        KWinLog restarted;
        {
            KWinFocus focus;
            focus.setChangeHandler([&] {
                const auto app = focus.frontmost();
                seen.push_back(app ? *app->appId : "");
            });
            ASSERT_TRUE(pumpUntil([&] { return log.all().size() >= 3; }, 5s))
                << log.all().join(", ").toStdString();
            EXPECT_EQ(log.all(), loading);
            {
                std::lock_guard guard(log.lock);
                EXPECT_EQ(log.callbackService, self);
            }
            EXPECT_FALSE(focus.problem());

            kwin->activate(QStringLiteral("chromium"), QStringLiteral("chromium"), self);
            ASSERT_TRUE(pumpUntil([&] { return focus.frontmost().has_value(); }, 5s));
            EXPECT_EQ(focus.frontmost()->appId, "chromium");
            EXPECT_EQ(focus.caption(), "a caption");

            // Anyone else calling in is ignored.
            QDBusConnection intruder =
                QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("intruder"));
            QDBusPendingCall call =
                intruder.asyncCall(FakeKWin::activation(self, QStringLiteral("firefox"), QString()));
            ASSERT_TRUE(pumpUntil([&] { return call.isFinished(); }, 5s));
            QDBusConnection::disconnectFromBus(QStringLiteral("intruder"));
            EXPECT_EQ(focus.frontmost()->appId, "chromium");

            // A switch as KWin reports it: no window, then the terminal: one change.
            kwin->activate(QString(), QString(), self);
            kwin->activate(QStringLiteral("org.freedesktop.weston.wayland-terminal"), QString(), self);
            ASSERT_TRUE(
                pumpUntil([&] { return focus.frontmost() && focus.frontmost()->appId != "chromium"; }, 5s));
            EXPECT_EQ(seen,
                      (std::vector<std::string>{"chromium", "org.freedesktop.weston.wayland-terminal"}));

            // KWin goes away: nothing is in front, and the problem says why. It comes back: the
            // script is loaded into the new KWin.
            kwin.reset();
            ASSERT_TRUE(pumpUntil([&] { return focus.problem().has_value(); }, 5s));
            EXPECT_NE(focus.problem()->find("KWin is not on the session bus"), std::string::npos)
                << *focus.problem();
            EXPECT_FALSE(focus.frontmost());
            kwin = std::make_unique<FakeKWin>(restarted, plasma6, QStringLiteral("fake-kwin-2"));
            ASSERT_TRUE(pumpUntil([&] { return restarted.all().size() >= 3; }, 5s));
            EXPECT_EQ(restarted.all(), loading);
            EXPECT_FALSE(focus.problem());
            EXPECT_NE(restarted.all().last(), QStringLiteral("unloadScript ") + script);
        }
        // Gone with the provider: the script is unloaded from the KWin it was loaded into.
        EXPECT_EQ(restarted.all().last(), QStringLiteral("unloadScript ") + script);
        kwin.reset();

        // Gone while KWin is still taking the script (the program quit at once): unloaded all the same.
        KWinLog early;
        kwin = std::make_unique<FakeKWin>(early, plasma6, QStringLiteral("fake-kwin-3"));
        {
            KWinFocus focus;
            ASSERT_TRUE(pumpUntil([&] { return early.all().size() >= 2; }, 5s)) << early.all().join(", ").toStdString();
        }
        EXPECT_EQ(early.all().last(), QStringLiteral("unloadScript ") + script) << early.all().join(", ").toStdString();
        kwin.reset();
    }
}

// ---- outputs without their compositor ---------------------------------------------------------------

TEST(KeyOutputsWithoutTheirDesktop, SayWhyInOneLine) {
    std::string error;
    ::setenv("WAYLAND_DISPLAY", "joyrelay-no-such-display", 1);
    EXPECT_FALSE(FakeInputKeyEvents::create(&error));
    EXPECT_NE(error.find("cannot connect to the Wayland display joyrelay-no-such-display"), std::string::npos)
        << error;
    error.clear();
    EXPECT_FALSE(RemoteDesktopKeyEvents::create(&error, 0ms));  // a private bus without Mutter
    EXPECT_NE(error.find("remote desktop is not available"), std::string::npos) << error;
}

TEST(GnomeFocusWithoutGnomeShell, AnswersNothingAndSaysWhatToDo) {
    GnomeFocus focus;
    ASSERT_TRUE(pumpUntil(
        [&] {
            return focus.problem() && focus.problem()->find("GNOME Shell is not on") != std::string::npos;
        },
        5s))
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

#include "KdeGnomeUnitTests.moc"
