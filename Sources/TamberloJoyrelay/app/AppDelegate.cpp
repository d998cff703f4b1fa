#include "app/AppDelegate.hpp"

#include <algorithm>

#include <QCoreApplication>
#include <QImage>
#include <QFont>
#include <QGuiApplication>
#include <QWindow>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QSvgRenderer>

#include "app/Accessibility.hpp"
#include "log/Log.hpp"
#include "app/StatusText.hpp"

namespace joyrelay {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

const char* const openAccessibilityTitle = "Open Accessibility settings\u2026";
const char* const grantedLine = "Accessibility: granted";
const char* const neededLine = "Accessibility: needed \u2014 keys are not delivered yet";

}  // namespace

// --- The menu --------------------------------------------------------------------------------------

void StatusMenu::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const QKeySequence pressed(QKeyCombination(modifiers, static_cast<Qt::Key>(event->key())));
    for (QAction* action : actions()) {
        if (action->isSeparator() || !action->isVisible() || !action->isEnabled()) continue;
        if (action->shortcut().isEmpty() || action->shortcut() != pressed) continue;
        event->accept();
        close();  // as a click would: the menu goes, then the entry runs
        action->trigger();
        return;
    }
    QMenu::keyPressEvent(event);
}

// --- Symbols ---------------------------------------------------------------------------------------

