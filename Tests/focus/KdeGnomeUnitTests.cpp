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
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QEventLoop>
#include <QFile>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "gate/BrowserGuard.hpp"
#include "support/QtWaiting.hpp"
#include "platform/linux/focus/DesktopAppIds.hpp"
#include "platform/linux/focus/FocusHold.hpp"
#include "platform/linux/focus/GnomeFocus.hpp"
#include "platform/linux/focus/KWinFocus.hpp"
#include "platform/linux/focus/ScreenLockWatcher.hpp"
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
    QStringList loaded;       // the scripts loaded now, by name
    std::atomic<bool> silent{false};  // isScriptLoaded gets no answer

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
class FakeKWinScripting final : public QObject, protected QDBusContext {
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
            log_.loaded << name;
        }
        log_.add(QStringLiteral("loadScript ") + name);
        return 0;
    }
    Q_SCRIPTABLE bool unloadScript(const QString& name) {
        {
            std::lock_guard guard(log_.lock);
            log_.loaded.removeAll(name);
        }
        log_.add(QStringLiteral("unloadScript ") + name);
        return true;
    }
    Q_SCRIPTABLE bool isScriptLoaded(const QString& name) {
        if (log_.silent) {
            setDelayedReply(true);  // and never answered
            return false;
        }
        std::lock_guard guard(log_.lock);
        return log_.loaded.contains(name);
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

// Another client on the session bus: it takes names, calls and sends signals as it likes.
struct Intruder {
    explicit Intruder(const QString& name)
        : name(name), bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)) {}
    ~Intruder() { QDBusConnection::disconnectFromBus(name); }
    // A call to `service`, waited for on the event loop.
    QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                      const QVariantList& args = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(args);
        QDBusPendingCall pending = bus.asyncCall(message);
        pumpUntil([&] { return pending.isFinished(); }, 5s);
        return pending.reply();
    }
    // Waits until every message sent so far has reached `peer`'s connection and been handed on.
    void reach(const QString& peer) {
        call(peer, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
        QCoreApplication::processEvents();
    }
    QString name;
    QDBusConnection bus;
};

TEST(KWinFocus, FailsClosedWhenItsScriptIsUnloadedOrKWinStopsAnsweringAndLoadsItAgain) {
    const QString self = QDBusConnection::sessionBus().baseService();
    const QString script = QStringLiteral("tamberlo-joyrelay-focus-%1").arg(QCoreApplication::applicationPid());
    KWinLog log;
    auto kwin = std::make_unique<FakeKWin>(log, true, QStringLiteral("fake-kwin-4"));
    KWinFocus focus;
    const auto loads = [&] { return log.all().count(QStringLiteral("loadScript ") + script); };
    ASSERT_TRUE(pumpUntil([&] { return log.all().size() >= 3; }, 5s));
    kwin->activate(QStringLiteral("chromium"), QStringLiteral("chromium"), self);
    ASSERT_TRUE(pumpUntil([&] { return focus.frontmost().has_value(); }, 5s));

    // Another client unloads the script: within the next recheck nothing is in front, the problem says
    // why, and the script is loaded again; the gate stays closed until the new script reports.
    Intruder intruder(QStringLiteral("kwin-intruder"));
    intruder.call(QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"), QStringLiteral("org.kde.kwin.Scripting"),
                  QStringLiteral("unloadScript"), {script});
    ASSERT_TRUE(pumpUntil([&] { return !focus.frontmost() && loads() == 2; }, 5s)) << log.all().join(", ").toStdString();
    ASSERT_TRUE(focus.problem());
    EXPECT_NE(focus.problem()->find("no longer loaded"), std::string::npos) << *focus.problem();
    kwin->activate(QStringLiteral("chromium"), QStringLiteral("chromium"), self);
    ASSERT_TRUE(pumpUntil([&] { return focus.frontmost().has_value(); }, 5s));
    EXPECT_FALSE(focus.problem());

    // KWin stops answering: closed again, and loaded afresh.
    log.silent = true;
    ASSERT_TRUE(pumpUntil([&] { return !focus.frontmost(); }, 5s));
    ASSERT_TRUE(focus.problem());
    EXPECT_NE(focus.problem()->find("does not answer"), std::string::npos) << *focus.problem();
    ASSERT_TRUE(pumpUntil([&] { return loads() == 3; }, 5s));
    log.silent = false;
}

// GNOME Shell's connection, with the extension's object on it when asked.
class FakeShellFocus final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tamberlo.Joyrelay.ShellFocus")
public:
    explicit FakeShellFocus(QString wmClass) : wmClass_(std::move(wmClass)) {}
    QVariantMap report() const {
        return {{"wm-class", wmClass_}, {"app-id", wmClass_ + QStringLiteral(".desktop")}, {"pid", 7}};
    }
