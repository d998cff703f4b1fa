// The focus gate and the key output inside a headless KDE Plasma (KWin) or GNOME Shell session,
// started by wayland-desktop.sh, which names the desktop in JOYRELAY_TEST_DESKTOP ("kwin", "gnome",
// or "gnome-bare": GNOME Shell without the program's extension). Tests for another desktop skip.
//
// The session holds weston-terminal (the non-browser) and Chromium as a native Wayland client
// showing the controller check page. The test moves the focus itself: a one-shot KWin script, or
// the tests' own GNOME Shell extension. The focus provider drives the program's FocusMonitor through
// desktop services of its own; keys go out through KWin's fake input or Mutter's remote desktop,
// from a replay of the demo capture running on its own thread as the program runs it. The last
// tests run the program's own binary (JOYRELAY_APP) in the same session, headless, on its replay: it
// picks this desktop's provider and key output by itself.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDir>
#include <QTemporaryFile>
#include <algorithm>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fstream>

#include "gate/BrowserGuard.hpp"
#include "gate/FocusMonitor.hpp"
#include "app/QtMainQueue.hpp"
#include "SessionSupport.hpp"
#include "app/StickService.hpp"
#include "platform/linux/keys/KeyCodes.hpp"
#include "platform/linux/focus/GnomeFocus.hpp"
#include "platform/linux/focus/KWinFocus.hpp"
#include "platform/linux/focus/ScreenLockWatcher.hpp"
#include "platform/linux/keys/FakeInputKeyEvents.hpp"
#include "platform/linux/keys/RemoteDesktopKeyEvents.hpp"

namespace joyrelay::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string terminalClass = "org.freedesktop.weston.wayland-terminal";

std::string desktop() {
    const char* name = std::getenv("JOYRELAY_TEST_DESKTOP");
    return name ? name : "";
}
bool onKWin() {
    return desktop() == "kwin";
}
bool onGnome() {
    return desktop() == "gnome" || desktop() == "gnome-bare";
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Moves the focus to the first window whose class (KWin's resourceClass, GNOME's wm_class) is `text`,
// or with `byTitle`, whose title holds `text`.
bool activate(const std::string& text, bool byTitle = false) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (onGnome()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.tamberlo.Joyrelay.FocusTest"),
            QStringLiteral("/org/tamberlo/Joyrelay/FocusTest"),
            QStringLiteral("org.tamberlo.Joyrelay.FocusTest"),
            byTitle ? QStringLiteral("ActivateTitle") : QStringLiteral("Activate"));
        call << QString::fromStdString(text);
        // On a loaded machine the Shell can answer "not found" while the window is still being
        // mapped or retitled: ask again until a deadline.
        return pumpUntil(
            [&] {
                const QDBusReply<bool> found = bus.call(call);
                return found.isValid() && found.value();
            },
            std::chrono::seconds(5));
    }
    QTemporaryFile script(QDir::tempPath() + QStringLiteral("/activate-XXXXXX.js"));
    if (!script.open()) return false;
    const QString test = byTitle ? QStringLiteral("String(list[i].caption).indexOf(\"%1\") >= 0")
                                 : QStringLiteral("String(list[i].resourceClass) === \"%1\"");
    script.write(QStringLiteral(R"js(
var list = workspace.windowList ? workspace.windowList() : workspace.clientList();
for (var i = 0; i < list.length; i++) {
    if (%1) {
        if (workspace.windowList) workspace.activeWindow = list[i]; else workspace.activeClient = list[i];
        break;
    }
})js")
                     .arg(test.arg(QString::fromStdString(text)))
                     .toUtf8());
    script.flush();
    const auto scripting = [](const QString& method) {
        return QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
                                              QStringLiteral("org.kde.kwin.Scripting"), method);
    };
    QDBusMessage load = scripting(QStringLiteral("loadScript"));
    load << script.fileName() << QStringLiteral("joyrelay-test-activate");
    const QDBusReply<int> id = bus.call(load);
    bool ran = false;
    if (id.isValid() && id.value() >= 0) {
        for (const QString& path :
             {QStringLiteral("/Scripting/Script%1").arg(id.value()), QStringLiteral("/%1").arg(id.value())}) {
            const QDBusMessage reply = bus.call(
                QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), path,
                                               QStringLiteral("org.kde.kwin.Script"), QStringLiteral("run")));
            if (reply.type() != QDBusMessage::ErrorMessage) {
                ran = true;
                break;
            }
        }
    }
    QDBusMessage unload = scripting(QStringLiteral("unloadScript"));
    unload << QStringLiteral("joyrelay-test-activate");
    bus.call(unload);
    return ran;
}

std::uint16_t key(ArcadeKey k) {
    return rawValue(k);
}

