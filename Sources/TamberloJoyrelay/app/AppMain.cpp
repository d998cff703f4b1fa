#include "app/AppMain.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/Accessibility.hpp"
#include "app/KeyOutputAccess.hpp"
#include "app/AppDelegate.hpp"
#include "app/AppInfo.hpp"
#include "gate/BrowserGuard.hpp"
#include "capture/Capture.hpp"
#include "capture/CaptureRecorder.hpp"
#include "gate/FocusMonitor.hpp"
#include "gate/PressFocusCheck.hpp"
#include "app/InstanceLock.hpp"
#include "log/Log.hpp"
#include "platform/Platform.hpp"
#include "app/QtMainQueue.hpp"
#include "queues/Queues.hpp"
#include "app/StickService.hpp"
#include "platform/linux/common/DesktopSession.hpp"
#include "platform/linux/common/X11Display.hpp"
#include "platform/linux/desktop/QtDesktopServices.hpp"
#include "platform/linux/focus/FocusProviderChoice.hpp"
#include "platform/linux/focus/NoFocusProvider.hpp"
#include "platform/linux/focus/ScreenLockWatcher.hpp"

namespace joyrelay {

namespace {

// SIGINT, SIGTERM, SIGHUP (the terminal went away) and SIGQUIT, turned into a byte on a pipe that the
// event loop watches: each ends the program the orderly way, keys released first. SIGTSTP (Ctrl+Z) and
// SIGCONT go the same way to their own handlers: the program lets go of every key before it stops,
// and carries on as after a focus change.
class StopSignals {
public:
    struct Handlers {
        std::function<void()> stop;       // SIGINT, SIGTERM, SIGHUP, SIGQUIT
        std::function<void()> suspend;    // SIGTSTP
        std::function<void()> carryOn;    // SIGCONT
    };

    explicit StopSignals(Handlers handlers) : handlers_(std::move(handlers)) {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) return;
        writeEnd = fds_[1];
        struct sigaction action {};
        action.sa_handler = [](int signal) {
            const int saved = errno;
            const char byte = static_cast<char>(signal);
            [[maybe_unused]] const ssize_t n = ::write(writeEnd, &byte, 1);
            errno = saved;
        };
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < handledSignals.size(); ++i) ::sigaction(handledSignals[i], &action, &previous_[i]);
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char buffer[16];
            bool stop = false, suspend = false, carryOn = false;
            for (ssize_t n = 0; (n = ::read(fds_[0], buffer, sizeof buffer)) > 0;) {
                for (ssize_t i = 0; i < n; ++i) {
                    stop = stop || (buffer[i] != SIGTSTP && buffer[i] != SIGCONT);
                    suspend = suspend || buffer[i] == SIGTSTP;
                    carryOn = carryOn || buffer[i] == SIGCONT;
                }
            }
            if (stop) {
                if (handlers_.stop) handlers_.stop();
                return;
            }
            if (suspend && handlers_.suspend) handlers_.suspend();
            if (carryOn && handlers_.carryOn) handlers_.carryOn();
        });
    }
    ~StopSignals() {
        if (fds_[0] < 0) return;
        notifier_.reset();
        for (std::size_t i = 0; i < handledSignals.size(); ++i) ::sigaction(handledSignals[i], &previous_[i], nullptr);
        writeEnd = -1;
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    static constexpr std::array<int, 6> handledSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};
    static inline volatile sig_atomic_t writeEnd = -1;
    int fds_[2] = {-1, -1};
    std::array<struct sigaction, handledSignals.size()> previous_{};
    std::unique_ptr<QSocketNotifier> notifier_;
    Handlers handlers_;
};

// Whether a desktop can be shown on: nothing when it can, else why not. Qt's own platform choice
// (QT_QPA_PLATFORM) and a Wayland session are taken at their word; otherwise the X display must open.
std::optional<std::string> noDisplayReason(bool x11Opened, const std::string& x11Error) {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && value[0] != '\0';
    };
    if (set("QT_QPA_PLATFORM") || set("WAYLAND_DISPLAY") || x11Opened) return std::nullopt;
    return x11Error;
}

}  // namespace

