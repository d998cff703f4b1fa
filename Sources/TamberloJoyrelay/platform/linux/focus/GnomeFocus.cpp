#include "platform/linux/focus/GnomeFocus.hpp"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <mutex>

#include "log/Log.hpp"
#include "platform/linux/focus/DesktopAppIds.hpp"

namespace joyrelay {

namespace {

std::string text(const QVariantMap& info, const char* key) {
    return info.value(QString::fromLatin1(key)).toString().toStdString();
}

// GNOME Shell's extension states (ExtensionState in extensionUtils.js / extensionManager.js).
std::string describeState(const QVariantMap& info) {
    if (info.isEmpty())
        return "is not loaded in this session (not installed, or installed after you logged in)";
    const int state = info.value(QStringLiteral("state")).toInt();
    switch (state) {
        case 1:
            return "is enabled but not running";
        case 2:
            return "is disabled";
        case 3: {
            const std::string error = text(info, "error");
            return "failed to start" + (error.empty() ? std::string() : " (" + error + ")");
        }
        case 4:
            return "is marked as not made for this GNOME Shell version";
        case 6:
            return "is installed but not enabled";
        case 99:
            return "is not installed";
        default:
            return "is not running (state " + std::to_string(state) + ")";
    }
}

}  // namespace

bool GnomeFocus::available(const QDBusConnection& bus) {
    const QDBusConnectionInterface* daemon = bus.interface();
    return daemon && daemon->isServiceRegistered(QStringLiteral("org.gnome.Shell")).value();
}

std::string GnomeFocus::missingExtensionMessage(const std::string& detail) {
    return std::string("GNOME tells other programs which window is in front only through the extension ") +
           extensionUuid + ", which " + detail + ": run `gnome-extensions enable " + extensionUuid +
           "`, then log out and in again. Until then the stick's keys stay off.";
}

std::optional<FrontmostApplication> GnomeFocus::fromReport(const QVariantMap& info) {
    return desktop_ids::fromGnome(text(info, "wm-class"), text(info, "gtk-application-id"),
                                  text(info, "sandboxed-app-id"), text(info, "app-id"),
                                  info.value(QStringLiteral("pid")).toLongLong());
}

// GetFocus on the owner the provider last saw, from the bridge queue. QtDBus connections may be
// used from any thread; the owner is handed over under a lock.
class GnomeFocus::Asker final : public FocusNow {
public:
    explicit Asker(QDBusConnection bus) : bus_(std::move(bus)) {}

    void setOwner(const QString& owner) {
        std::lock_guard lock(mutex_);
        owner_ = owner;
    }