// Everything the tests share: the provider and the gate, the two windows, the key output.
struct Session {
    fs::path folder;
    std::unique_ptr<FocusProvider> provider;
    std::unique_ptr<ProviderDesktop> services;
    FocusMonitor monitor;
    std::vector<std::pair<bool, Clock::time_point>> gateChanges;  // (open, when), in order
    StickService* stick = nullptr;                                // the replay playing now
    std::unique_ptr<Program> terminal;
    fs::path terminalText;
    std::unique_ptr<CheckPageBrowser> browser;
    std::unique_ptr<KeyEvents> output;
    std::unique_ptr<NotingKeyEvents> noted;
    std::string outputError;

    // The title of the window the provider last reported.
    std::string caption() const {
        if (auto* kwin = dynamic_cast<KWinFocus*>(provider.get())) return kwin->caption();
        if (auto* gnome = dynamic_cast<GnomeFocus*>(provider.get())) return gnome->title();
        return {};
    }

    std::optional<std::string> appId() const {
        const auto app = provider->frontmost();
        return app ? app->appId : std::nullopt;
    }
};

std::unique_ptr<Session> shared;

// Starts the session's parts once; fails the calling test when one does not come up.
Session& session() {
    if (shared) return *shared;
    shared = std::make_unique<Session>();
    Session& s = *shared;
    s.folder = fs::path(std::getenv("HOME")) / "joyrelay-tests";
    fs::create_directories(s.folder);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (onGnome()) {
        EXPECT_TRUE(pumpUntil(
            [&] {
                return bus.interface()
                    ->isServiceRegistered(QStringLiteral("org.tamberlo.Joyrelay.FocusTest"))
                    .value();
            },
            60s))
            << "the tests' GNOME Shell extension never appeared";
        bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.tamberlo.Joyrelay.FocusTest"),
                                                QStringLiteral("/org/tamberlo/Joyrelay/FocusTest"),
                                                QStringLiteral("org.tamberlo.Joyrelay.FocusTest"),
                                                QStringLiteral("HideOverview")));
        s.provider = std::make_unique<GnomeFocus>();
    } else {
        EXPECT_TRUE(pumpUntil([] { return KWinFocus::available(); }, 30s))
            << "KWin is not on the session bus";
        s.provider = std::make_unique<KWinFocus>();
    }
    s.services = std::make_unique<ProviderDesktop>(*s.provider);
    s.monitor.setChangeHandler([&s](bool open) {
        s.gateChanges.emplace_back(open, Clock::now());
        if (!open && s.stick) s.stick->gateClosed();
    });
    s.monitor.start(*s.services);

    // The terminal's shell hands everything typed to a file, byte by byte.
    s.terminalText = s.folder / "terminal.txt";
    const fs::path shell = s.folder / "terminal-shell.sh";
    std::ofstream(shell) << "#!/bin/sh\nstty -icanon -echo min 1\nexec cat > '" << s.terminalText.string()
                         << "'\n";
    fs::permissions(shell, fs::perms::owner_all);
    s.terminal = std::make_unique<Program>(
        std::vector<std::string>{"weston-terminal", "--shell=" + shell.string()}, s.folder / "terminal.log");
    if (desktop() != "gnome-bare") {
        EXPECT_TRUE(pumpUntil([&] { return s.appId() == terminalClass && fs::exists(s.terminalText); }, 30s))
            << "weston-terminal never had the focus";
    }
    s.browser = std::make_unique<CheckPageBrowser>(s.folder);
    if (desktop() != "gnome-bare") {
        EXPECT_TRUE(pumpUntil([&] { return s.appId() == "chromium"; }, 60s))
            << "Chromium never had the focus";
    }
    EXPECT_TRUE(pumpUntil([&] { return s.browser->title().rfind("padtest:", 0) == 0; }, 60s))
        << "no check page in Chromium's DevTools list";
    return s;
}

// The key output, created once and kept for the whole session, as the program keeps it.
KeyEvents* output(Session& s) {
    if (!s.output && s.outputError.empty()) {
        const auto start = Clock::now();
        if (onKWin()) {
            s.output = FakeInputKeyEvents::create(&s.outputError);
        } else {
            s.output = RemoteDesktopKeyEvents::create(&s.outputError);
        }
        std::printf("key output ready in %.0f ms\n", ms(Clock::now() - start));
        if (s.output) s.noted = std::make_unique<NotingKeyEvents>(*s.output);
    }
    return s.noted.get();
}

void tap(KeyEvents& out, ArcadeKey k) {
    if (auto e = out.createKeyboardEvent(key(k), true)) out.post(*e);
    if (auto e = out.createKeyboardEvent(key(k), false)) out.post(*e);
}

