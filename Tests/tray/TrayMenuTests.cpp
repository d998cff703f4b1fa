// The status item and its menu, the start-up sequence, the permission poll, the actions and the way
// out, on Qt's offscreen platform with a fake desktop.
#include <gtest/gtest.h>

#include <QAction>
#include <algorithm>
#include <fstream>
#include <QImage>
#include <QMenu>
#include <QTest>
#include <cstdlib>

#include "app/AppDelegate.hpp"
#include "app/QtMainQueue.hpp"
#include "queues/Queues.hpp"
#include "support/ManualQueues.hpp"
#include "TrayFakes.hpp"
#include "support/RecordingKeyEvents.hpp"
#include "support/TempDir.hpp"
#include "platform/simulated/SimulatedUsbHost.hpp"

using namespace joyrelay;
using namespace joyrelay::testing;
using namespace std::chrono_literals;

namespace {

const std::string notFound = "Stick: not found \u2014 plug in the 8BitDo Arcade Stick for Xbox";
const std::string label = "8BitDo Arcade Stick (2dc8:2004)";
const std::string grantedLine = "Accessibility: granted";
const std::string neededLine = "Accessibility: needed \u2014 keys are not delivered yet";

// One delegate on a fake desktop and a fake stick, with a focus monitor of its own.
struct Tray {
    FakeDesktop desktop;
    FocusMonitor monitor;
    FakeStick* stick = nullptr;
    std::unique_ptr<AppDelegate> delegate;
    int quits = 0;

    explicit Tray(bool trusted = true, std::function<void(AppDelegate::Setup&)> adjust = {},
                  std::unique_ptr<StickService> service = nullptr) {
        desktop.trustedAnswer = trusted;
        AppDelegate::Setup setup;
        setup.appVersion = "1.2.3";
        setup.bundlePath = "/opt/joyrelay/tamberlo-joyrelay";
        setup.urls = {"file:///opt/joyrelay/web/index.html", "file:///opt/joyrelay/web/padtest.html"};
        setup.focusMonitor = &monitor;
        setup.quitApplication = [this] { ++quits; };
        if (adjust) adjust(setup);
        if (!service) {
            auto fake = std::make_unique<FakeStick>();
            fake->calls = &desktop.calls;
            stick = fake.get();
            service = std::move(fake);
        }
        delegate = std::make_unique<AppDelegate>(std::move(setup), desktop, std::move(service));
    }
    void launch() { delegate->applicationDidFinishLaunching(); }
};

// Each entry as one line: its title, then what sets it apart.
std::vector<std::string> describe(const QMenu& menu) {
    std::vector<std::string> out;
    for (const QAction* a : menu.actions()) {
        if (a->isSeparator()) {
            out.push_back("---");
            continue;
        }
        std::string line = a->text().toStdString();
        if (a->isVisible() && !a->isEnabled()) line += " [disabled]";  // Qt disables what it hides
        if (a->isCheckable()) line += a->isChecked() ? " [x]" : " [ ]";
        if (!a->isVisible()) line += " [hidden]";
        if (!a->shortcut().isEmpty()) line += " <" + a->shortcut().toString().toStdString() + ">";
        out.push_back(line);
    }
    return out;
}

int countVisible(const QMenu& menu, bool separators) {
    int n = 0;
    for (const QAction* a : menu.actions()) {
        if (a->isVisible() && a->isSeparator() == separators) ++n;
    }
    return n;
}

QImage picture(const QIcon& icon) { return icon.pixmap(QSize(32, 32)).toImage(); }

std::vector<std::string> expectedMenu(const std::string& stickLine, bool trusted, bool loginChecked = false) {
    return {
        "Tamberlo Joyrelay 1.2.3 [disabled]",
        "---",
        stickLine + " [disabled]",
        (trusted ? grantedLine : neededLine) + " [disabled]",
        std::string("Open Accessibility settings\u2026") + (trusted ? " [hidden]" : ""),
        "---",
        "Open the arcade",
        "Controller check page",
        "---",
        std::string("Launch at login") + (loginChecked ? " [x]" : " [ ]"),
        "Show log",
        "---",
        "Quit Tamberlo Joyrelay <Q>",
    };
}

QAction* entry(QMenu& menu, const QString& title) {
    for (QAction* a : menu.actions()) {
        if (a->text() == title) return a;
    }
    return nullptr;
}

}  // namespace

