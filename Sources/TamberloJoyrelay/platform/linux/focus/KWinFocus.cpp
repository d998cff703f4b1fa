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

#include "platform/linux/focus/DesktopAppIds.hpp"

namespace joyrelay {

namespace {

constexpr const char* scriptingPath = "/Scripting";
constexpr const char* scriptingInterface = "org.kde.kwin.Scripting";
constexpr const char* scriptInterface = "org.kde.kwin.Script";
constexpr int unloadTimeoutMs = 1000;

const std::string keysOff = ", so the window in front cannot be read and the stick's keys stay off";

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
    scriptPath_ =
        scriptFolder() +
        QStringLiteral("/tamberlo-joyrelay-kwin-focus-%1.js").arg(QCoreApplication::applicationPid());
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
    const QDBusConnectionInterface* daemon = bus_.interface();
    ownerChanged(daemon ? daemon->serviceOwner(QString::fromLatin1(kwinService)).value() : QString());
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
    hold_.clear();
    if (owner_.isEmpty()) {
        problem_ = "KWin is not on the session bus" + keysOff;
        return;
    }
    problem_.reset();
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

void KWinFocus::load() {
    QFile file(scriptPath_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(scriptText(bus_.baseService()).toUtf8()) < 0) {
        failed(QStringLiteral("cannot write %1: %2").arg(scriptPath_, file.errorString()));
        return;
    }
    file.close();
    const unsigned generation = generation_;
    const auto scripting = [this](const char* method) {
        return QDBusMessage::createMethodCall(owner_, QString::fromLatin1(scriptingPath),
                                              QString::fromLatin1(scriptingInterface),
                                              QString::fromLatin1(method));
    };
    // A copy this process left loaded (KWin kept it) goes first.
    QDBusMessage unloadOld = scripting("unloadScript");
    unloadOld << scriptName_;
    auto* first = new QDBusPendingCallWatcher(bus_.asyncCall(unloadOld), this);
    whenFinished(first, generation, [this, scripting, generation](QDBusPendingCallWatcher&) {
        QDBusMessage loadCall = scripting("loadScript");
        loadCall << scriptPath_ << scriptName_;
        scriptSent_ = true;  // from here on, going away unloads it, even before run has answered
        auto* second = new QDBusPendingCallWatcher(bus_.asyncCall(loadCall), this);
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
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(run), this);
    whenFinished(watcher, generation, [this, id, plasma6Path, generation](QDBusPendingCallWatcher& w) {
        if (w.isError() && plasma6Path) {
            runScript(id, false, generation);  // Plasma 5 names the script's object "/<id>"
        } else if (w.isError()) {
            failed(QStringLiteral("run: %1").arg(w.error().message()));
        }
    });
}

void KWinFocus::failed(const QString& what) {
    problem_ = "KWin did not take the focus script (" + what.toStdString() + ")" + keysOff +
               " (JOYRELAY_ANY_APP=1 sends them whatever window is in front)";
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
    reporting_ = true;
    caption_ = caption.toStdString();
    hold_.report(
        desktop_ids::fromKWin(resourceClass.toStdString(), desktopFileName.toStdString(), pid.toLongLong()));
}

}  // namespace joyrelay
