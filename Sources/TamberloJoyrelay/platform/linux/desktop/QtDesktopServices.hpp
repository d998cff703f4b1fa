// The desktop services of a Linux desktop, on Qt: the frontmost application from the session's focus
// provider (X11 EWMH, sway, Hyprland, wlr foreign-toplevel, ...), timers
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

#include "contracts/DesktopServices.hpp"
#include "platform/linux/desktop/FrontmostCache.hpp"
#include "platform/linux/desktop/XdgAutostart.hpp"
#include "platform/linux/focus/FocusProvider.hpp"

namespace joyrelay {

class QtDesktopServices final : public QObject, public DesktopServices {
    Q_OBJECT

public:
    // `focus`: the session's focus provider, or nullptr without one (there is then no frontmost
    // application); its descriptor, if it has one, is watched on the event loop. `trustCheck`
    // answers the permission check. `autostart` is the login item's entry. `helpURL` is the page
    // that explains how to give the program access; the prompt opens or names it.
    QtDesktopServices(std::unique_ptr<FocusProvider> focus, std::function<bool()> trustCheck, XdgAutostart autostart,
                      std::string helpURL);
    ~QtDesktopServices() override;

    // The tray icon that shows the permission prompt; a prompt made before there was one is shown
    // once it is set. Clicking the notification opens the help page.
    void setStatusItem(QSystemTrayIcon* item);

    // How long an answer about the frontmost application may be reused while the focus provider
    // announces no change (the announcements are what keeps it current; this only bounds the damage
    // of a missed one, and is below the gate's 1 s recheck). Zero asks the provider every time.
    void setFrontmostMaxAge(std::chrono::milliseconds age) { frontmost_.setMaxAge(age); }

    // Why the focus cannot be read, when the provider says so (see FocusProvider::problem).
    std::optional<std::string> focusProblem() const;

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

    std::unique_ptr<FocusProvider> focus_;
    bool focusLogged_ = false;
    std::unique_ptr<QSocketNotifier> focusNotifier_;
    std::vector<std::function<void()>> activationHandlers_;
    std::vector<std::unique_ptr<QTimer>> timers_;
    std::function<bool()> trustCheck_;
    XdgAutostart autostart_;
    std::string helpURL_;

    FrontmostCache frontmost_;

    QPointer<QSystemTrayIcon> statusItem_;
    bool promptPending_ = false;
};

}  // namespace joyrelay
