#include "platform/linux/focus/KWinFocus.hpp"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>

#include "log/Log.hpp"
#include "platform/linux/focus/DesktopAppIds.hpp"

namespace joyrelay {

namespace {

constexpr const char* scriptingPath = "/Scripting";
constexpr const char* scriptingInterface = "org.kde.kwin.Scripting";
constexpr const char* scriptInterface = "org.kde.kwin.Script";
constexpr int unloadTimeoutMs = 1000;
constexpr int loadTimeoutMs = 5000;  // each call of the loading; a KWin that takes longer is tried again
constexpr int firstReportMs = 2000;  // a started script that has not reported by then is started again
constexpr int retryEveryTicks = 5;   // a script KWin did not take is tried again after this many rechecks

constexpr const char* scriptFilePrefix = "tamberlo-joyrelay-kwin-focus-";  // then the process id and ".js"

const std::string keysOff = ", so the window in front cannot be read and the stick's keys stay off";

QDBusMessage scriptingCall(const QString& kwin, const char* method) {
    return QDBusMessage::createMethodCall(kwin, QString::fromLatin1(scriptingPath),
                                          QString::fromLatin1(scriptingInterface),
                                          QString::fromLatin1(method));
}

QString scriptFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    return folder;
}

}  // namespace

bool KWinFocus::available(const QDBusConnection& bus) {
    const QDBusConnectionInterface* daemon = bus.interface();
    return daemon && daemon->isServiceRegistered(QString::fromLatin1(kwinService)).value();
}

QString KWinFocus::scriptText(const QString& service) {
    QString text =
        QStringLiteral(R"js(// Written by Tamberlo Joyrelay: tells the program which window KWin activates.
function report(w) {
    callDBus("@SERVICE@", "@PATH@", "@INTERFACE@", "Activated",
             w ? String(w.resourceClass) : "", w && w.desktopFileName ? String(w.desktopFileName) : "",
             w ? String(w.caption) : "", w ? String(w.pid) : "0");
}
if (workspace.windowActivated) {
    workspace.windowActivated.connect(report);
    report(workspace.activeWindow);
} else {
    workspace.clientActivated.connect(report);
    report(workspace.activeClient);
}
)js");
    text.replace(QStringLiteral("@SERVICE@"), service);
    text.replace(QStringLiteral("@PATH@"), QString::fromLatin1(objectPath));
    text.replace(QStringLiteral("@INTERFACE@"), QStringLiteral("org.tamberlo.Joyrelay.KWinFocus"));
    return text;
}

KWinFocus::KWinFocus(QDBusConnection bus, std::chrono::milliseconds emptyHold)
    : bus_(std::move(bus)), hold_([this] { notifyChanged(); }, emptyHold) {
    scriptPath_ = scriptFolder() + QStringLiteral("/%1%2.js")
                                       .arg(QString::fromLatin1(scriptFilePrefix))
                                       .arg(QCoreApplication::applicationPid());
    scriptName_ =
        QStringLiteral("%1-%2").arg(QString::fromLatin1(scriptName)).arg(QCoreApplication::applicationPid());
    if (!bus_.isConnected()) {
        problem_ = "no session bus" + keysOff;
        return;
    }
    if (!bus_.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportScriptableSlots)) {
        problem_ = "cannot register " + std::string(objectPath) + " on the session bus" + keysOff;
        return;
    }
    watcher_ = new QDBusServiceWatcher(QString::fromLatin1(kwinService), bus_,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { ownerChanged(newOwner); });
    if (QCoreApplication* app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, &KWinFocus::unload);
    }
    recheck_.setInterval(recheckInterval);
    connect(&recheck_, &QTimer::timeout, this, &KWinFocus::recheck);
    recheck_.start();
    const QDBusConnectionInterface* daemon = bus_.interface();
    ownerChanged(daemon ? daemon->serviceOwner(QString::fromLatin1(kwinService)).value() : QString());
    started_ = true;
}

void KWinFocus::setProblem(std::optional<std::string> problem) {
    if (problem_ == problem) return;
    if (started_) {
        Log::info(problem ? "Focus unknown \u2014 " + *problem : "Focus known again \u2014 the KWin script reports");
    }
    problem_ = std::move(problem);
}

void KWinFocus::recheck() {
    if (owner_.isEmpty() || !bus_.isConnected()) return;
    if (!running_) {
        // Loading, or KWin did not take the script: that is tried again now and then.
        if (problem_ && retryTicks_ > 0 && --retryTicks_ == 0) load();
        return;
    }
    if (checking_) return;
    checking_ = true;
    QDBusMessage call = QDBusMessage::createMethodCall(owner_, QString::fromLatin1(scriptingPath),
                                                       QString::fromLatin1(scriptingInterface),
                                                       QStringLiteral("isScriptLoaded"));
    call << scriptName_;
    auto* watcher = new QDBusPendingCallWatcher(
        bus_.asyncCall(call, static_cast<int>(recheckInterval.count())), this);
    whenFinished(watcher, generation_, [this](QDBusPendingCallWatcher& w) {
        checking_ = false;
        const QDBusPendingReply<bool> reply = w;
        if (reply.isError()) {
            lost("KWin does not answer whether the focus script is loaded (" + reply.error().message().toStdString() +
                 ")");
        } else if (!reply.value()) {
            lost("the focus script is no longer loaded in KWin (another program unloaded it)");
        }
    });
}

void KWinFocus::lost(const std::string& why) {
    ++generation_;
    running_ = false;
    checking_ = false;
    reporting_ = false;
    scriptSent_ = false;
    setProblem(why + keysOff + " until it reports again; loading it again");
    hold_.clear();
    notifyChanged();
    load();
}

