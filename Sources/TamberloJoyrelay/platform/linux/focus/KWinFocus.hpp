// The focused window on KDE Plasma: a small KWin script, loaded over D-Bus, reports every
// activation back to this object on the session bus.
//
// KWin offers no focus query to ordinary clients, but any client may load a script
// (org.kde.KWin /Scripting loadScript, then run on the script's object: "/Scripting/Script<id>" on
// Plasma 6, "/<id>" on Plasma 5). The script connects workspace.windowActivated (Plasma 6) or
// workspace.clientActivated (Plasma 5), and calls Activated(resourceClass, desktopFileName,
// caption, pid) here with callDBus, once at start and on every activation; an empty class and
// desktop file mean that no window is active. Calls from anyone but KWin's own connection are
// ignored.
//
// KWin reports "no window" before every switch: that report is held back (FocusHold), so the gate
// does not close and open again between two windows of the same kind.
//
// The script is loaded under one name per process, loaded again whenever org.kde.KWin gets a new owner
// (KWin restarted), and unloaded when the application quits or this object is destroyed. Its file
// lives in $XDG_RUNTIME_DIR, named after the process. A copy that was killed could not unload its
// script: before each load, the scripts of copies whose process is gone (their files are still there)
// are unloaded and their files removed.
//
// KWin 5.27 numbers a new script by the count of loaded scripts, so once a script below a still
// loaded one goes, the next script gets the number, and the D-Bus object, of that loaded one: run
// then reaches the old script and the new one never starts. So when the script has not reported 2 s
// after run, Scripting.start is called, which starts every loaded script not yet running (it also
// loads and unloads the packaged scripts the user's KWin settings turn on or off).
//
// Any client may unload a KWin script, so once the script runs KWin is asked every second whether it
// is still loaded (isScriptLoaded; KWin's Scripting interface has no signal for a script going).
// When it is gone, or KWin gives no answer within the second, the provider fails closed: frontmost()
// answers nothing at once, problem() and one log line say why, and the script is loaded again; the
// gate opens again only with the new script's first report.
//
// Threads: main thread only, on Qt's event loop (fd() is -1). Every call to KWin but the unloading
// is asynchronous, so a stuck KWin never blocks the event loop.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>
#include <string>

#include "platform/linux/focus/FocusHold.hpp"
#include "platform/linux/focus/FocusProvider.hpp"

class QDBusServiceWatcher;
class QDBusPendingCallWatcher;

namespace joyrelay {

class KWinFocus final : public QObject, public FocusProvider, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tamberlo.Joyrelay.KWinFocus")

public:
    static constexpr const char* kwinService = "org.kde.KWin";
    static constexpr const char* objectPath = "/org/tamberlo/Joyrelay/KWinFocus";
    // The script is loaded under this name and the process id: KWin keeps one script per name, and
    // a second copy of the program (a replay beside the tray) must not take the first one's away.
    static constexpr const char* scriptName = "tamberlo-joyrelay-focus";

    // Whether KWin is on `bus`: the session is a Plasma one. (A blocking question to the bus
    // daemon only.)
    static bool available(const QDBusConnection& bus = QDBusConnection::sessionBus());

    // Registers the callback object on `bus` and starts loading the script when KWin is there.
    // frontmost() answers nothing until the script's first report arrives. Needs a
    // QCoreApplication.
    explicit KWinFocus(QDBusConnection bus = QDBusConnection::sessionBus(),
                       std::chrono::milliseconds emptyHold = FocusHold::defaultHold);
    ~KWinFocus() override;

    std::string name() const override { return "KWin script"; }
    std::optional<FrontmostApplication> frontmost() override { return hold_.current(); }
    std::optional<std::string> problem() const override { return problem_; }

    // Whether the script has reported at least once since it was (last) loaded.
    bool reporting() const { return reporting_; }

    // The caption (title) of the window last reported active, for the log.
    const std::string& caption() const { return caption_; }

    // Takes the script out of KWin now (waits up to a second for KWin). Done at quit anyway.
    void unload();

    // How often the script's presence is checked, and how long KWin has to answer.
    static constexpr std::chrono::milliseconds recheckInterval{1000};

    // The script's text, calling back to `service` (a unique bus name such as ":1.42").
    static QString scriptText(const QString& service);

public Q_SLOTS:
    // The script's report. pid is a decimal text ("0" when unknown).
    Q_SCRIPTABLE void Activated(const QString& resourceClass, const QString& desktopFileName,
                                const QString& caption, const QString& pid);

private:
    void load();
    void unloadStale();
    void runScript(int id, bool plasma6Path, unsigned generation);
    void startLoaded();
    void failed(const QString& what);
    void lost(const std::string& why);
    void recheck();
    void setProblem(std::optional<std::string> problem);
    void ownerChanged(const QString& newOwner);
    template <typename F>
    void whenFinished(QDBusPendingCallWatcher* watcher, unsigned generation, F&& then);

    QDBusConnection bus_;
    FocusHold hold_;
    QDBusServiceWatcher* watcher_ = nullptr;  // a child of this object
    QString owner_;                           // KWin's unique name, empty while it is not there
    QString scriptPath_;
    QString scriptName_;       // scriptName-<pid>
    unsigned generation_ = 0;  // bumped on every (re)load and unload: stale replies are ignored
    bool scriptSent_ = false;  // loadScript has gone out to the current KWin: unload() unloads it
    bool reporting_ = false;
    bool running_ = false;   // run has answered: the script is in KWin and the recheck asks about it
    bool checking_ = false;  // an isScriptLoaded is on its way
    int retryTicks_ = 0;     // rechecks left before a script KWin did not take is tried again
    QTimer recheck_;
    bool started_ = false;   // problems found after the constructor are logged
    std::optional<std::string> problem_;
    std::string caption_;
};

}  // namespace joyrelay
