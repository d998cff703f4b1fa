// Whether the session is locked: while it is, the lock screen has the keyboard, whatever window was
// active before, so the focus gate stays closed.
//
// Sources, each used where it answers:
//   - the screensaver interface of the desktop on the session bus: org.freedesktop.ScreenSaver (KDE
//     Plasma, at /ScreenSaver and /org/freedesktop/ScreenSaver) and org.gnome.ScreenSaver (GNOME
//     Shell, at /org/gnome/ScreenSaver): GetActive() once the name has an owner, then the
//     ActiveChanged(b) signal;
//   - logind's LockedHint of this process's session on the system bus (GetSessionByPID, then the
//     session's PropertiesChanged).
// The session counts as locked while any source says so. Signals are taken only from the current
// owner of each name (Qt matches the sender), so another client cannot unlock the gate; a source whose
// name goes away no longer counts. A desktop with none of these (a plain X11 window manager) is
// never locked as far as this watcher knows.
//
// Threads: main thread only, on Qt's event loop; every call is asynchronous, so a stuck desktop never
// blocks the loop.
//
// Errors: a source that does not answer or is missing is left out, silently.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QDBusServiceWatcher;

namespace joyrelay {

class ScreenLockSource;

class ScreenLockWatcher final : public QObject {
    Q_OBJECT

public:
    // Called with the new state whenever it changes, and with the name of a source that says it is
    // locked ("org.gnome.ScreenSaver", "logind"), empty when unlocked.
    using Handler = std::function<void(bool locked, const std::string& source)>;

    // Starts asking at once. `systemBus` may be disconnected (no logind then). Needs a
    // QCoreApplication.
    ScreenLockWatcher(QDBusConnection sessionBus, QDBusConnection systemBus, Handler changed);
    ~ScreenLockWatcher() override;

    bool locked() const;
    // The first source that says locked, or empty.
    std::string lockedBy() const;

private:
    friend class ScreenLockSource;
    void sourceChanged();

    Handler changed_;
    std::vector<std::unique_ptr<ScreenLockSource>> sources_;
    bool locked_ = false;
};

// One source of ScreenLockWatcher.
class ScreenLockSource final : public QObject {
    Q_OBJECT

public:
    // A screensaver interface (GetActive / ActiveChanged) at `service` `path` `interface`.
    ScreenLockSource(ScreenLockWatcher& owner, QDBusConnection bus, QString service, QString path, QString interface);
    // logind's LockedHint of this process's session.
    ScreenLockSource(ScreenLockWatcher& owner, QDBusConnection bus);
    ~ScreenLockSource() override;

    bool locked() const { return locked_; }
    const std::string& label() const { return label_; }

public Q_SLOTS:
    void activeChanged(bool active);
    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);

private:
    void ownerChanged(const QString& owner);
    void askActive();
    void askSession();
    void askLockedHint();
    void set(bool locked);

    ScreenLockWatcher& owner_;
    QDBusConnection bus_;
    QString service_, path_, interface_;
    bool logind_ = false;
    std::string label_;
    QDBusServiceWatcher* watcher_ = nullptr;  // a child of this object
    unsigned generation_ = 0;                 // bumped when the name's owner changes
    bool locked_ = false;
};

}  // namespace joyrelay
