#include "platform/linux/desktop/QtDesktopServices.hpp"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include "log/Log.hpp"

namespace joyrelay {

const char* const QtDesktopServices::promptTitle = "Tamberlo Joyrelay cannot post keys yet";
const char* const QtDesktopServices::promptText =
    "Give your user access to /dev/uinput with the udev rule that comes with Tamberlo Joyrelay, then "
    "unplug the stick and plug it in again. Click here for the steps.";

QtDesktopServices::QtDesktopServices(std::unique_ptr<FocusProvider> focus, std::function<bool()> trustCheck,
                                     XdgAutostart autostart, std::string helpURL)
    : focus_(std::move(focus)),
      trustCheck_(std::move(trustCheck)),
      autostart_(std::move(autostart)),
      helpURL_(std::move(helpURL)) {
    if (focus_) {
        focus_->setChangeHandler([this] {
            frontmost_.forget();
            for (auto& handler : activationHandlers_) handler();
        });
        if (focus_->fd() >= 0) {
            focusNotifier_ = std::make_unique<QSocketNotifier>(focus_->fd(), QSocketNotifier::Read);
            connect(focusNotifier_.get(), &QSocketNotifier::activated, this, [this] { focusReadable(); });
        }
    }
}

QtDesktopServices::~QtDesktopServices() = default;

void QtDesktopServices::focusReadable() {
    // Something happened on the provider's side: the next question goes to it again.
    frontmost_.forget();
    focus_->dispatch();
}

std::optional<std::string> QtDesktopServices::focusProblem() const {
    return focus_ ? focus_->problem() : std::nullopt;
}

std::optional<FrontmostApplication> QtDesktopServices::frontmostApplication() {
    if (!focus_) return std::nullopt;
    if (!focusLogged_) {
        // Once, at the first question (the focus monitor's start, right after the start-up line).
        focusLogged_ = true;
        const std::optional<std::string> problem = focus_->problem();
        Log::info("Focus: " + focus_->name() + (problem ? " (" + *problem + ")" : std::string()));
    }
    return frontmost_.get(FrontmostCache::Clock::now(), [this] { return focus_->frontmost(); });
}

void QtDesktopServices::observeActivation(std::function<void()> handler) {
    activationHandlers_.push_back(std::move(handler));
}

void QtDesktopServices::scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> handler) {
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(interval);
    connect(timer.get(), &QTimer::timeout, this, std::move(handler));
    timer->start();
    timers_.push_back(std::move(timer));
}

bool QtDesktopServices::isProcessTrusted(bool prompt) {
    const bool trusted = trustCheck_ && trustCheck_();
    if (!trusted && prompt) showPrompt();
    return trusted;
}

void QtDesktopServices::setStatusItem(QSystemTrayIcon* item) {
    if (statusItem_) disconnect(statusItem_, nullptr, this, nullptr);
    statusItem_ = item;
    if (!item) return;
    connect(item, &QSystemTrayIcon::messageClicked, this, [this] { openURL(helpURL_); });
    if (promptPending_) showPrompt();
}

void QtDesktopServices::showPrompt() {
    if (!statusItem_) {
        promptPending_ = true;
        return;
    }
    promptPending_ = false;
    // On a later turn of the event loop: during start-up the item is shown only after its first
    // refresh, and a hidden item shows no notification.
    QTimer::singleShot(0, this, [this] {
        if (statusItem_ && statusItem_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable() &&
            QSystemTrayIcon::supportsMessages()) {
            statusItem_->showMessage(QString::fromUtf8(promptTitle), QString::fromUtf8(promptText),
                                     QSystemTrayIcon::Warning, 20000);
        } else {
            Log::info("How to let Tamberlo Joyrelay post keys: " + helpURL_);
        }
    });
}

bool QtDesktopServices::openURL(const std::string& url) {
    const QString text = QString::fromStdString(url);
    const QUrl target = text.startsWith('/') ? QUrl::fromLocalFile(text) : QUrl(text);
    if (!target.isValid()) return false;
    return QDesktopServices::openUrl(target);
}

LoginItemStatus QtDesktopServices::loginItemStatus() { return autostart_.status(); }

std::optional<std::string> QtDesktopServices::registerLoginItem() { return autostart_.enable(); }

std::optional<std::string> QtDesktopServices::unregisterLoginItem() { return autostart_.disable(); }

void QtDesktopServices::runAlert(const std::string& message, const std::string& informative) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Tamberlo Joyrelay"));
    box.setText(QString::fromStdString(message));
    box.setInformativeText(QString::fromStdString(informative));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

}  // namespace joyrelay