public Q_SLOTS:
    Q_SCRIPTABLE QVariantMap GetFocus() { return report(); }
Q_SIGNALS:
    Q_SCRIPTABLE void FocusChanged(const QVariantMap& info);

private:
    QString wmClass_;
};

TEST(GnomeFocus, BelievesTheNameOnlyWhileGnomeShellsOwnConnectionHoldsIt) {
    const QString service = QString::fromLatin1(GnomeFocus::extensionService);
    const QString path = QString::fromLatin1(GnomeFocus::extensionPath);
    Intruder shell(QStringLiteral("fake-gnome-shell"));
    Intruder squatter(QStringLiteral("squatter"));
    FakeShellFocus shellObject(QStringLiteral("chromium"));
    FakeShellFocus squatterObject(QStringLiteral("chromium"));
    shell.bus.registerObject(path, &shellObject, QDBusConnection::ExportScriptableContents);
    squatter.bus.registerObject(path, &squatterObject, QDBusConnection::ExportScriptableContents);
    ASSERT_TRUE(shell.bus.registerService(QStringLiteral("org.gnome.Shell")));
    // The squatter takes the extension's name before GNOME Shell does.
    ASSERT_TRUE(squatter.bus.registerService(service));

    GnomeFocus focus;
    ASSERT_TRUE(pumpUntil([&] { return focus.problem().has_value(); }, 5s));
    EXPECT_NE(focus.problem()->find("not GNOME Shell"), std::string::npos) << *focus.problem();
    emit squatterObject.FocusChanged(squatterObject.report());
    squatter.reach(QDBusConnection::sessionBus().baseService());
    EXPECT_FALSE(focus.frontmost());

    // The squatter lets go and the extension in GNOME Shell takes the name: believed.
    ASSERT_TRUE(squatter.bus.unregisterService(service));
    ASSERT_TRUE(shell.bus.registerService(service));
    ASSERT_TRUE(pumpUntil([&] { return focus.frontmost().has_value(); }, 5s));
    EXPECT_FALSE(focus.problem());

    // Queued behind the extension, the squatter gets the name when the extension lets go: the gate
    // closes at once and stays closed whatever the squatter says.
    squatter.bus.interface()->registerService(service, QDBusConnectionInterface::QueueService,
                                              QDBusConnectionInterface::DontAllowReplacement);
    ASSERT_TRUE(shell.bus.unregisterService(service));
    ASSERT_TRUE(pumpUntil([&] { return !focus.frontmost() && focus.problem().has_value(); }, 5s));
    EXPECT_NE(focus.problem()->find("not GNOME Shell"), std::string::npos) << *focus.problem();
    emit squatterObject.FocusChanged(squatterObject.report());
    squatter.reach(QDBusConnection::sessionBus().baseService());
    EXPECT_FALSE(focus.frontmost());
    squatter.bus.unregisterService(service);
    shell.bus.unregisterService(QStringLiteral("org.gnome.Shell"));
}

// ---- the screen lock ----------------------------------------------------------------------------------

class FakeScreenSaver final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    bool active = true;
public Q_SLOTS:
    Q_SCRIPTABLE bool GetActive() { return active; }
Q_SIGNALS:
    Q_SCRIPTABLE void ActiveChanged(bool active);
};

class FakeLogindManager final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public Q_SLOTS:
    Q_SCRIPTABLE QDBusObjectPath GetSessionByPID(uint) {
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/session/_33"));
    }
};

class FakeLogindSession final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(bool LockedHint READ lockedHint)
public:
    bool lockedHint() const {
        ++asked;
        return hint;
    }
    bool hint = false;
    mutable int asked = 0;  // once asked, the watcher listens to the session's signals too
};