KWinFocus::~KWinFocus() {
    unload();
    if (bus_.isConnected()) bus_.unregisterObject(QString::fromLatin1(objectPath));
}

void KWinFocus::ownerChanged(const QString& newOwner) {
    ++generation_;
    owner_ = newOwner;
    scriptSent_ = false;
    reporting_ = false;
    running_ = false;
    checking_ = false;
    if (owner_.isEmpty()) {
        setProblem("KWin is not on the session bus" + keysOff);
        hold_.clear();
        notifyChanged();
        return;
    }
    setProblem(std::nullopt);
    hold_.clear();
    load();
}

template <typename F>
void KWinFocus::whenFinished(QDBusPendingCallWatcher* watcher, unsigned generation, F&& then) {
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation, then = std::forward<F>(then)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (generation == generation_) then(*w);
            });
}

void KWinFocus::unloadStale() {
    const QDir folder(scriptFolder());
    const QString prefix = QString::fromLatin1(scriptFilePrefix);
    for (const QString& name : folder.entryList({prefix + QStringLiteral("*.js")}, QDir::Files)) {
        bool number = false;
        const qint64 pid = name.mid(prefix.size(), name.size() - prefix.size() - 3).toLongLong(&number);
        if (!number || pid <= 0 || pid == QCoreApplication::applicationPid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // that copy still runs
        QDBusMessage call = scriptingCall(owner_, "unloadScript");
        call << QStringLiteral("%1-%2").arg(QString::fromLatin1(scriptName)).arg(pid);
        bus_.send(call);  // ahead of this copy's loadScript on the same connection
        QFile::remove(folder.filePath(name));
    }
}

void KWinFocus::load() {
    unloadStale();
    QFile file(scriptPath_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(scriptText(bus_.baseService()).toUtf8()) < 0) {
        failed(QStringLiteral("cannot write %1: %2").arg(scriptPath_, file.errorString()));
        return;
    }
    file.close();
    const unsigned generation = generation_;
    const auto scripting = [this](const char* method) { return scriptingCall(owner_, method); };
    // A copy this process left loaded (KWin kept it) goes first.
    QDBusMessage unloadOld = scripting("unloadScript");
    unloadOld << scriptName_;
    auto* first = new QDBusPendingCallWatcher(bus_.asyncCall(unloadOld, loadTimeoutMs), this);
    whenFinished(first, generation, [this, scripting, generation](QDBusPendingCallWatcher&) {
        QDBusMessage loadCall = scripting("loadScript");
        loadCall << scriptPath_ << scriptName_;
        scriptSent_ = true;  // from here on, going away unloads it, even before run has answered
        auto* second = new QDBusPendingCallWatcher(bus_.asyncCall(loadCall, loadTimeoutMs), this);
        whenFinished(second, generation, [this, generation](QDBusPendingCallWatcher& w) {
            const QDBusPendingReply<int> reply = w;
            if (reply.isError()) {
                failed(QStringLiteral("loadScript: %1").arg(reply.error().message()));
            } else if (reply.value() < 0) {
                failed(QStringLiteral("loadScript refused the script"));
            } else {
                runScript(reply.value(), true, generation);
            }
        });
    });
}

void KWinFocus::runScript(int id, bool plasma6Path, unsigned generation) {
    const QString path =
        plasma6Path ? QStringLiteral("/Scripting/Script%1").arg(id) : QStringLiteral("/%1").arg(id);
    const QDBusMessage run = QDBusMessage::createMethodCall(
        owner_, path, QString::fromLatin1(scriptInterface), QStringLiteral("run"));
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(run, loadTimeoutMs), this);
    whenFinished(watcher, generation, [this, id, plasma6Path, generation](QDBusPendingCallWatcher& w) {
        if (w.isError() && plasma6Path) {
            runScript(id, false, generation);  // Plasma 5 names the script's object "/<id>"
        } else if (w.isError()) {
            failed(QStringLiteral("run: %1").arg(w.error().message()));
        } else {
            running_ = true;
            // The script reports as it starts: silence means run may have reached an older script.
            QTimer::singleShot(firstReportMs, this, [this, generation] {
                if (generation == generation_ && !reporting_) startLoaded();
            });
        }
    });
}

void KWinFocus::startLoaded() {
    // Fire and forget: an error (a KWin without start) leaves what run did.
    bus_.send(scriptingCall(owner_, "start"));
}

void KWinFocus::failed(const QString& what) {
    ++generation_;  // whatever of this attempt is still on its way no longer counts
    running_ = false;
    retryTicks_ = retryEveryTicks;  // the next attempt unloads whatever this one left, first
    setProblem("KWin did not take the focus script (" + what.toStdString() + ")" + keysOff +
               " (JOYRELAY_ANY_APP=1 sends them whatever window is in front)");
    hold_.clear();
    notifyChanged();
}

void KWinFocus::unload() {
    ++generation_;
    if (scriptSent_ && !owner_.isEmpty() && bus_.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(owner_, QString::fromLatin1(scriptingPath),
                                                           QString::fromLatin1(scriptingInterface),
                                                           QStringLiteral("unloadScript"));
        call << scriptName_;
        bus_.call(call, QDBus::Block, unloadTimeoutMs);
    }
    scriptSent_ = false;
    QFile::remove(scriptPath_);
}

void KWinFocus::Activated(const QString& resourceClass, const QString& desktopFileName,
                          const QString& caption, const QString& pid) {
    if (calledFromDBus() && message().service() != owner_) return;  // only KWin reports the focus
    if (owner_.isEmpty()) return;
    reporting_ = true;
    setProblem(std::nullopt);
    caption_ = caption.toStdString();
    hold_.report(
        desktop_ids::fromKWin(resourceClass.toStdString(), desktopFileName.toStdString(), pid.toLongLong()));
}

}  // namespace joyrelay
