// The desktop services of a Linux desktop, on Qt: the frontmost application from X11 (EWMH), timers
// and the activation notice on Qt's event loop, addresses opened with the user's default handler,
// modal alerts, launch at login through an XDG autostart entry, and the permission check with its
// prompt (a tray notification that leads to the help page).
//
// Threads: the main thread only, like the contract.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DesktopServices.hpp"
#include "linux/FrontmostCache.hpp"
#include "linux/X11Focus.hpp"
#include "linux/XdgAutostart.hpp"

namespace joyrelay {

class QtDesktopServices final : public QObject, public DesktopServices {
    Q_OBJECT

public:
    // `focus`: the X11 session to ask for the frontmost window, or nullptr without one (there is then
    // no frontmost application). `trustCheck` answers the permission check. `autostart` is the
    // login item's entry.
    QtDesktopServices(std::unique_ptr<X11Focus> focus, std::function<bool()> trustCheck, XdgAutostart autostart);
    ~QtDesktopServices() override;

    // The tray icon that shows the permission prompt; a prompt made before there was one is shown
    // once it is set. Clicking the notification opens the help page.
    void setStatusItem(QSystemTrayIcon* item);

    // How long an answer about the frontmost application may be reused while X11 announces no
    // change of the active window (the announcements are what keeps it current; this only bounds
    // the damage of a missed one, and is below the gate's 1 s recheck). Zero asks X11 every time.
    void setFrontmostMaxAge(std::chrono::milliseconds age) { frontmost_.setMaxAge(age); }

    // The prompt's texts.
    static const char* const promptTitle;
    static const char* const promptText;

    // DesktopServices
    std::optional<FrontmostApplication> frontmostApplication() override;
    void observeActivation(std::function<void()> handler) override;
    void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> handler) override;
    bool isProcessTrusted(bool prompt) override;
    bool openURL(const std::string& url) override;
    LoginItemStatus loginItemStatus() override;
    std::optional<std::string> registerLoginItem() override;
    std::optional<std::string> unregisterLoginItem() override;
    void runAlert(const std::string& message, const std::string& informative) override;

private:
    void focusReadable();
    void showPrompt();

    std::unique_ptr<X11Focus> focus_;
    std::unique_ptr<QSocketNotifier> focusNotifier_;
    std::vector<std::function<void()>> activationHandlers_;
    std::vector<std::unique_ptr<QTimer>> timers_;
    std::function<bool()> trustCheck_;
    XdgAutostart autostart_;

    FrontmostCache frontmost_;

    QPointer<QSystemTrayIcon> statusItem_;
    bool promptPending_ = false;
};

}  // namespace joyrelay