// Focus on Chromium's page, and the page listening: Chromium may route the first keys after an
// activation to its own interface, so Shift is tapped until the page has seen one.
void focusThePage(Session& s, KeyEvents& out) {
    // The caption is the one reported at the last activation: Chromium, active since before its page
    // set the title, goes through the terminal to be activated again.
    if (s.caption().find("padtest") == std::string::npos) {
        ASSERT_TRUE(activate(terminalClass));
        ASSERT_TRUE(pumpUntil([&] { return s.appId() == terminalClass; }, 10s)) << s.caption();
    }
    ASSERT_TRUE(activate("padtest", true));
    ASSERT_TRUE(pumpUntil([&] { return s.caption().find("padtest") != std::string::npos; }, 10s))
        << s.caption();
    // The provider may be loading its script again (a KWin slow to answer counts as lost): its report
    // opens the gate.
    ASSERT_TRUE(pumpUntil([&] { return s.monitor.current(); }, 10s)) << "the gate did not open for Chromium";
    ASSERT_TRUE(pumpUntil(
        [&] {
            const std::string before = s.browser->title();
            tap(out, ArcadeKey::shift);
            return pumpUntil([&] { return s.browser->title() != before; }, 300ms);
        },
        15s))
        << "the page never received a key: " << s.browser->title();
    ASSERT_TRUE(pumpUntil([&] { return s.browser->title().ends_with("U:Shift/ShiftLeft"); }, 5s))
        << s.browser->title();
}

// Plays a capture through the program's replay and the gate, until its end; `whilePlaying` runs once
// it has started. The replay's exit status, or -1 when it did not end within `limit`.
int replay(Session& s, const fs::path& capture, const std::function<void()>& whilePlaying = {},
           std::chrono::milliseconds limit = 90s) {
    QtMainQueue mainQueue;
    ReplaySettings settings;
    settings.keyEvents = s.noted.get();
    settings.gate = [&s] { return s.monitor.current(); };
    int status = -1;
    {
        ReplayStick stick(capture.string(), settings, mainQueue, [&status](int st) { status = st; });
        s.stick = &stick;
        stick.start([](const StickStatus&) {});
        if (whilePlaying) whilePlaying();
        if (!::testing::Test::HasFatalFailure()) {
            EXPECT_TRUE(pumpUntil([&] { return status >= 0; }, limit)) << "the replay of " << capture << " never ended";
        }
        s.stick = nullptr;
    }
    return status;
}

// Tests on KWin, or on GNOME Shell with the tests' extension, all in the one session.
class KdeGnomeDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        if (desktop() != "kwin" && desktop() != "gnome") GTEST_SKIP() << "needs KWin or GNOME Shell with the extension";
    }

    // The key output, with Chromium's page in front and listening; nothing (and the test failed)
    // when either is missing.
    KeyEvents* pageListening(Session& s) {
        KeyEvents* out = output(s);
        if (!out) {
            ADD_FAILURE() << s.outputError;
            return nullptr;
        }
        focusThePage(s, *out);
        return HasFatalFailure() ? nullptr : out;
    }
};

// GNOME Shell without the program's extension.
class GnomeWithoutTheExtension : public ::testing::Test {
protected:
    void SetUp() override {
        if (desktop() != "gnome-bare") GTEST_SKIP() << "needs GNOME Shell without the program's extension";
    }
};

TEST_F(KdeGnomeDesktop, TheGateFollowsTheFocusBothWaysWithOneChangePerSwitch) {
    Session& s = session();
    ASSERT_FALSE(s.provider->problem()) << *s.provider->problem();

    const auto chromium = s.provider->frontmost();
    ASSERT_TRUE(chromium);
    EXPECT_EQ(chromium->appId, "chromium");
    EXPECT_EQ(chromium->windowClass, "Chromium");  // KWin and GNOME report it lower-cased
    EXPECT_TRUE(BrowserGuard::isBrowser(chromium));
    EXPECT_TRUE(s.monitor.current());

    std::vector<double> closing, opening;
    for (int round = 0; round < 10; ++round) {
        for (const bool toBrowser : {false, true}) {
            const std::size_t before = s.gateChanges.size();
            const auto start = Clock::now();
            ASSERT_TRUE(toBrowser ? activate("padtest", true) : activate(terminalClass));
            ASSERT_TRUE(pumpUntil([&] { return s.gateChanges.size() > before; }, 10s))
                << "the gate did not follow the switch to " << (toBrowser ? "Chromium" : "the terminal");
            EXPECT_EQ(s.gateChanges.back().first, toBrowser);
            (toBrowser ? opening : closing).push_back(ms(s.gateChanges.back().second - start));
            // The "no window" KWin reports before each switch is held back: one change per switch,
            // not a close and an open in a row.
            ASSERT_TRUE(pumpUntil([&] { return s.appId() == (toBrowser ? "chromium" : terminalClass); }, 5s));
            EXPECT_EQ(s.gateChanges.size(), before + 1) << "the gate changed more than once for one switch";
        }
    }
    std::printf(
        "activation -> gate change on %s: close median %.1f ms, open median %.1f ms (%zu switches each)\n",
        desktop().c_str(), median(closing), median(opening), closing.size());
}