TEST(TrayMenu, LayoutTextsSymbolAndToolTipForEveryStatusAndBothPermissionStates) {
    struct Case {
        StickStatus status;
        std::string line;
        const char* symbol;
    };
    const Case cases[] = {
        {StickStatus::searching(), notFound, "gamecontroller"},
        {StickStatus::connected(label), "Stick: connected \u2014 " + label, "gamecontroller.fill"},
        {StickStatus::busy(label), "Stick: in use by another program \u2014 " + label, "gamecontroller"},
        {StickStatus::error("open failed: access denied \u2014 see the udev rule"),
         "Stick: open failed: access denied \u2014 see the udev rule", "gamecontroller"},
    };
    for (const bool trusted : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.line + (trusted ? " / granted" : " / needed"));
            Tray tray(trusted);
            tray.launch();
            if (!(c.status == StickStatus::searching())) tray.stick->report(c.status);
            QMenu& menu = *tray.delegate->menu();

            EXPECT_EQ(describe(menu), expectedMenu(c.line, trusted));
            EXPECT_EQ(countVisible(menu, false), trusted ? 8 : 9);
            EXPECT_EQ(countVisible(menu, true), 4);

            QSystemTrayIcon& item = *tray.delegate->statusItem();
            EXPECT_EQ(item.contextMenu(), &menu);
            EXPECT_EQ(item.toolTip().toStdString(), c.line + "\n" + (trusted ? grantedLine : neededLine));
            EXPECT_EQ(tray.delegate->symbolName(), c.symbol);
            EXPECT_TRUE(tray.delegate->buttonTitle().isEmpty());
            EXPECT_EQ(picture(item.icon()), picture(AppDelegate::systemSymbol(c.symbol)));
        }
    }
}

TEST(TrayMenu, ShipsBothSymbolsAndTheyDiffer) {
    const QIcon outline = AppDelegate::systemSymbol("gamecontroller");
    const QIcon filled = AppDelegate::systemSymbol("gamecontroller.fill");
    ASSERT_FALSE(outline.isNull()) << "the outline symbol is not in the program's resources";
    ASSERT_FALSE(filled.isNull()) << "the filled symbol is not in the program's resources";
    EXPECT_NE(picture(outline), picture(filled));
    EXPECT_TRUE(AppDelegate::systemSymbol("gamecontroller.slash").isNull());
}

TEST(TrayMenu, FilledSymbolOnlyWhileConnected) {
    Tray tray;
    tray.launch();
    const QImage outline = picture(AppDelegate::systemSymbol("gamecontroller"));
    const QImage filled = picture(AppDelegate::systemSymbol("gamecontroller.fill"));
    EXPECT_EQ(picture(tray.delegate->statusItem()->icon()), outline);
    tray.stick->report(StickStatus::connected(label));
    EXPECT_EQ(picture(tray.delegate->statusItem()->icon()), filled);
    tray.stick->report(StickStatus::searching());
    EXPECT_EQ(picture(tray.delegate->statusItem()->icon()), outline);
    EXPECT_EQ(tray.delegate->stickItem()->text().toStdString(), notFound);
}

TEST(TrayMenu, TitleTJWhenTheSymbolCannotBeLoaded) {
    Tray tray(true, [](AppDelegate::Setup& setup) { setup.symbolImage = [](const std::string&) { return QIcon(); }; });
    tray.launch();
    tray.stick->report(StickStatus::connected(label));
    EXPECT_EQ(tray.delegate->buttonTitle(), QStringLiteral("TJ"));
    const QIcon shown = tray.delegate->statusItem()->icon();
    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(picture(shown), picture(AppDelegate::titleIcon(QStringLiteral("TJ"))));
    EXPECT_EQ(describe(*tray.delegate->menu()), expectedMenu("Stick: connected \u2014 " + label, true));
}

TEST(TrayMenu, CheckMarkFollowsTheLoginStatusReadAfresh) {
    Tray tray;
    tray.launch();
    QAction& login = *tray.delegate->loginItem();
    const std::pair<LoginItemStatus, bool> cases[] = {
        {LoginItemStatus::enabled, true},
        {LoginItemStatus::requiresApproval, false},
        {LoginItemStatus::notFound, false},
        {LoginItemStatus::notRegistered, false},
        {LoginItemStatus::enabled, true},
    };
    for (const auto& [status, checked] : cases) {
        tray.desktop.loginStatus = status;
        const int reads = tray.desktop.loginStatusReads;
        tray.stick->report(StickStatus::searching());  // any refresh
        EXPECT_EQ(tray.desktop.loginStatusReads, reads + 1) << "the status is read at every refresh";
        EXPECT_EQ(login.isChecked(), checked) << static_cast<int>(status);
    }
}