namespace {

// The symbol drawn the way a template image is shown in a menu bar that may be light or dark: the
// shape in a light colour with a thin dark rim, legible on either.
QPixmap templatePixmap(QSvgRenderer& renderer, int size) {
    QImage shape(size, size, QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    {
        QPainter painter(&shape);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
    }
    const auto tinted = [&](const QColor& colour) {
        QImage out = shape;
        QPainter painter(&out);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(out.rect(), colour);
        return out;
    };
    const QImage rim = tinted(QColor(0, 0, 0, 170));
    const QImage face = tinted(QColor(0xf2, 0xf2, 0xf2));
    QImage result(size, size, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    const int r = std::max(1, size / 22);
    for (int dx = -r; dx <= r; dx += r) {
        for (int dy = -r; dy <= r; dy += r) {
            if (dx != 0 || dy != 0) painter.drawImage(dx, dy, rim);
        }
    }
    painter.drawImage(0, 0, face);
    painter.end();
    return QPixmap::fromImage(result);
}

}  // namespace

QIcon AppDelegate::systemSymbol(const std::string& name) {
    QString path;
    if (name == "gamecontroller") {
        path = QStringLiteral(":/icons/gamecontroller.svg");
    } else if (name == "gamecontroller.fill") {
        path = QStringLiteral(":/icons/gamecontroller-fill.svg");
    } else {
        return {};
    }
    QSvgRenderer renderer(path);
    if (!renderer.isValid()) return {};
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(templatePixmap(renderer, size));
    return icon;
}

QIcon AppDelegate::titleIcon(const QString& title) {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(34);
    painter.setFont(font);
    painter.setPen(QColor(0, 0, 0, 170));
    for (const QPoint offset : {QPoint(-2, 0), QPoint(2, 0), QPoint(0, -2), QPoint(0, 2)}) {
        painter.drawText(pixmap.rect().translated(offset), Qt::AlignCenter, title);
    }
    painter.setPen(QColor(0xf2, 0xf2, 0xf2));
    painter.drawText(pixmap.rect(), Qt::AlignCenter, title);
    painter.end();
    return QIcon(pixmap);
}

QIcon AppDelegate::symbol(const std::string& name) {
    const auto found = symbols_.find(name);
    if (found != symbols_.end()) return found->second;
    QIcon icon = setup_.symbolImage ? setup_.symbolImage(name) : QIcon();
    symbols_.emplace(name, icon);
    return icon;
}

// --- Life cycle ------------------------------------------------------------------------------------

AppDelegate::AppDelegate(Setup setup, DesktopServices& desktop, std::unique_ptr<StickService> bridge)
    : setup_(std::move(setup)),
      desktop_(desktop),
      bridge_(std::move(bridge)) {
    if (!setup_.focusMonitor) setup_.focusMonitor = &FocusMonitor::shared();
    if (!setup_.symbolImage) setup_.symbolImage = &AppDelegate::systemSymbol;
    if (setup_.headless) return;  // no menu, and no GUI application for its items
    stickItem_ = std::make_unique<QAction>();
    axItem_ = std::make_unique<QAction>();
    axOpenItem_ = std::make_unique<QAction>(qs(openAccessibilityTitle));
    loginItem_ = std::make_unique<QAction>(QStringLiteral("Launch at login"));
    connect(axOpenItem_.get(), &QAction::triggered, this, [this] { openAccessibility(); });
    loginItem_->setCheckable(true);
    connect(loginItem_.get(), &QAction::triggered, this, [this] { toggleLogin(); });
}

AppDelegate::~AppDelegate() {
    if (statusItem_) {
        statusItem_->hide();
        statusItem_->setContextMenu(nullptr);
    }
}

std::string AppDelegate::startupLine(const std::string& version, const std::string& path, bool headless) {
    return "Tamberlo Joyrelay " + version + " starting (" + path + (headless ? ", headless" : "") + ")";
}

void AppDelegate::applicationDidFinishLaunching() {
    const bool headless = setup_.headless;
    if (!headless) Log::info(startupLine(setup_.appVersion, setup_.bundlePath, false));
    setup_.focusMonitor->start(desktop_, setup_.noDesktopReason);
    trusted_ = desktop_.isProcessTrusted(!headless);
    if (!trusted_) {
        Log::info("Accessibility not granted yet \u2014 keys are not delivered until it is");
        if (headless) Log::info("How to let Tamberlo Joyrelay post keys: " + Accessibility::settingsURL());
    }
    if (!headless) buildMenu();

    const QPointer<AppDelegate> self(this);
    bridge_->start([self, headless](const StickStatus& status) {
        if (headless) Log::info(stickLine(status));
        if (!self) return;
        self->stickStatus_ = status;
        if (!headless) self->refresh();
    });
    desktop_.scheduleRepeating(permissionPollInterval, [self] {
        if (self) self->pollPermission();
    });
    if (!headless) refresh();
}

void AppDelegate::pollPermission() {
    const bool answer = desktop_.isProcessTrusted(false);
    if (answer == trusted_) return;
    trusted_ = answer;
    Log::info(std::string("Accessibility ") + (answer ? "granted" : "revoked"));
    if (!setup_.headless) refresh();
}

void AppDelegate::terminate(int status) {
    if (terminating_) return;
    terminating_ = true;
    if (!bridge_->releaseHeldKeys(setup_.releaseTimeout)) {
        Log::info("the stick's held keys could not be confirmed released in time");
    }
    applicationWillTerminate();
    if (setup_.quitApplication) {
        setup_.quitApplication();
    } else {
        QCoreApplication::exit(status);
    }
}

void AppDelegate::applicationWillTerminate() { Log::info("quit"); }

// --- Status item and menu --------------------------------------------------------------------------

void AppDelegate::buildMenu() {
    statusItem_ = std::make_unique<QSystemTrayIcon>();
    menu_ = std::make_unique<StatusMenu>();

    QAction* header = menu_->addAction(qs("Tamberlo Joyrelay " + setup_.appVersion));
    header->setEnabled(false);
    menu_->addSeparator();

    stickItem_->setEnabled(false);
    menu_->addAction(stickItem_.get());
    axItem_->setEnabled(false);
    menu_->addAction(axItem_.get());
    menu_->addAction(axOpenItem_.get());
    menu_->addSeparator();

    connect(menu_->addAction(QStringLiteral("Open the arcade")), &QAction::triggered, this,
            [this] { openArcade(); });
    connect(menu_->addAction(QStringLiteral("Controller check page")), &QAction::triggered, this,
            [this] { openPadTest(); });
    menu_->addSeparator();

    menu_->addAction(loginItem_.get());
    connect(menu_->addAction(QStringLiteral("Show log")), &QAction::triggered, this, [this] { showLog(); });
    menu_->addSeparator();

    QAction* quit = menu_->addAction(QStringLiteral("Quit Tamberlo Joyrelay"));
    quit->setShortcut(QKeySequence(Qt::Key_Q));
    quit->setShortcutVisibleInContextMenu(true);
    connect(quit, &QAction::triggered, this, [this] { terminate(); });

    // The open menu holds the keyboard: the stick's keys must not choose its entries.
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
        menuOpen_ = true;
        ownWindowsChanged();
        if (setup_.releaseBeforeMenu) setup_.releaseBeforeMenu();
        refresh();  // the permission line says why keys are off right now (a lock, a focus source gone)
    });
    connect(menu_.get(), &QMenu::aboutToHide, this, [this] {
        menuOpen_ = false;
        ownWindowsChanged();
    });
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this] { ownWindowsChanged(); });
    }

    statusItem_->setContextMenu(menu_.get());
    emit statusItemCreated(statusItem_.get());
}