TEST_F(KdeGnomeDesktop, SwitchingBetweenTwoBrowserWindowsKeepsTheGateOpen) {
    Session& s = session();
    // A second window of the running Chromium.
    Program second(
        {"chromium", "--ozone-platform=wayland", "--no-sandbox", "--test-type",
         "--user-data-dir=" + (s.folder / "chromium-profile").string(), "--new-window", "about:blank"},
        s.folder / "chromium-second.log");
    // GNOME Shell may not hand the focus to a window that an older process opens: ask for it.
    ASSERT_TRUE(pumpUntil(
        [&] {
            activate("about:blank", true);
            return pumpUntil([&] { return s.caption().find("about:blank") != std::string::npos; }, 1s);
        },
        30s))
        << "the second Chromium window never had the focus: " << s.caption();
    ASSERT_TRUE(s.monitor.current());
    // KWin reports "no window" before each switch: held back, it never closes the gate.
    const std::size_t before = s.gateChanges.size();
    for (int round = 0; round < 3; ++round) {
        for (const char* title : {"padtest", "about:blank"}) {
            ASSERT_TRUE(activate(title, true));
            ASSERT_TRUE(pumpUntil([&] { return s.caption().find(title) != std::string::npos; }, 10s))
                << s.caption();
            EXPECT_TRUE(s.monitor.current());
        }
    }
    EXPECT_EQ(s.gateChanges.size(), before) << "the gate closed and opened again between two browser windows";
    ASSERT_TRUE(activate("padtest", true));
    ASSERT_TRUE(pumpUntil([&] { return s.caption().find("padtest") != std::string::npos; }, 10s));
}

TEST_F(KdeGnomeDesktop, AReplayArrivesExactlyInChromium) {
    Session& s = session();
    KeyEvents* out = pageListening(s);
    if (!out) return;
    const std::string before = s.browser->title();
    EXPECT_EQ(replay(s, JOYRELAY_SOURCE_DIR "/samples/demo.gip"), 0);
    const std::string expected =
        padTestTitleAfter(before, padTestRecord(JOYRELAY_SOURCE_DIR "/samples/demo.keys"));
    EXPECT_TRUE(pumpUntil([&] { return s.browser->title() == expected; }, 10s))
        << "page title: " << s.browser->title() << "\nexpected:   " << expected;
}

TEST_F(KdeGnomeDesktop, NothingReachesTheTerminalAndAHeldKeyIsReleasedWhenTheFocusMovesThere) {
    Session& s = session();
    KeyEvents* out = pageListening(s);
    if (!out) return;

    // Enter goes down 100 ms in and stays down for 6 s; the focus moves to the terminal meanwhile.
    const fs::path capture = s.folder / "held-enter.gip";
    std::ofstream(capture) << "0 20 00 01 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                              "100 20 00 02 0e 04 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                              "6100 20 00 03 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
    Clock::time_point switched;
    const int status = replay(
        s, capture,
        [&] {
            ASSERT_TRUE(pumpUntil([&] { return s.browser->title().ends_with("D:Enter/Enter"); }, 10s))
                << s.browser->title();
            switched = Clock::now();
            ASSERT_TRUE(activate(terminalClass));
            ASSERT_TRUE(pumpUntil([&] { return !s.monitor.current(); }, 10s))
                << "the gate did not close for the terminal";
        },
        30s);
    if (HasFatalFailure()) return;
    ASSERT_GE(status, 0) << "the replay never ended";
    const auto posted = s.noted->posted();
    const auto release = std::find_if(posted.begin(), posted.end(), [&](const NotingKeyEvents::Posted& p) {
        return p.virtualKey == key(ArcadeKey::enter) && !p.down && p.at >= switched;
    });
    ASSERT_NE(release, posted.end()) << "Enter was never released";
    EXPECT_EQ(std::count_if(posted.begin(), posted.end(),
                            [&](const NotingKeyEvents::Posted& p) {
                                return p.virtualKey == key(ArcadeKey::enter) && p.at >= switched;
                            }),
              1)
        << "after the switch, Enter went out again";
    EXPECT_LT(release->at, switched + 2s) << "Enter stayed down until the capture let go of it";
    std::printf("switch to the terminal -> Enter released: %.1f ms\n", ms(release->at - switched));

    // Nothing reached the terminal: a marker typed into it past the gate arrives alone.
    tap(*out, ArcadeKey::x);
    ASSERT_TRUE(pumpUntil([&] { return readFile(s.terminalText).find('x') != std::string::npos; }, 10s))
        << "the marker never reached the terminal";
    EXPECT_EQ(readFile(s.terminalText), "x");
}