TEST(TrayMenu, RefreshIsIdempotent) {
    Tray tray(false);
    tray.launch();
    tray.stick->report(StickStatus::busy(label));
    const auto menu = describe(*tray.delegate->menu());
    const QString toolTip = tray.delegate->statusItem()->toolTip();
    const QImage icon = picture(tray.delegate->statusItem()->icon());
    for (int i = 0; i < 2; ++i) tray.stick->report(StickStatus::busy(label));
    EXPECT_EQ(describe(*tray.delegate->menu()), menu);
    EXPECT_EQ(tray.delegate->statusItem()->toolTip(), toolTip);
    EXPECT_EQ(picture(tray.delegate->statusItem()->icon()), icon);
    EXPECT_EQ(tray.delegate->menu()->actions().size(), 13) << "refresh never adds entries";
}

TEST(TrayStartUp, RunsItsStepsInOrder) {
    LogCapture log;
    Tray tray(false);
    tray.desktop.calls.clear();
    tray.launch();
    const std::vector<std::string> lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Tamberlo Joyrelay 1.2.3 starting (/opt/joyrelay/tamberlo-joyrelay)");
    EXPECT_EQ(lines[1], "Accessibility not granted yet \u2014 keys are not delivered until it is");

    // Focus monitor (its first look, its notice and its 1 s timer), the check with the prompt, the
    // stick, the 2 s poll, then the first refresh (which reads the login status).
    const std::vector<std::string> expected = {"frontmost", "observeActivation", "schedule 1000", "trusted prompt",
                                               "stick start", "schedule 2000", "loginStatus"};
    EXPECT_EQ(tray.desktop.calls, expected);
    EXPECT_EQ(tray.delegate->stickItem()->text().toStdString(), notFound);
    EXPECT_EQ(tray.delegate->symbolName(), "gamecontroller");
    EXPECT_FALSE(tray.delegate->trusted());
}

TEST(TrayStartUp, StatusReportsMadeDuringStartUpArriveAfterItInOrder) {
    // A real bridge on a queue the test turns by hand, reporting through Qt's event loop.
    ManualQueue queue;
    QtMainQueue mainQueue;
    sim::SimulatedUsbHost host(queue);
    RecordingKeyEvents keys;
    sim::SimulatedUsbHost::DeviceId stick = host.plug(sim::DeviceSpec{});
    auto bridge = StickBridge::create(queue, mainQueue, host, keys, [] { return true; });
    Tray tray(true, {}, std::make_unique<LiveStick>(bridge));

    std::vector<std::string> shown;
    QObject::connect(tray.delegate->stickItem(), &QAction::changed, [&] {
        const std::string text = tray.delegate->stickItem()->text().toStdString();
        if (!text.empty() && (shown.empty() || shown.back() != text)) shown.push_back(text);
    });
    // While the start-up sequence schedules its poll (after starting the bridge), the bridge claims
    // the stick, loses it and claims it again: three reports.
    std::string duringStartUp = "(not reached)";
    tray.desktop.onScheduleRepeating = [&](std::chrono::milliseconds interval) {
        if (interval != AppDelegate::permissionPollInterval) return;
        queue.runAll(10s);
        host.unplug(stick);
        queue.runAll(10s);
        stick = host.plug(sim::DeviceSpec{});
        queue.runAll(10s);
        duringStartUp = tray.delegate->stickItem()->text().toStdString();
    };
    tray.launch();
    EXPECT_EQ(duringStartUp, "") << "a report was handled inside the start-up sequence";
    EXPECT_EQ(tray.delegate->stickItem()->text().toStdString(), notFound);

    const std::string connected = "Stick: connected \u2014 " + label;
    ASSERT_TRUE(pumpUntil([&] { return shown.size() >= 4; })) << shown.size();
    const std::vector<std::string> expected = {notFound, connected, notFound, connected};
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(tray.delegate->stickStatus(), StickStatus::connected(label));
    EXPECT_EQ(tray.delegate->symbolName(), "gamecontroller.fill");
}