int runApp(const Options& options, char* argv0) {
    const std::string version = AppInfo::version();
    const std::string executable = AppInfo::executablePath();
    const PageURLs urls = AppInfo::pageURLs();
    if (!AppInfo::isValidURL(urls.arcade) || !AppInfo::isValidURL(urls.padTest)) {
        std::fprintf(stderr, "tamberlo-joyrelay: the built-in page addresses do not parse (%s, %s)\n",
                     urls.arcade.c_str(), urls.padTest.c_str());
        std::abort();
    }

    // A capture is refused before anything runs, as when it is printed. It is opened once, here,
    // and played from this opening: a pipe cannot be read twice.
    std::shared_ptr<CaptureReader> capture;
    if (options.replay) {
        std::string error;
        capture = CaptureReader::open(*options.replay, error);
        if (!capture) {
            std::fprintf(stderr, "tamberlo-joyrelay: %s\n", error.c_str());
            return 2;
        }
    }

    // A second copy on the real stick could only ever find it busy.
    std::optional<InstanceLock> lock;
    if (!options.replay) {
        InstanceLock::Outcome outcome = InstanceLock::acquire(InstanceLock::defaultPath());
        if (!outcome.lock) {
            const std::string line =
                "Tamberlo Joyrelay is already running" +
                (outcome.holder ? " (pid " + std::to_string(*outcome.holder) + ")" : std::string()) +
                " \u2014 this copy ends";
            Log::info(line);
            return 1;
        }
        lock = std::move(outcome.lock);
        if (!outcome.note.empty()) Log::info("single-copy check weakened \u2014 " + outcome.note);
    }

    // The recording's file is taken (or refused: a FIFO, a device) before the stick is looked for,
    // and only by the copy that holds the lock, so that a second copy cannot empty it.
    std::shared_ptr<CaptureRecorder> recorder;  // --record
    if (options.record) {
        std::string error;
        recorder = CaptureRecorder::create(*options.record, error);
        if (!recorder) {
            Log::info("record: cannot record to " + *options.record + " \u2014 " + error);
            return 2;
        }
    }

    std::optional<KeyOutputKind> wanted;
    if (options.printKeys) {
        wanted = KeyOutputKind::print;
    } else if (options.keyOutput) {
        wanted = parseKeyOutput(*options.keyOutput);
    }
    const bool printing = wanted == KeyOutputKind::print;

    std::string x11Error;
    const bool x11Opened = openX11Display(nullptr, &x11Error) != nullptr;
    const std::optional<std::string> noDisplay = noDisplayReason(x11Opened, x11Error);
    const bool headless = options.headless || noDisplay.has_value();

    int argc = 1;
    char* argv[] = {argv0, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (headless) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        auto gui = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);  // an alert closing must not end the program
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Tamberlo Joyrelay"));
        QGuiApplication::setDesktopFileName(QStringLiteral("tamberlo-joyrelay"));
        app = std::move(gui);
    }

    if (headless) {
        Log::info(AppDelegate::startupLine(version, executable, true));
        if (noDisplay && !options.headless) Log::info("No display (" + *noDisplay + ") \u2014 running headless");
    }

    // Which desktop this is: read once, once the application object exists (the session bus is asked),
    // and handed to every choice made from it, so that they agree.
    const DesktopSession session = DesktopSession::fromEnvironment();
    // Who says which application is in front: chosen once, from the session (logged as "Focus: ...").
    std::unique_ptr<FocusProvider> focus = chooseFocusProvider(session);
    // Without a window system, or on a desktop that does not tell, there is nobody to ask which
    // application is in front. When printing, the gate is always open and that does not matter.
    std::optional<std::string> noDesktopReason;
    if (dynamic_cast<NoFocusProvider*>(focus.get()) && !printing) noDesktopReason = focus->problem();
    // Where the desktop can say at once which window has the focus, each press is decided on that.
    const std::shared_ptr<FocusNow> focusNow = printing || BrowserGuard::anyApp() ? nullptr : focus->focusNow();

    KeyOutputAccess access(session, wanted);
    PressFocusCheck checkedKeys(access.events(), focusNow);
    KeyEvents& keys = focusNow ? static_cast<KeyEvents&>(checkedKeys) : access.events();
    QtDesktopServices desktop(std::move(focus), [&access] { return access.check(); },
                              XdgAutostart(XdgAutostart::defaultFolder(), executable), Accessibility::settingsURL());
    QtMainQueue mainQueue;

    // Keys go down only while a browser is in front, unless they are only printed.
    StickBridge::GateProvider gate = [] { return true; };
    if (!printing) gate = [] { return FocusMonitor::shared().current(); };

    int exitStatus = 0;
    std::function<void(int)> replayFinished;  // set below, once the application side exists
    std::unique_ptr<AsioSerialQueue> queue;
    std::unique_ptr<usb::UsbHost> host;
    std::unique_ptr<StickService> service;
    if (options.replay) {
        ReplaySettings settings;
        settings.fast = options.fast;
        settings.keyEvents = &keys;
        settings.gate = gate;
        settings.capture = std::move(capture);
        auto stick = std::make_unique<ReplayStick>(*options.replay, std::move(settings), mainQueue,
                                                   [&replayFinished](int status) {
                                                       if (replayFinished) replayFinished(status);
                                                   });
        service = std::move(stick);
    } else {
        queue = std::make_unique<AsioSerialQueue>();
        host = makePlatformUsbHost(*queue);
        auto bridge = StickBridge::create(*queue, mainQueue, *host, keys, gate);
        std::function<void(StickBridge&)> beforeStart;
        std::function<void()> afterRelease;
        if (options.record) {
            beforeStart = [&recorder](StickBridge& b) { attachRecorder(b, recorder); };
            afterRelease = [&recorder] {
                if (recorder) recorder->flush();  // before "quit", which stays the last line
            };
        }
        service = std::make_unique<LiveStick>(std::move(bridge), std::move(beforeStart), std::move(afterRelease));
    }
    if (!printing) {
        StickService* stick = service.get();
        FocusMonitor::shared().setChangeHandler([stick](bool open) {
            if (open) {
                stick->gateOpened();
            } else {
                stick->gateClosed();
            }
        });
    }
    // A locked session closes the gate: the lock screen has the keyboard.
    std::unique_ptr<ScreenLockWatcher> screenLock;
    if (!printing) {
        screenLock = std::make_unique<ScreenLockWatcher>(
            QDBusConnection::sessionBus(), QDBusConnection::systemBus(), [](bool locked, const std::string& source) {
                Log::info(locked ? "Screen locked (" + source + ") \u2014 the stick's keys stay off until it is unlocked"
                                 : std::string("Screen unlocked \u2014 keys go to the browser in front again"));
                FocusMonitor::shared().setBlocked(FocusMonitor::Block::screenLocked, locked);
            });
    }

    AppDelegate::Setup setup;
    setup.appVersion = version;
    setup.bundlePath = executable;
    setup.urls = urls;
    setup.logPath = Log::defaultPath();
    setup.noDesktopReason = noDesktopReason;
    setup.headless = headless;
    setup.gnome = session.desktopIs("GNOME");
    if (!headless) {
        setup.deliveryProblem = [&access, &desktop, printing]() -> std::optional<std::string> {
            if (!access.kind() && !access.reason().empty()) return "no key output: " + access.reason();
            if (printing) return std::nullopt;
            if (FocusMonitor::shared().blocked(FocusMonitor::Block::screenLocked))
                return "the screen is locked \u2014 keys stay off until it is unlocked";
            const std::optional<std::string> focusProblem = desktop.focusProblem();
            if (!focusProblem || BrowserGuard::anyApp()) return std::nullopt;
            return "the focus cannot be read: " + *focusProblem +
                   " \u2014 set JOYRELAY_ANY_APP=1 to send keys to any window";
        };
    }
    StickService* stick = service.get();  // the delegate owns it from here on
    if (!headless) {
        setup.releaseBeforeMenu = [stick, &access] {
            if (stick->releaseForStop(std::chrono::milliseconds(250))) access.events().sync();
        };
    }
    auto delegate = std::make_unique<AppDelegate>(std::move(setup), desktop, std::move(service));
    AppDelegate* d = delegate.get();
    QObject::connect(d, &AppDelegate::statusItemCreated,
                     [&desktop](QSystemTrayIcon* item) { desktop.setStatusItem(item); });
    // Ctrl+Z: every key up and processed, no press under way (so no server grab held), then stop. The
    // gate stays closed until the program carries on, and is then read afresh as after a focus change.
    const auto suspend = [stick, &access] {
        Log::info("stopping (SIGTSTP) \u2014 every key released first");
        FocusMonitor::shared().setBlocked(FocusMonitor::Block::stopping, true);
        if (!stick->releaseForStop(std::chrono::milliseconds(2000))) {
            Log::info("the stick's held keys could not be confirmed released before stopping");
        }
        access.events().sync();
        ::raise(SIGSTOP);
        Log::info("continued (SIGCONT)");
        FocusMonitor::shared().setBlocked(FocusMonitor::Block::stopping, false);
    };
    const auto carryOn = [] {
        // Stopped from outside (SIGSTOP): the world may have changed meanwhile.
        if (!FocusMonitor::shared().blocked(FocusMonitor::Block::stopping))
            FocusMonitor::shared().setBlocked(FocusMonitor::Block::stopping, false);
    };
    const auto stopSignals = std::make_unique<StopSignals>(StopSignals::Handlers{[d] { d->terminate(); }, suspend, carryOn});
    // Headless, the end of a replay ends the program with the replay's status; with a tray it keeps running.
    replayFinished = [d, headless, &exitStatus](int status) {
        Log::info("replay finished");
        if (!headless) return;
        exitStatus = status;
        d->terminate(status);
    };
    delegate->applicationDidFinishLaunching();

    const int loopStatus = app->exec();
    if (headless) exitStatus = loopStatus;
    FocusMonitor::shared().setChangeHandler({});
    // Nothing is torn down on the way out: the held keys are released and "quit" is logged, and the
    // process ends here, once the key output has delivered everything (an X server drops requests
    // of a connection that closes before it has read them). The kernel closes the stick, the uinput device and the X connections; a
    // capture still being played is abandoned. (Destroying the bridge, its USB host and its queue in
    // an order that suits all three would buy nothing.)
    access.events().sync();
    Log::finish();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(exitStatus);
}

}  // namespace joyrelay