TEST_F(GnomeWithoutTheExtension, TheGateStaysClosedAndTheProblemSaysWhatToDo) {
    Session& s = session();
    ASSERT_TRUE(pumpUntil(
        [&] {
            return s.provider->problem() && s.provider->problem()->find("not loaded") != std::string::npos;
        },
        10s))
        << s.provider->problem().value_or("(no problem reported)");
    const std::string problem = *s.provider->problem();
    EXPECT_NE(problem.find("gnome-extensions enable joyrelay-focus@tamberlo"), std::string::npos) << problem;
    EXPECT_NE(problem.find("log out and in"), std::string::npos) << problem;
    EXPECT_FALSE(s.provider->frontmost());
    EXPECT_FALSE(s.monitor.current()) << "the gate is open with Chromium in front and no extension";
    std::printf("problem: %s\n", problem.c_str());

    // Installed and enabled while the shell runs: GNOME Shell on Wayland loads it only at the next
    // login, and the provider still says what to do.
    const fs::path installed =
        fs::path(std::getenv("HOME")) / ".local/share/gnome-shell/extensions/joyrelay-focus@tamberlo";
    fs::create_directories(installed.parent_path());
    fs::copy(JOYRELAY_GNOME_EXTENSION_DIR "/legacy/joyrelay-focus@tamberlo", installed,
             fs::copy_options::recursive);
    EXPECT_EQ(std::system("gnome-extensions enable joyrelay-focus@tamberlo"), 0);
    GnomeFocus late;
    ASSERT_TRUE(pumpUntil(
        [&] { return late.problem() && late.problem()->find("not loaded") != std::string::npos; }, 10s))
        << late.problem().value_or("(no problem reported)");
    EXPECT_NE(late.problem()->find("gnome-extensions enable joyrelay-focus@tamberlo"), std::string::npos);
    EXPECT_FALSE(late.frontmost());
}

// The program's own binary (JOYRELAY_APP, from wayland-desktop.sh), run to its end in the session.
struct ProgramRun {
    int status = -1;  // the exit status, or -1 when it had to be killed
    std::string log;  // standard output and error
    double seconds = 0;
};