TEST(TrayPermission, PollLogsAndRefreshesOnlyWhenTheAnswerChanges) {
    Tray tray(true);
    tray.launch();
    LogCapture log;
    int reads = tray.desktop.loginStatusReads;

    tray.desktop.tick(AppDelegate::permissionPollInterval);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(tray.desktop.loginStatusReads, reads) << "an unchanged answer must not refresh the menu";
    EXPECT_EQ(tray.desktop.calls.back(), "trusted") << "the poll never prompts";

    tray.desktop.trustedAnswer = false;
    tray.desktop.tick(AppDelegate::permissionPollInterval);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Accessibility revoked"});
    EXPECT_EQ(tray.delegate->axItem()->text().toStdString(), neededLine);
    EXPECT_TRUE(tray.delegate->axOpenItem()->isVisible());
    EXPECT_EQ(tray.desktop.loginStatusReads, reads + 1);

    tray.desktop.tick(AppDelegate::permissionPollInterval);
    EXPECT_EQ(log.lines().size(), 1u);

    tray.desktop.trustedAnswer = true;
    tray.desktop.tick(AppDelegate::permissionPollInterval);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Accessibility revoked", "Accessibility granted"}));
    EXPECT_EQ(tray.delegate->axItem()->text().toStdString(), grantedLine);
    EXPECT_FALSE(tray.delegate->axOpenItem()->isVisible());
    EXPECT_EQ(tray.delegate->statusItem()->toolTip().toStdString(), notFound + "\n" + grantedLine);
}

TEST(TrayPermission, TheLineSaysWhatKeepsKeysFromTheBrowserWhileThatLasts) {
    std::optional<std::string> problem = "no key output: cannot create a uinput keyboard: No such file or directory "
                                         "(/dev/uinput); the Wayland compositor offers no virtual keyboard";
    Tray tray(false, [&](AppDelegate::Setup& setup) { setup.deliveryProblem = [&] { return problem; }; });
    tray.launch();
    EXPECT_EQ(tray.delegate->axItem()->text().toStdString(), neededLine + " (" + *problem + ")");
    EXPECT_EQ(tray.delegate->statusItem()->toolTip().toStdString(), notFound + "\n" + neededLine + " (" + *problem + ")");

    // Keys can be posted, but the desktop does not say which window has the focus.
    problem = "the focus cannot be read: JOYRELAY_FOCUS=none";
    tray.desktop.trustedAnswer = true;
    tray.desktop.tick(AppDelegate::permissionPollInterval);
    EXPECT_EQ(tray.delegate->axItem()->text().toStdString(), grantedLine + " (" + *problem + ")");

    problem.reset();
    tray.desktop.trustedAnswer = false;
    tray.desktop.tick(AppDelegate::permissionPollInterval);
    tray.desktop.trustedAnswer = true;
    tray.desktop.tick(AppDelegate::permissionPollInterval);
    EXPECT_EQ(tray.delegate->axItem()->text().toStdString(), grantedLine);
}

TEST(TrayPermission, StatusCallbackAndPollDoNothingOnceTheDelegateIsGone) {
    Tray tray(true);
    tray.launch();
    const StickService::StatusHandler callback = tray.stick->handler;  // as the bridge still holds it
    tray.delegate.reset();
    LogCapture log;
    tray.desktop.trustedAnswer = false;
    const int reads = tray.desktop.loginStatusReads;
    tray.desktop.tick(AppDelegate::permissionPollInterval);
    callback(StickStatus::connected(label));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(tray.desktop.loginStatusReads, reads);
}

TEST(TrayActions, OpenTheirAddressesThroughTheDesktop) {
    Tray tray(false);
    tray.launch();
    QMenu& menu = *tray.delegate->menu();
    tray.desktop.calls.clear();

    entry(menu, "Open the arcade")->trigger();
    entry(menu, "Controller check page")->trigger();
    EXPECT_EQ(tray.desktop.opened,
              (std::vector<std::string>{"file:///opt/joyrelay/web/index.html", "file:///opt/joyrelay/web/padtest.html"}));

    tray.desktop.opened.clear();
    tray.delegate->axOpenItem()->trigger();
    ASSERT_EQ(tray.desktop.opened.size(), 1u);
    EXPECT_TRUE(tray.desktop.opened[0].starts_with("file:///")) << tray.desktop.opened[0];
    EXPECT_TRUE(tray.desktop.opened[0].ends_with("/help.html")) << tray.desktop.opened[0];
    EXPECT_EQ(std::count(tray.desktop.calls.begin(), tray.desktop.calls.end(), "trusted prompt"), 1)
        << "the settings entry shows the prompt first";
    EXPECT_FALSE(tray.delegate->trusted()) << "the entry leaves the answer to the poll";
}