void AppDelegate::ownWindowsChanged() {
    bool open = menuOpen_;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        open = open || QGuiApplication::focusWindow() != nullptr;
    }
    setup_.focusMonitor->setOwnWindowOpen(open);
}

void AppDelegate::watchForTray() {
    if (setup_.gnome) {
        // GNOME Shell has no tray of its own; its AppIndicator extension is one.
        Log::info("No system tray to show the icon in \u2014 GNOME has none of its own: install the package "
                  "gnome-shell-extension-appindicator, run gnome-extensions enable ubuntu-appindicators@ubuntu.com "
                  "and log out and in (scripts/run.sh --setup does this for a build from source); "
                  "Tamberlo Joyrelay keeps running and shows the icon when a tray appears");
    } else {
        Log::info("No system tray to show the icon in \u2014 Tamberlo Joyrelay keeps running and shows it when "
                  "a tray appears");
    }
    trayWatch_ = std::make_unique<QTimer>();
    trayWatch_->setInterval(trayWatchInterval);
    connect(trayWatch_.get(), &QTimer::timeout, this, [this] {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
        trayWatch_->stop();
        // Showing again makes Qt dock the icon in the tray that is there now.
        statusItem_->hide();
        statusItem_->show();
        Log::info("System tray found \u2014 icon shown");
    });
    trayWatch_->start();
}

void AppDelegate::refresh() {
    // 1. The stick line and the symbol.
    const std::string symbolName = stickSymbol(stickStatus_);
    stickItem_->setText(qs(stickLine(stickStatus_)));
    // 2, 3. The permission line; the settings entry only while the permission is missing.
    std::string permissionLine = trusted_ ? grantedLine : neededLine;
    if (setup_.deliveryProblem) {
        if (const std::optional<std::string> problem = setup_.deliveryProblem()) permissionLine += " (" + *problem + ")";
    }
    axItem_->setText(qs(permissionLine));
    axOpenItem_->setVisible(!trusted_);
    // 4. The check mark, from the login item's status read afresh.
    loginItem_->setChecked(desktop_.loginItemStatus() == LoginItemStatus::enabled);
    if (!statusItem_) return;
    // 5. The symbol image, or the title "TJ" when there is none.
    QIcon image = symbol(symbolName);
    const QString title = image.isNull() ? QStringLiteral("TJ") : QString();
    if (symbolName != symbolName_ || title != buttonTitle_ || statusItem_->icon().isNull()) {
        statusItem_->setIcon(image.isNull() ? titleIcon(title) : image);
        symbolName_ = symbolName;
        buttonTitle_ = title;
    }
    // 6. The tool tip: the stick line, a line feed, the permission line.
    const QString toolTip = stickItem_->text() + QLatin1Char('\n') + axItem_->text();
    if (statusItem_->toolTip() != toolTip) statusItem_->setToolTip(toolTip);
    // The item goes into the tray once it has its image, at the first refresh.
    if (!statusItem_->isVisible()) {
        statusItem_->show();
        if (!QSystemTrayIcon::isSystemTrayAvailable() && !trayWatch_) watchForTray();
    }
}

// --- Actions ---------------------------------------------------------------------------------------

void AppDelegate::openArcade() { desktop_.openURL(setup_.urls.arcade); }

void AppDelegate::openPadTest() { desktop_.openURL(setup_.urls.padTest); }

void AppDelegate::openAccessibility() {
    desktop_.isProcessTrusted(true);
    Accessibility::openSettings(desktop_);
}

void AppDelegate::showLog() {
    std::error_code ignored;
    if (setup_.logPath.empty() || !std::filesystem::is_regular_file(setup_.logPath, ignored)) return;
    desktop_.openURL(AppInfo::fileURL(setup_.logPath));
}

void AppDelegate::toggleLogin() {
    const bool enabled = desktop_.loginItemStatus() == LoginItemStatus::enabled;
    const std::optional<std::string> error = enabled ? desktop_.unregisterLoginItem() : desktop_.registerLoginItem();
    if (!error) {
        Log::info(enabled ? "launch at login: off" : "launch at login: on");
    } else {
        Log::info("launch at login failed: " + *error);
        desktop_.runAlert("Could not change Launch at login", *error);
    }
    refresh();
}

}  // namespace joyrelay
