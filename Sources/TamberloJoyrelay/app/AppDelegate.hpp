// The application delegate: the start-up sequence that wires the stick, the focus monitor and the
// menu together, the status item and its menu, the menu's actions, the two-second permission poll and
// the way out.
//
// Threads: the main thread only. The stick's status changes reach it through the main queue; the
// poll and the actions run on the event loop.
#pragma once

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/AppInfo.hpp"
#include "contracts/DesktopServices.hpp"
#include "gate/FocusMonitor.hpp"
#include "contracts/StickStatus.hpp"
#include "app/StickService.hpp"

class QKeyEvent;

namespace joyrelay {

// The status item's menu. While it is open it answers the key equivalents of its entries (the Quit
// entry's "q"): Qt hands an open menu's keys to the menu, never to the entries' shortcuts, and would
// otherwise only answer mnemonics.
class StatusMenu final : public QMenu {
    Q_OBJECT

public:
    using QMenu::QMenu;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class AppDelegate final : public QObject {
    Q_OBJECT

public:
    struct Setup {
        std::string appVersion = AppInfo::version();
        std::string bundlePath;                 // the executable, for the start-up line
        PageURLs urls;                          // arcadeURL and padTestURL
        std::filesystem::path logPath;          // the file "Show log" opens
        FocusMonitor* focusMonitor = nullptr;   // nullptr: FocusMonitor::shared()
        std::optional<std::string> noDesktopReason;  // why the desktop cannot say what is in front
        // What keeps keys from reaching a browser (a missing key output and why, a focus that cannot
        // be read), added to the menu's permission line; nothing when all is well. Asked at every
        // refresh of the menu. Unset: the line has no detail.
        std::function<std::optional<std::string>()> deliveryProblem;
        // Runs as the menu opens, once the gate has closed for it and before the menu takes the
        // keyboard: returns once the held keys' releases have reached the desktop (or a short wait
        // ran out), so that they go to the window that had the keys, not to the menu's grab. Unset:
        // nothing is waited for.
        std::function<void()> releaseBeforeMenu;
        // The image for a symbol name ("gamecontroller", "gamecontroller.fill"), or a null icon when
        // there is none. Defaults to the program's own SVG icons.
        std::function<QIcon(const std::string&)> symbolImage;
        // Ends the event loop once "quit" is logged. Unset: QCoreApplication::exit with the status
        // given to terminate.
        std::function<void()> quitApplication;
        // How long the way out waits for the stick's held keys to be released.
        std::chrono::milliseconds releaseTimeout{2000};
        // No status item and no menu: the stick's status and the permission's changes go to the log
        // instead, and the start-up line is the entry point's (it comes before the focus choice).
        bool headless = false;
        // XDG_CURRENT_DESKTOP names GNOME, whose Shell has no tray of its own: the missing tray's log
        // line says how to get one.
        bool gnome = false;
    };

    static constexpr std::chrono::milliseconds permissionPollInterval{2000};
    static constexpr std::chrono::milliseconds trayWatchInterval{2000};

    // Creates the four changing menu items (none when headless); nothing is shown before
    // applicationDidFinishLaunching.
    // `desktop` must outlive the delegate.
    AppDelegate(Setup setup, DesktopServices& desktop, std::unique_ptr<StickService> bridge);
    ~AppDelegate() override;

    // The start-up sequence: start-up line, focus monitor, permission check (with the prompt), menu,
    // status callback, bridge, permission poll, first refresh. Headless: focus monitor, permission
    // check (no prompt; the settings address is logged instead), bridge, permission poll.
    void applicationDidFinishLaunching();

    // "Tamberlo Joyrelay VERSION starting (PATH)", with ", headless" after the path when there is no tray.
    static std::string startupLine(const std::string& version, const std::string& path, bool headless);

    // The menu's actions.
    void openArcade();
    void openPadTest();
    void openAccessibility();
    void showLog();
    void toggleLogin();

    // The Quit entry, SIGINT and SIGTERM: releases every key the stick holds (and waits for that),
    // then applicationWillTerminate, then ends the event loop with `status`. Later calls do nothing.
    void terminate(int status = 0);

    // Logs "quit".
    void applicationWillTerminate();

    // For the entry point and tests.
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    QMenu* menu() const { return menu_.get(); }
    QAction* stickItem() const { return stickItem_.get(); }
    QAction* axItem() const { return axItem_.get(); }
    QAction* axOpenItem() const { return axOpenItem_.get(); }
    QAction* loginItem() const { return loginItem_.get(); }
    const StickStatus& stickStatus() const { return stickStatus_; }
    bool trusted() const { return trusted_; }
    // The symbol the status item shows, and "TJ" when it shows that title instead of an image.
    const std::string& symbolName() const { return symbolName_; }
    const QString& buttonTitle() const { return buttonTitle_; }

    // The program's own symbol images, rendered from the SVG resources; a null icon for an unknown
    // name or an image that cannot be loaded.
    static QIcon systemSymbol(const std::string& name);
    // A text drawn as an icon, for a status item that has no image (QSystemTrayIcon has no title).
    static QIcon titleIcon(const QString& title);

signals:
    // The status item exists (emitted by buildMenu).
    void statusItemCreated(QSystemTrayIcon* item);

private:
    void buildMenu();
    void refresh();
    void pollPermission();
    void watchForTray();
    void ownWindowsChanged();  // tells the focus monitor whether a window of ours is open
    QIcon symbol(const std::string& name);

    Setup setup_;
    DesktopServices& desktop_;

    // The fields of the application's state, in this order.
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<StickService> bridge_;
    StickStatus stickStatus_ = StickStatus::searching();
    bool trusted_ = false;
    std::unique_ptr<QAction> stickItem_;
    std::unique_ptr<QAction> axItem_;
    std::unique_ptr<QAction> axOpenItem_;
    std::unique_ptr<QAction> loginItem_;

    std::unique_ptr<StatusMenu> menu_;  // the status item shows it; QSystemTrayIcon does not own it
    std::map<std::string, QIcon> symbols_;
    std::string symbolName_;
    QString buttonTitle_;
    std::unique_ptr<QTimer> trayWatch_;
    bool terminating_ = false;
    bool menuOpen_ = false;
};

}  // namespace joyrelay