TEST(TrayActions, ShowLogOpensTheLogFileOnlyWhenItExists) {
    const joyrelay::testing::TempDir temp("joyrelay-show-log");
    ASSERT_TRUE(temp.ok());
    const std::filesystem::path& folder = temp.path();
    const std::filesystem::path file = folder / "Tamberlo Joyrelay.log";
    std::filesystem::remove(file);
    Tray tray(true, [&](AppDelegate::Setup& setup) { setup.logPath = file; });
    tray.launch();
    QAction* showLog = entry(*tray.delegate->menu(), "Show log");
    showLog->trigger();
    EXPECT_TRUE(tray.desktop.opened.empty());
    std::ofstream(file) << "2026-01-01 00:00:00 hello\n";
    showLog->trigger();
    ASSERT_EQ(tray.desktop.opened.size(), 1u);
    EXPECT_EQ(tray.desktop.opened[0], AppInfo::fileURL(file));
    EXPECT_NE(tray.desktop.opened[0].find("Tamberlo%20Joyrelay.log"), std::string::npos);
    std::filesystem::remove_all(folder);
}

TEST(TrayActions, LaunchAtLoginRegistersUnregistersAndReportsFailures) {
    LogCapture log;
    Tray tray;
    tray.launch();
    QAction& login = *tray.delegate->loginItem();
    log.clear();

    login.trigger();  // not registered: register
    EXPECT_EQ(tray.desktop.calls.back(), "loginStatus") << "the check mark is read back";
    EXPECT_TRUE(login.isChecked());
    login.trigger();  // enabled: unregister
    EXPECT_FALSE(login.isChecked());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"launch at login: on", "launch at login: off"}));

    // Awaiting approval counts as not enabled: another click registers again; the check mark comes
    // only from the status read afterwards.
    tray.desktop.loginStatus = LoginItemStatus::requiresApproval;
    tray.desktop.registerError = std::nullopt;
    log.clear();
    tray.desktop.calls.clear();
    login.trigger();
    EXPECT_EQ(tray.desktop.calls[1], "register");

    tray.desktop.loginStatus = LoginItemStatus::notRegistered;
    tray.desktop.registerError = "the system refused";
    log.clear();
    login.trigger();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"launch at login failed: the system refused"});
    ASSERT_EQ(tray.desktop.alerts.size(), 1u);
    EXPECT_EQ(tray.desktop.alerts[0].first, "Could not change Launch at login");
    EXPECT_EQ(tray.desktop.alerts[0].second, "the system refused");
    EXPECT_FALSE(login.isChecked());
}

TEST(TrayQuit, KeyQInTheOpenMenuReleasesHeldKeysThenLogsQuitLast) {
    LogCapture log;
    Tray tray;
    tray.launch();
    QMenu& menu = *tray.delegate->menu();
    menu.popup(QPoint(20, 20));
    ASSERT_TRUE(pumpUntil([&] { return menu.isVisible(); }));

    QTest::keyClick(&menu, Qt::Key_X);
    QTest::keyClick(&menu, Qt::Key_1);
    EXPECT_EQ(tray.quits, 0) << "only the Quit entry's key ends the program";

    tray.desktop.calls.clear();
    QTest::keyClick(&menu, Qt::Key_Q);
    EXPECT_EQ(tray.quits, 1);
    EXPECT_EQ(tray.stick->releases, 1);
    EXPECT_EQ(tray.desktop.calls, std::vector<std::string>{"stick release"});
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().back(), "quit");
    EXPECT_TRUE(pumpUntil([&] { return !menu.isVisible(); }));

    // A second way out (SIGTERM after the menu) does nothing more.
    tray.delegate->terminate();
    EXPECT_EQ(tray.quits, 1);
    EXPECT_EQ(tray.stick->releases, 1);
}

TEST(TrayQuit, QuitEntryClickedAndReleaseTimeout) {
    LogCapture log;
    Tray tray;
    tray.launch();
    tray.stick->releaseAnswer = false;
    entry(*tray.delegate->menu(), "Quit Tamberlo Joyrelay")->trigger();
    EXPECT_EQ(tray.quits, 1);
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "the stick's held keys could not be confirmed released in time");
    EXPECT_EQ(lines.back(), "quit");
}