ProgramRun runProgram(Session& s, const std::vector<std::string>& args, const Environment& environment) {
    static int runs = 0;
    const fs::path log = s.folder / ("program-" + std::to_string(++runs) + ".log");
    std::vector<std::string> argv{std::getenv("JOYRELAY_APP")};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramRun run;
    const auto start = Clock::now();
    Program program(argv, environment, log);
    if (!program.started()) {
        run.log = "cannot start " + argv[0] + ": " + std::strerror(program.spawnError());
        return run;
    }
    // The session's own provider keeps running on this loop meanwhile.
    pumpUntil([&] { return program.exitStatus().has_value(); }, 90s);
    const std::optional<int> status = program.exitStatus();
    if (status && *status >= 0) run.status = *status;
    program.stop();
    run.seconds = ms(Clock::now() - start) / 1000;
    run.log = readFile(log);
    return run;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string focusLine() {
    return onKWin() ? "Focus: KWin script" : "Focus: GNOME Shell extension joyrelay-focus@tamberlo";
}
std::string keyOutputLine() {
    return onKWin() ? "Key output: KWin fake input" : "Key output: Mutter remote desktop session";
}

// The session's desktop name as a real session sets it, so that both ways of recognising the
// desktop are taken: its name here, the session bus where it is unset.
Environment currentDesktop() {
    return {{"XDG_CURRENT_DESKTOP", onKWin() ? "KDE" : "GNOME"}};
}

// The output's warm-up types nothing (on GNOME a keysym no keymap has): the page sees the replay alone.
bool titleIs(const std::string& title, const std::string& before, const std::string& after) {
    return title == padTestTitleAfter(before, after);
}

TEST_F(KdeGnomeDesktop, TheProgramReadsThisDesktopAndTypesTheReplayIntoChromium) {
    if (!std::getenv("JOYRELAY_APP")) GTEST_SKIP() << "JOYRELAY_APP does not name the program";
    Session& s = session();
    KeyEvents* out = pageListening(s);
    if (!out) return;
    const std::string before = s.browser->title();
    const ProgramRun run = runProgram(s, {"--headless", "--replay", JOYRELAY_SOURCE_DIR "/samples/demo.gip"},
                                      currentDesktop());
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_TRUE(contains(run.log, focusLine() + "\n")) << run.log;
    EXPECT_TRUE(contains(run.log, keyOutputLine())) << run.log;
    const std::string record = padTestRecord(JOYRELAY_SOURCE_DIR "/samples/demo.keys");
    EXPECT_TRUE(pumpUntil([&] { return titleIs(s.browser->title(), before, record); }, 10s))
        << "page title: " << s.browser->title() << "\nexpected:   " << padTestTitleAfter(before, record)
        << "\n"
        << run.log;
    std::printf("the program's replay with Chromium in front: %.2f s from start to exit\n", run.seconds);
}

TEST_F(KdeGnomeDesktop, TheProgramSendsNothingToTheTerminalAndLeavesTheSessionsFocusReportsAlone) {
    if (!std::getenv("JOYRELAY_APP")) GTEST_SKIP() << "JOYRELAY_APP does not name the program";
    Session& s = session();
    KeyEvents* out = output(s);
    ASSERT_TRUE(out) << s.outputError;
    // The provider of this test program still hears of switches once another copy has come and gone.
    ASSERT_TRUE(activate(terminalClass));
    ASSERT_TRUE(pumpUntil([&] { return s.appId() == terminalClass; }, 10s))
        << "the focus reports stopped after the program ran: " << s.appId().value_or("(nothing)");
    const std::string typed = readFile(s.terminalText);
    const ProgramRun run =
        runProgram(s, {"--headless", "--replay", JOYRELAY_SOURCE_DIR "/samples/demo.gip"}, {});
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_TRUE(contains(run.log, focusLine() + "\n")) << run.log;
    EXPECT_TRUE(contains(run.log, keyOutputLine())) << run.log;
    // Whatever the program sent went out before it ended; a marker typed now arrives after it.
    tap(*out, ArcadeKey::x);
    ASSERT_TRUE(pumpUntil([&] { return readFile(s.terminalText).size() > typed.size(); }, 10s))
        << "the marker never reached the terminal";
    EXPECT_EQ(readFile(s.terminalText), typed + "x") << "the replay reached the terminal";
    ASSERT_TRUE(activate("padtest", true));
    EXPECT_TRUE(pumpUntil([&] { return s.appId() == "chromium"; }, 10s))
        << "the focus reports stopped after the program ran: " << s.appId().value_or("(nothing)");
    std::printf("the program's replay with the terminal in front: %.2f s from start to exit\n", run.seconds);
}

TEST_F(GnomeWithoutTheExtension, TheProgramSaysWhatToDoAndSendsNothing) {
    if (!std::getenv("JOYRELAY_APP")) GTEST_SKIP() << "JOYRELAY_APP does not name the program";
    Session& s = session();
    KeyEvents* out = output(s);
    ASSERT_TRUE(out) << s.outputError;
    // Chromium's page in front and listening (seen by the page itself: nothing here reads the focus).
    ASSERT_TRUE(pumpUntil(
        [&] {
            activate("padtest", true);
            const std::string before = s.browser->title();
            tap(*out, ArcadeKey::shift);
            return pumpUntil([&] { return s.browser->title() != before; }, 300ms);
        },
        20s))
        << "the page never received a key: " << s.browser->title();
    ASSERT_TRUE(pumpUntil([&] { return s.browser->title().ends_with("U:Shift/ShiftLeft"); }, 5s))
        << s.browser->title();
    const std::string before = s.browser->title();
    const ProgramRun run = runProgram(s, {"--headless", "--replay", JOYRELAY_SOURCE_DIR "/samples/demo.gip"},
                                      {{"XDG_CURRENT_DESKTOP", "GNOME"}});
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_TRUE(contains(run.log, "Focus: GNOME Shell extension joyrelay-focus@tamberlo (")) << run.log;
    EXPECT_TRUE(
        contains(run.log, "`gnome-extensions enable joyrelay-focus@tamberlo`, then log out and in again"))
        << run.log;
    // The page still listens: a marker arrives, and nothing of the replay came before it.
    tap(*out, ArcadeKey::z);
    ASSERT_TRUE(pumpUntil([&] { return s.browser->title().ends_with("U:z/KeyZ"); }, 10s))
        << s.browser->title();
    EXPECT_TRUE(titleIs(s.browser->title(), before, " D:z/KeyZ U:z/KeyZ"))
        << "the replay reached Chromium: " << s.browser->title() << "\n"
        << run.log;
}

// A killed copy of the program could not unload its KWin script. The next copy unloads it and its own
// script reports; so does a script to which KWin 5.27 gives the number of one still loaded (it numbers
// a new script by the count of loaded ones, so run reaches the older script).
TEST_F(KdeGnomeDesktop, AfterACopyIsKilledTheNextScriptsReportAndTheDeadCopysIsUnloaded) {
    if (!onKWin()) GTEST_SKIP() << "KWin only";
    if (!std::getenv("JOYRELAY_APP")) GTEST_SKIP() << "JOYRELAY_APP does not name the program";
    Session& s = session();
    if (!pageListening(s)) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto scripting = [&](const char* method, const QString& name, const QString& path = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
            QStringLiteral("org.kde.kwin.Scripting"), QString::fromLatin1(method));
        if (!path.isEmpty()) call << path;
        call << name;
        return bus.call(call);
    };
    const auto loaded = [&](const QString& name) {
        const QDBusReply<bool> reply = scripting("isScriptLoaded", name);
        return reply.isValid() && reply.value();
    };
    const auto scriptOf = [](qint64 pid) {
        return QStringLiteral("%1-%2").arg(QString::fromLatin1(KWinFocus::scriptName)).arg(pid);
    };
    const fs::path capture = s.folder / "no-keys.gip";
    std::ofstream(capture) << "0 20 00 01 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                           << "600000 20 00 02 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
    Program killed({std::getenv("JOYRELAY_APP"), "--headless", "--replay", capture.string()},
                   currentDesktop(), s.folder / "killed.log");
    ASSERT_TRUE(killed.started());
    const QString dead = scriptOf(killed.pid());
    ASSERT_TRUE(pumpUntil([&] { return loaded(dead); }, 30s)) << readFile(s.folder / "killed.log");
    const std::string guard =
        "pgrep -f -- '--fake-input-guard " + std::to_string(killed.pid()) + "$' >/dev/null";
    killed.signal(SIGKILL);
    killed.stop();
    ASSERT_TRUE(pumpUntil([&] { return std::system(guard.c_str()) != 0; }, 10s))
        << "the guard is still running";
    ASSERT_TRUE(loaded(dead));

    const std::string before = s.browser->title();
    const ProgramRun run =
        runProgram(s, {"--headless", "--replay", JOYRELAY_SOURCE_DIR "/samples/demo.gip"}, currentDesktop());
    EXPECT_EQ(run.status, 0) << run.log;
    const std::string record = padTestRecord(JOYRELAY_SOURCE_DIR "/samples/demo.keys");
    EXPECT_TRUE(pumpUntil([&] { return titleIs(s.browser->title(), before, record); }, 10s))
        << "page title: " << s.browser->title() << "\nexpected:   " << padTestTitleAfter(before, record)
        << "\n"
        << run.log;
    EXPECT_FALSE(loaded(dead)) << "the killed copy's script is still loaded";

    // A script loaded above this program's own: once that goes, its next load gets the other's number.
    const fs::path idle = s.folder / "idle.js";
    std::ofstream(idle) << "// loaded, never run by this test\n";
    const QDBusReply<int> idleId =
        scripting("loadScript", QStringLiteral("joyrelay-test-idle"), QString::fromStdString(idle.string()));
    ASSERT_TRUE(idleId.isValid() && idleId.value() >= 0) << idleId.error().message().toStdString();
    ASSERT_EQ(scripting("unloadScript", scriptOf(QCoreApplication::applicationPid())).type(),
              QDBusMessage::ReplyMessage);
    EXPECT_TRUE(pumpUntil([&] { return !s.monitor.current(); }, 5s)) << "the gate stayed open";
    EXPECT_TRUE(pumpUntil([&] { return s.monitor.current(); }, 15s))
        << "the script loaded again never reported";
    scripting("unloadScript", QStringLiteral("joyrelay-test-idle"));
}

