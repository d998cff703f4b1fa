// The focused window on GNOME: read from the program's own GNOME Shell extension.
//
// GNOME Shell tells ordinary clients nothing about the focus (Introspect refuses them, Eval is
// off), so the package ships a small read-only extension, joyrelay-focus@tamberlo. It owns
// org.tamberlo.Joyrelay.ShellFocus on the session bus and offers, at
// /org/tamberlo/Joyrelay/ShellFocus (interface org.tamberlo.Joyrelay.ShellFocus):
//   GetFocus() -> a{sv}          the focused window's ids, or an empty map when none has the focus
//   signal FocusChanged(a{sv})   the same, whenever the focus moves
// with the keys "wm-class", "gtk-application-id", "sandboxed-app-id", "app-id" (the Shell's, such
// as "chromium.desktop"), "title" and "pid" (int32). The extension lives in GNOME Shell, so the name
// counts only while its owner is GNOME Shell's own connection (the unique name that owns
// org.gnome.Shell): a program that takes the name first, or waits in the queue for it, is not believed
// and the gate stays closed, with problem() naming it. Signals from anyone but that owner are ignored.
//
// Without the extension (not installed, disabled, or installed during this login and so not loaded:
// GNOME Shell on Wayland loads new extensions only at login) frontmost() answers nothing, which keeps
// the gate closed, and problem() says how to turn it on. The provider notices the extension coming
// and going (its bus name, and GNOME Shell's) without polling. Whenever the extension stops being a
// source to trust, the gate closes at once and the log says why in one line; it opens again only with
// a fresh answer of the extension.
//
// A report of no focused window is held back like KWin's (FocusHold).
//
// focusNow() hands out an asker that calls GetFocus on the extension's current owner (its unique
// name, so that only that connection can answer) right before a key goes down.
//
// Threads: main thread only, on Qt's event loop (fd() is -1); no call blocks. The asker runs on the
// bridge queue and blocks there until its deadline at most.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/focus/FocusHold.hpp"
#include "platform/linux/focus/FocusProvider.hpp"

class QDBusServiceWatcher;

namespace joyrelay {

class GnomeFocus final : public QObject, public FocusProvider {
    Q_OBJECT

public:
    static constexpr const char* extensionUuid = "joyrelay-focus@tamberlo";
    static constexpr const char* extensionService = "org.tamberlo.Joyrelay.ShellFocus";
    static constexpr const char* extensionPath = "/org/tamberlo/Joyrelay/ShellFocus";
    static constexpr const char* extensionInterface = "org.tamberlo.Joyrelay.ShellFocus";

    // Whether GNOME Shell is on `bus`: the session is a GNOME one. (A blocking question to the bus
    // daemon only.)
    static bool available(const QDBusConnection& bus = QDBusConnection::sessionBus());

    // The line for the menu and the log while the extension is not running; `detail` says what
    // GNOME Shell knows of it ("is disabled", "is not loaded in this session", ...).
    static std::string missingExtensionMessage(const std::string& detail);

    // Starts watching for the extension and asks it for the focus when it is there. Needs a
    // QCoreApplication.
    explicit GnomeFocus(QDBusConnection bus = QDBusConnection::sessionBus(),
                        std::chrono::milliseconds emptyHold = FocusHold::defaultHold);
    ~GnomeFocus() override;

    std::string name() const override { return "GNOME Shell extension " + std::string(extensionUuid); }
    std::optional<FrontmostApplication> frontmost() override { return hold_.current(); }
    std::optional<std::string> problem() const override { return problem_; }
    std::shared_ptr<FocusNow> focusNow() override;

    // Whether the extension has answered since it (last) appeared on the bus.
    bool reporting() const { return reporting_; }

    // The title of the window last reported, for the log.
    const std::string& title() const { return title_; }

    // The identity an extension's report stands for (nothing for an empty map).
    static std::optional<FrontmostApplication> fromReport(const QVariantMap& info);

private Q_SLOTS:
    void focusChanged(const QVariantMap& info);

private:
    class Asker;
    void ownerChanged(const QString& newOwner);
    void shellOwnerChanged(const QString& newOwner);
    void reconsider();
    // The extension's owner when it is GNOME Shell's own connection, else empty.
    QString trustedOwner() const;
    void askShellAboutExtension(unsigned generation);
    void setProblem(std::optional<std::string> problem);

    QDBusConnection bus_;
    FocusHold hold_;
    QDBusServiceWatcher* watcher_ = nullptr;       // a child of this object
    QDBusServiceWatcher* shellWatcher_ = nullptr;  // org.gnome.Shell's owner; a child too
    QString owner_;       // the extension's name's owner
    QString shellOwner_;  // GNOME Shell's unique name
    bool started_ = false;  // problems found after the constructor are logged
    std::shared_ptr<Asker> asker_;  // told each trusted owner (none while the name is not GNOME Shell's)
    unsigned generation_ = 0;
    bool reporting_ = false;
    std::optional<std::string> problem_;
    std::string title_;
};

}  // namespace joyrelay
