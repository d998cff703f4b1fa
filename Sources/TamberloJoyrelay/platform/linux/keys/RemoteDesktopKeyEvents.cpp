#include "platform/linux/keys/RemoteDesktopKeyEvents.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QObject>

#include "platform/linux/keys/SeatKeyboard.hpp"


namespace joyrelay {

namespace {

const QString mutterService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString mutterPath = QStringLiteral("/org/gnome/Mutter/RemoteDesktop");
const QString sessionInterface = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");
constexpr int callTimeoutMs = 5000;
constexpr uint voidSymbol = 0xffffff;  // XKB's VoidSymbol: no keymap has a key for it

QDBusMessage sessionCall(const QString& session, const QString& method) {
    return QDBusMessage::createMethodCall(mutterService, session, sessionInterface, method);
}

}  // namespace

// Receives the session's Closed signal on the thread that created the session.
class RemoteDesktopKeyEvents::ClosedWatcher final : public QObject {
    Q_OBJECT
public:
    explicit ClosedWatcher(std::atomic<bool>& closed) : closed_(closed) {}
public Q_SLOTS:
    void sessionClosed() { closed_.store(true); }

private:
    std::atomic<bool>& closed_;
};

std::unique_ptr<RemoteDesktopKeyEvents> RemoteDesktopKeyEvents::create(std::string* error,
                                                                       std::chrono::milliseconds limit) {
    static std::atomic<int> counter{0};
    auto self = std::make_unique<RemoteDesktopKeyEvents>(Owned{});
    self->connectionName_ = QStringLiteral("tamberlo-joyrelay-remote-desktop-%1").arg(counter.fetch_add(1));
    self->bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, self->connectionName_);
    QDBusConnection& bus = *self->bus_;
    const auto fail = [error, &self](const std::string& why) -> std::unique_ptr<RemoteDesktopKeyEvents> {
        if (error) *error = why;
        self.reset();
        return nullptr;
    };
    if (!bus.isConnected())
        return fail("cannot connect to the session bus: " + bus.lastError().message().toStdString());

    const QDBusReply<QDBusObjectPath> created =
        bus.call(QDBusMessage::createMethodCall(mutterService, mutterPath,
                                                QStringLiteral("org.gnome.Mutter.RemoteDesktop"),
                                                QStringLiteral("CreateSession")),
                 QDBus::Block, callTimeoutMs);
    if (!created.isValid()) {
        return fail("Mutter's remote desktop is not available (" + created.error().message().toStdString() +
                    ")");
    }
    self->session_ = created.value().path();
    self->watcher_ = std::make_unique<ClosedWatcher>(self->closed_);
    bus.connect(mutterService, self->session_, sessionInterface, QStringLiteral("Closed"),
                self->watcher_.get(), SLOT(sessionClosed()));
    const QDBusMessage started =
        bus.call(sessionCall(self->session_, QStringLiteral("Start")), QDBus::Block, callTimeoutMs);
    if (started.type() == QDBusMessage::ErrorMessage) {
        return fail("Mutter did not start the remote desktop session (" +
                    started.errorMessage().toStdString() + ")");
    }
    // Mutter puts the session's keyboard on the seat with its first key event; a seat that had no
    // keyboard then announces one, and a key sent before clients have made their wl_keyboard is lost.
    // So the first event is a key that types nothing, and the output is ready once the seat shows it.
    const std::unique_ptr<SeatKeyboard> seat = SeatKeyboard::open();  // before, to see the change
    for (const bool down : {true, false}) {
        QDBusMessage call = sessionCall(self->session_, QStringLiteral("NotifyKeyboardKeysym"));
        call << voidSymbol << down;
        bus.send(call);
    }
    if (seat && !seat->hadKeyboard() && !seat->waitForKeyboard(limit)) {
        return fail("Mutter's seat shows no keyboard for the remote desktop session");
    }
    self->sync();  // Mutter has handled the warm-up
    return self;
}

RemoteDesktopKeyEvents::RemoteDesktopKeyEvents(Owned) {}

RemoteDesktopKeyEvents::~RemoteDesktopKeyEvents() {
    if (!session_.isEmpty()) {
        QDBusConnection& bus = *bus_;
        if (!closed_.load()) {
            releaseKeysDown();
            bus.call(sessionCall(session_, QStringLiteral("Stop")), QDBus::Block, callTimeoutMs);
        }
        if (watcher_) {
            bus.disconnect(mutterService, session_, sessionInterface, QStringLiteral("Closed"),
                           watcher_.get(), SLOT(sessionClosed()));
        }
    }
    if (bus_) {
        bus_.reset();
        QDBusConnection::disconnectFromBus(connectionName_);
    }
}

void RemoteDesktopKeyEvents::notify(std::uint16_t code, bool down) {
    QDBusMessage call = sessionCall(session_, QStringLiteral("NotifyKeyboardKeycode"));
    call << static_cast<uint>(code) << down;
    bus_->send(call);
}

void RemoteDesktopKeyEvents::sync() {
    if (session_.isEmpty() || closed_.load()) return;
    QDBusMessage question = QDBusMessage::createMethodCall(mutterService, session_,
                                                           QStringLiteral("org.freedesktop.DBus.Properties"),
                                                           QStringLiteral("Get"));
    question << sessionInterface << QStringLiteral("SessionId");
    bus_->call(question, QDBus::Block, callTimeoutMs);
}

}  // namespace joyrelay

#include "RemoteDesktopKeyEvents.moc"