// Any client may unload the program's KWin script: the gate closes within the recheck, and opens again
// once the script, loaded again, reports Chromium.
TEST_F(KdeGnomeDesktop, AnotherClientUnloadingTheKWinScriptClosesTheGateUntilItReportsAgain) {
    if (!onKWin()) GTEST_SKIP() << "KWin only";
    Session& s = session();
    KeyEvents* out = pageListening(s);
    if (!out) return;
    auto* kwin = dynamic_cast<KWinFocus*>(s.provider.get());
    ASSERT_TRUE(kwin);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusMessage introspection = bus.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"), QStringLiteral("org.freedesktop.DBus.Introspectable"),
        QStringLiteral("Introspect")));
    const QString xml = introspection.arguments().value(0).toString();
    const auto scripting = xml.indexOf(QStringLiteral("org.kde.kwin.Scripting"));
    std::printf("KWin's Scripting interface %s signals\n",
                xml.indexOf(QStringLiteral("<signal"), scripting) > scripting &&
                        xml.indexOf(QStringLiteral("<signal"), scripting) < xml.indexOf(QStringLiteral("</interface>"), scripting)
                    ? "has"
                    : "has no");
    QDBusMessage unload = QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
                                                         QStringLiteral("org.kde.kwin.Scripting"), QStringLiteral("unloadScript"));
    unload << QStringLiteral("%1-%2").arg(QString::fromLatin1(KWinFocus::scriptName)).arg(QCoreApplication::applicationPid());
    const auto start = Clock::now();
    ASSERT_EQ(bus.call(unload).type(), QDBusMessage::ReplyMessage);
    ASSERT_TRUE(pumpUntil([&] { return !s.monitor.current(); }, 5s)) << "the gate stayed open";
    const auto closed = Clock::now();
    ASSERT_TRUE(kwin->problem());
    EXPECT_NE(kwin->problem()->find("no longer loaded"), std::string::npos) << *kwin->problem();
    ASSERT_TRUE(pumpUntil([&] { return s.monitor.current(); }, 10s)) << "the script never reported again";
    EXPECT_EQ(s.appId(), "chromium");
    EXPECT_FALSE(kwin->problem());
    std::printf("script unloaded -> gate closed: %.0f ms, -> open again: %.0f ms\n", ms(closed - start),
                ms(Clock::now() - start));
}