    Answer ask(Clock::time_point deadline) override {
        QString owner;
        {
            std::lock_guard lock(mutex_);
            owner = owner_;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (owner.isEmpty() || left <= 0) return {};
        const QDBusMessage call =
            QDBusMessage::createMethodCall(owner, QString::fromLatin1(extensionPath),
                                           QString::fromLatin1(extensionInterface), QStringLiteral("GetFocus"));
        const QDBusReply<QVariantMap> reply = bus_.call(call, QDBus::Block, static_cast<int>(left));
        if (!reply.isValid()) return {};
        return {true, fromReport(reply.value())};
    }

private:
    QDBusConnection bus_;
    std::mutex mutex_;
    QString owner_;
};

std::shared_ptr<FocusNow> GnomeFocus::focusNow() {
    if (!asker_) {
        asker_ = std::make_shared<Asker>(bus_);
        asker_->setOwner(trustedOwner());
    }
    return asker_;
}

GnomeFocus::GnomeFocus(QDBusConnection bus, std::chrono::milliseconds emptyHold)
    : bus_(std::move(bus)), hold_([this] { notifyChanged(); }, emptyHold) {
    if (!bus_.isConnected()) {
        problem_ = "no session bus, so the window in front cannot be read and the stick's keys stay off";
        return;
    }
    const QString service = QString::fromLatin1(extensionService);
    bus_.connect(service, QString::fromLatin1(extensionPath), QString::fromLatin1(extensionInterface),
                 QStringLiteral("FocusChanged"), this, SLOT(focusChanged(QVariantMap)));
    watcher_ = new QDBusServiceWatcher(service, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { ownerChanged(newOwner); });
    const QString shell = QStringLiteral("org.gnome.Shell");
    shellWatcher_ = new QDBusServiceWatcher(shell, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(shellWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { shellOwnerChanged(newOwner); });
    const QDBusConnectionInterface* daemon = bus_.interface();
    shellOwner_ = daemon ? daemon->serviceOwner(shell).value() : QString();
    ownerChanged(daemon ? daemon->serviceOwner(service).value() : QString());
    started_ = true;
}

GnomeFocus::~GnomeFocus() {
    if (bus_.isConnected()) {
        bus_.disconnect(QString::fromLatin1(extensionService), QString::fromLatin1(extensionPath),
                        QString::fromLatin1(extensionInterface), QStringLiteral("FocusChanged"), this,
                        SLOT(focusChanged(QVariantMap)));
    }
}

void GnomeFocus::setProblem(std::optional<std::string> problem) {
    if (problem_ == problem) return;
    if (started_) {
        Log::info(problem ? "Focus unknown \u2014 " + *problem : "Focus known again \u2014 " + name() + " answers");
    }
    problem_ = std::move(problem);
    notifyChanged();
}

void GnomeFocus::ownerChanged(const QString& newOwner) {
    owner_ = newOwner;
    reconsider();
}

void GnomeFocus::shellOwnerChanged(const QString& newOwner) {
    shellOwner_ = newOwner;
    reconsider();
}

QString GnomeFocus::trustedOwner() const {
    return !owner_.isEmpty() && owner_ == shellOwner_ ? owner_ : QString();
}

void GnomeFocus::reconsider() {
    const unsigned generation = ++generation_;
    if (asker_) asker_->setOwner(trustedOwner());
    reporting_ = false;
    hold_.clear();
    if (owner_.isEmpty()) {
        setProblem(missingExtensionMessage("is not running"));
        askShellAboutExtension(generation);
        return;
    }
    if (owner_ != shellOwner_) {
        setProblem(std::string(extensionService) + " is held by " + owner_.toStdString() +
                   ", which is not GNOME Shell (" + (shellOwner_.isEmpty() ? "not running" : shellOwner_.toStdString()) +
                   "), so its reports are not believed and the stick's keys stay off");
        return;
    }
    // A fresh answer opens the gate again: until GetFocus answers, nothing is in front.
    setProblem(std::nullopt);
    const QDBusMessage call =
        QDBusMessage::createMethodCall(owner_, QString::fromLatin1(extensionPath),
                                       QString::fromLatin1(extensionInterface), QStringLiteral("GetFocus"));
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (generation != generation_) return;
                const QDBusPendingReply<QVariantMap> reply = *w;
                if (reply.isError()) {
                    setProblem(missingExtensionMessage("does not answer (" +
                                                       reply.error().message().toStdString() + ")"));
                    return;
                }
                if (!reporting_) focusChanged(reply.value());  // a signal may have overtaken the answer
            });
}

void GnomeFocus::askShellAboutExtension(unsigned generation) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
        QStringLiteral("org.gnome.Shell.Extensions"), QStringLiteral("GetExtensionInfo"));
    call << QString::fromLatin1(extensionUuid);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this, [this, generation](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            if (generation != generation_) return;
            const QDBusPendingReply<QVariantMap> reply = *w;
            if (reply.isError()) {
                setProblem(
                    missingExtensionMessage("cannot be asked about: GNOME Shell is not on the session bus"));
            } else {
                setProblem(missingExtensionMessage(describeState(reply.value())));
            }
        });
}

void GnomeFocus::focusChanged(const QVariantMap& info) {
    if (owner_.isEmpty() || owner_ != shellOwner_) return;
    reporting_ = true;
    title_ = text(info, "title");
    hold_.report(fromReport(info));
}

}  // namespace joyrelay