TEST(ScreenLockWatcher, FollowsTheScreensaverAndLogindFromTheirOwnersOnly) {
    Intruder desktop(QStringLiteral("fake-screensaver"));
    FakeScreenSaver saver;
    FakeLogindManager manager;
    FakeLogindSession session;
    const QString saverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
    const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/_33");
    desktop.bus.registerObject(saverPath, &saver, QDBusConnection::ExportScriptableContents);
    desktop.bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager, QDBusConnection::ExportScriptableSlots);
    desktop.bus.registerObject(sessionPath, &session, QDBusConnection::ExportAllProperties);
    ASSERT_TRUE(desktop.bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")));
    ASSERT_TRUE(desktop.bus.registerService(QStringLiteral("org.freedesktop.login1")));

    std::vector<std::string> changes;
    // The private bus stands for both the session bus and the system bus.
    ScreenLockWatcher watcher(QDBusConnection::sessionBus(), QDBusConnection::sessionBus(),
                              [&](bool locked, const std::string& source) {
                                  changes.push_back(locked ? "locked by " + source : "unlocked");
                              });
    // Locked already when the program starts: asked at once.
    ASSERT_TRUE(pumpUntil([&] { return watcher.locked(); }, 5s));
    EXPECT_EQ(watcher.lockedBy(), "org.freedesktop.ScreenSaver");

    // Another client says "unlocked" on the same path and interface: not believed.
    Intruder intruder(QStringLiteral("lock-intruder"));
    intruder.bus.send(QDBusMessage::createSignal(saverPath, QStringLiteral("org.freedesktop.ScreenSaver"),
                                                 QStringLiteral("ActiveChanged"))
                      << false);
    intruder.reach(QDBusConnection::sessionBus().baseService());
    EXPECT_TRUE(watcher.locked());

    // The screensaver says it: unlocked. logind's hint locks it again; the screensaver going away does
    // not unlock what logind says.
    saver.active = false;
    emit saver.ActiveChanged(false);
    ASSERT_TRUE(pumpUntil([&] { return !watcher.locked() && session.asked > 0; }, 5s));
    session.hint = true;
    desktop.bus.send(QDBusMessage::createSignal(sessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                QStringLiteral("PropertiesChanged"))
                     << QStringLiteral("org.freedesktop.login1.Session") << QVariantMap{{"LockedHint", true}}
                     << QStringList{});
    ASSERT_TRUE(pumpUntil([&] { return watcher.locked(); }, 5s));
    EXPECT_EQ(watcher.lockedBy(), "logind");
    desktop.bus.unregisterService(QStringLiteral("org.freedesktop.ScreenSaver"));
    desktop.reach(QDBusConnection::sessionBus().baseService());
    EXPECT_TRUE(watcher.locked());
    // logind goes away: nobody says locked any more.
    desktop.bus.unregisterService(QStringLiteral("org.freedesktop.login1"));
    ASSERT_TRUE(pumpUntil([&] { return !watcher.locked(); }, 5s));
    EXPECT_EQ(changes, (std::vector<std::string>{"locked by org.freedesktop.ScreenSaver", "unlocked",
                                                 "locked by logind", "unlocked"}));
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

TEST(GnomeFocus, TheAskerCallsGetFocusOnTheExtensionsOwnerFromAnotherThread) {
    const QString name = QStringLiteral("fake-shell");
    QDBusConnection shell = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    FakeShellFocus extension(QStringLiteral("chromium"));
    ASSERT_TRUE(shell.registerObject(QString::fromLatin1(GnomeFocus::extensionPath), &extension,
                                     QDBusConnection::ExportScriptableSlots));
    ASSERT_TRUE(shell.registerService(QStringLiteral("org.gnome.Shell")));
    ASSERT_TRUE(shell.registerService(QString::fromLatin1(GnomeFocus::extensionService)));
    GnomeFocus focus;
    const std::shared_ptr<FocusNow> now = focus.focusNow();
    ASSERT_TRUE(now);
    // As the bridge queue asks: on a thread of its own, while the main thread runs Qt's loop.
    const auto ask = [&] {
        std::optional<FocusNow::Answer> answer;
        std::mutex lock;
        std::thread asker([&] {
            const FocusNow::Answer a = now->ask(FocusNow::Clock::now() + 5s);
            std::lock_guard guard(lock);
            answer = a;
        });
        pumpUntil([&] {
            std::lock_guard guard(lock);
            return answer.has_value();
        }, 10s);
        asker.join();
        return answer.value_or(FocusNow::Answer{});
    };
    ASSERT_TRUE(pumpUntil([&] { return focus.reporting(); }, 5s));
    const FocusNow::Answer answer = ask();
    EXPECT_TRUE(answer.answered);
    EXPECT_TRUE(BrowserGuard::isBrowser(answer.app));

    shell.unregisterService(QString::fromLatin1(GnomeFocus::extensionService));
    ASSERT_TRUE(pumpUntil([&] { return !focus.reporting(); }, 5s));
    EXPECT_FALSE(ask().answered);  // nobody owns the name: nobody is asked
    shell.unregisterService(QStringLiteral("org.gnome.Shell"));
    shell.unregisterObject(QString::fromLatin1(GnomeFocus::extensionPath));
    QDBusConnection::disconnectFromBus(name);
}

}  // namespace
}  // namespace joyrelay

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "KdeGnomeUnitTests.moc"