// The program holding Enter and ArrowLeft from the capture's first report, then killed: both go down
// once the output is ready, and both go up again though the program had no chance to let go (KWin:
// the program's fake-input guard; GNOME: Mutter, closing the dead program's session).
TEST_F(KdeGnomeDesktop, KeysHeldFromTheFirstReportGoDownAndAKillLetsGoOfThem) {
    if (!std::getenv("JOYRELAY_APP")) GTEST_SKIP() << "JOYRELAY_APP does not name the program";
    Session& s = session();
    if (!pageListening(s)) return;
    const std::string before = s.browser->title();
    const fs::path capture = s.folder / "held.gip";
    {
        std::ofstream out(capture);
        out << "0 20 00 01 0e 04 04 00 00 00 00 00 00 00 00 00 00 00 00\n"       // Enter and ArrowLeft
            << "600000 20 00 02 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";  // let go ten minutes on
    }
    const std::string pressed = padTestTitleAfter(before, "D:ArrowLeft/ArrowLeft D:Enter/Enter");
    const auto start = Clock::now();
    Program program({std::getenv("JOYRELAY_APP"), "--headless", "--replay", capture.string()}, currentDesktop(),
                    s.folder / "held.log");
    ASSERT_TRUE(program.started());
    const bool down = pumpUntil([&] { return s.browser->title() == pressed; }, 10s);
    const double downMs = ms(Clock::now() - start);
    const std::string guards = std::to_string(program.pid());
    program.signal(SIGKILL);
    const auto killed = Clock::now();
    const auto released = [&] {
        // The page keeps its last entries only: look after the held Enter's press.
        const std::string title = s.browser->title();
        const std::size_t at = title.rfind("D:Enter/Enter");
        return at != std::string::npos && title.find("U:ArrowLeft/ArrowLeft", at) != std::string::npos &&
               title.find("U:Enter/Enter", at) != std::string::npos;
    };
    const bool up = pumpUntil(released, 10s);
    const double upMs = ms(Clock::now() - killed);
    program.stop();
    EXPECT_TRUE(down) << "page title: " << s.browser->title() << "\nexpected:   " << pressed << "\n"
                      << readFile(s.folder / "held.log");
    EXPECT_TRUE(up) << "page title: " << s.browser->title() << "\n" << readFile(s.folder / "held.log");
    // The guard (KWin) ends once it has done its work: no process of the killed program is left.
    EXPECT_TRUE(pumpUntil([&] { return std::system(("pgrep -f -- '--fake-input-guard " + guards + "$' >/dev/null").c_str()) != 0; }, 10s))
        << "the fake-input guard is still running";
    std::printf("held keys: down %.0f ms after start, up %.0f ms after SIGKILL\n", downMs, upMs);
}

// Last in the session: a locked screen stays locked (unlocking takes a password nobody here has).
// Locked through the compositor's own interface, the gate closes although Chromium stays the last
// active window, a replay posts no key down, and the program's binary says so in its log.
TEST_F(KdeGnomeDesktop, TheLockScreenClosesTheGateWhileTheLastActiveWindowIsTheBrowser) {
    if (!std::getenv("JOYRELAY_APP")) GTEST_SKIP() << "JOYRELAY_APP does not name the program";
    Session& s = session();
    KeyEvents* out = pageListening(s);
    if (!out) return;
    ScreenLockWatcher watcher(QDBusConnection::sessionBus(), QDBusConnection(QStringLiteral("no system bus")),
                              [&s](bool locked, const std::string&) {
                                  s.monitor.setBlocked(FocusMonitor::Block::screenLocked, locked);
                              });
    const QString service = onKWin() ? QStringLiteral("org.freedesktop.ScreenSaver") : QStringLiteral("org.gnome.ScreenSaver");
    const QString path = onKWin() ? QStringLiteral("/ScreenSaver") : QStringLiteral("/org/gnome/ScreenSaver");
    if (onGnome() && !QDBusConnection::sessionBus().interface()->isServiceRegistered(service).value()) {
        // GNOME Shell builds its screen shield (and org.gnome.ScreenSaver) only with logind, which the
        // session's private system bus does not have.
        GTEST_SKIP() << "GNOME Shell offers no org.gnome.ScreenSaver in this session (no logind)";
    }
    QDBusPendingCall lock = QDBusConnection::sessionBus().asyncCall(
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Lock")));
    ASSERT_TRUE(pumpUntil([&] { return watcher.locked(); }, 30s))
        << service.toStdString() << " Lock: "
        << (lock.isFinished() ? (lock.isError() ? lock.error().message().toStdString() : "answered") : "no answer")
        << "; the screen never said it was locked";
    EXPECT_FALSE(s.monitor.current());
    std::printf("locked by %s; the provider's last window: %s\n", watcher.lockedBy().c_str(),
                s.appId().value_or("(none)").c_str());

    const std::size_t before = s.noted->posted().size();
    EXPECT_EQ(replay(s, JOYRELAY_SOURCE_DIR "/samples/demo.gip"), 0);
    const auto posted = s.noted->posted();
    EXPECT_EQ(std::count_if(posted.begin() + static_cast<std::ptrdiff_t>(before), posted.end(),
                            [](const NotingKeyEvents::Posted& p) { return p.down; }),
              0)
        << "keys went down while the screen was locked";

    const ProgramRun run = runProgram(s, {"--headless", "--replay", JOYRELAY_SOURCE_DIR "/samples/demo.gip"},
                                      currentDesktop());
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_TRUE(contains(run.log, "Screen locked (" + service.toStdString() + ")")) << run.log;
}

}  // namespace
}  // namespace joyrelay::testing

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (joyrelay::testing::shared) {
        joyrelay::testing::shared->browser.reset();
        joyrelay::testing::shared->terminal.reset();
        joyrelay::testing::shared.reset();
    }
    return status;
}
