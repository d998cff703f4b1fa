#include "platform/linux/focus/ScreenLockWatcher.hpp"

#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace joyrelay {

namespace {

constexpr int answerTimeoutMs = 2000;
const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");

// Runs `then` with the finished call, unless `generation` has moved on by then.
template <typename F>
void whenAnswered(QObject* context, QDBusConnection& bus, const QDBusMessage& call, const unsigned& generation,
                  F&& then) {
    const unsigned asked = generation;
    QDBusMessage question = call;
    question.setAutoStartService(false);  // asking must not start a screensaver of another desktop
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(question, answerTimeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [&generation, asked, then = std::forward<F>(then)](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         if (asked == generation) then(*w);
                     });
}

}  // namespace

ScreenLockWatcher::ScreenLockWatcher(QDBusConnection sessionBus, QDBusConnection systemBus, Handler changed)
    : changed_(std::move(changed)) {
    if (sessionBus.isConnected()) {
        const QString freedesktop = QStringLiteral("org.freedesktop.ScreenSaver");
        sources_.push_back(std::make_unique<ScreenLockSource>(*this, sessionBus, freedesktop,
                                                    QStringLiteral("/org/freedesktop/ScreenSaver"), freedesktop));
        sources_.push_back(
            std::make_unique<ScreenLockSource>(*this, sessionBus, freedesktop, QStringLiteral("/ScreenSaver"), freedesktop));
        const QString gnome = QStringLiteral("org.gnome.ScreenSaver");
        sources_.push_back(
            std::make_unique<ScreenLockSource>(*this, sessionBus, gnome, QStringLiteral("/org/gnome/ScreenSaver"), gnome));
    }
    if (systemBus.isConnected()) sources_.push_back(std::make_unique<ScreenLockSource>(*this, systemBus));
}

ScreenLockWatcher::~ScreenLockWatcher() = default;

bool ScreenLockWatcher::locked() const { return locked_; }

std::string ScreenLockWatcher::lockedBy() const {
    for (const auto& source : sources_) {
        if (source->locked()) return source->label();
    }
    return {};
}

void ScreenLockWatcher::sourceChanged() {
    bool now = false;
    for (const auto& source : sources_) now = now || source->locked();
    if (now == locked_) return;
    locked_ = now;
    if (changed_) changed_(locked_, lockedBy());
}

// --- One source -----------------------------------------------------------------------------------

ScreenLockSource::ScreenLockSource(ScreenLockWatcher& owner, QDBusConnection bus, QString service, QString path,
                                  QString interface)
    : owner_(owner),
      bus_(std::move(bus)),
      service_(std::move(service)),
      path_(std::move(path)),
      interface_(std::move(interface)),
      label_(service_.toStdString()) {
    bus_.connect(service_, path_, interface_, QStringLiteral("ActiveChanged"), this, SLOT(activeChanged(bool)));
    watcher_ = new QDBusServiceWatcher(service_, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { ownerChanged(newOwner); });
    askActive();
}

ScreenLockSource::ScreenLockSource(ScreenLockWatcher& owner, QDBusConnection bus)
    : owner_(owner), bus_(std::move(bus)), service_(logindService), logind_(true), label_("logind") {
    watcher_ = new QDBusServiceWatcher(service_, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { ownerChanged(newOwner); });
    askSession();
}

ScreenLockSource::~ScreenLockSource() {
    if (!bus_.isConnected()) return;
    if (logind_) {
        if (!path_.isEmpty())
            bus_.disconnect(service_, path_, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                            SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    } else {
        bus_.disconnect(service_, path_, interface_, QStringLiteral("ActiveChanged"), this, SLOT(activeChanged(bool)));
    }
}

void ScreenLockSource::set(bool locked) {
    if (locked_ == locked) return;
    locked_ = locked;
    owner_.sourceChanged();
}

void ScreenLockSource::ownerChanged(const QString& owner) {
    ++generation_;
    set(false);  // what the old owner said no longer counts
    if (owner.isEmpty()) return;
    if (logind_) {
        askSession();
    } else {
        askActive();
    }
}

void ScreenLockSource::askActive() {
    const QDBusMessage call = QDBusMessage::createMethodCall(service_, path_, interface_, QStringLiteral("GetActive"));
    whenAnswered(this, bus_, call, generation_, [this](QDBusPendingCallWatcher& w) {
        const QDBusPendingReply<bool> reply = w;
        if (!reply.isError()) set(reply.value());
    });
}

void ScreenLockSource::activeChanged(bool active) { set(active); }

void ScreenLockSource::askSession() {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, QStringLiteral("/org/freedesktop/login1"),
                                                       QStringLiteral("org.freedesktop.login1.Manager"),
                                                       QStringLiteral("GetSessionByPID"));
    call << static_cast<uint>(::getpid());
    whenAnswered(this, bus_, call, generation_, [this](QDBusPendingCallWatcher& w) {
        const QDBusPendingReply<QDBusObjectPath> reply = w;
        if (reply.isError()) return;  // not in a logind session
        const QString path = reply.value().path();
        if (path != path_) {
            if (!path_.isEmpty())
                bus_.disconnect(service_, path_, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                                SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
            path_ = path;
            bus_.connect(service_, path_, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                         SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        }
        askLockedHint();
    });
}

void ScreenLockSource::askLockedHint() {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, path_, propertiesInterface, QStringLiteral("Get"));
    call << sessionInterface << QStringLiteral("LockedHint");
    whenAnswered(this, bus_, call, generation_, [this](QDBusPendingCallWatcher& w) {
        const QDBusPendingReply<QDBusVariant> reply = w;
        if (!reply.isError()) set(reply.value().variant().toBool());
    });
}

void ScreenLockSource::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                                  const QStringList& invalidated) {
    if (interface != sessionInterface) return;
    const auto hint = changed.find(QStringLiteral("LockedHint"));
    if (hint != changed.end()) {
        set(hint.value().toBool());
    } else if (invalidated.contains(QStringLiteral("LockedHint"))) {
        askLockedHint();
    }
}

}  // namespace joyrelay
