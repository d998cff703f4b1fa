// The focus gate and XTest key output on a real X server (Xvfb) with a real window manager
// (openbox), a real browser (Chromium) and a real terminal (xterm).
#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/Capture.hpp"
#include "support/FakeDesktop.hpp"
#include "gate/FocusMonitor.hpp"
#include "JoyrelayCore/GIP.hpp"
#include "bridge/KeyPoster.hpp"
#include "support/X11TestSupport.hpp"
#include "support/PadTestPage.hpp"
#include "platform/linux/keys/KeyCodes.hpp"
#include "platform/linux/focus/X11Focus.hpp"
#include "platform/linux/keys/XTestKeyEvents.hpp"

// Last: Xlib defines macros (None, Bool, Status) that clash with names in the headers above.
#include <X11/Xlib.h>

using namespace joyrelay;
using namespace joyrelay::testing;

namespace {

// Desktop services whose frontmost application and activation notices come from X11. Its timer is
// never fired: every change a test sees comes from an activation notice.
class X11Desktop final : public FakeDesktopServices {
public:
    explicit X11Desktop(X11Focus& focus) : focus_(focus) {}
    int notices = 0;

    std::optional<FrontmostApplication> frontmostApplication() override {
        return focus_.frontmostApplication();
    }
    void observeActivation(std::function<void()> handler) override {
        focus_.setActivationHandler([this, handler = std::move(handler)] {
            ++notices;
            handler();
        });
    }

private:
    X11Focus& focus_;
};

// The main thread's share of the work: dispatch X events whenever the connection is readable,
// until `condition` holds.
bool pumpUntil(X11Focus& focus, const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd readable{focus.fd(), POLLIN, 0};
        ::poll(&readable, 1, 20);
        focus.dispatch();
    }
    return true;
}

// One Chromium for the whole suite (it takes a couple of seconds to start), showing the controller
// check page, which writes every key it receives into its title ("padtest:D:z U:z ...").
class OnX11 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        skipReason_ = useX11Session();
        if (skipReason_) return;
        folder_ = std::make_unique<TempDir>("joyrelay-x11");
        browser_ = std::make_unique<Program>(
            chromiumCommand(folder_->path() / "profile", {"--window-position=0,40", "--window-size=900,600",
                                                          "file://" JOYRELAY_SOURCE_DIR "/web/padtest.html"}),
            // TMPDIR: Chromium leaves its singleton socket folder behind when it is stopped.
            Environment{{"TMPDIR", folder_->path().string()}}, folder_->path() / "chromium.log");
        browserWindow_ = windowOf(browser_->pid(), 30s);
        // Keys count only once the page has loaded and set its title.
        pageLoaded_ = browserWindow_ != 0 &&
                      waitUntil([] { return windowName(browserWindow_).rfind("padtest:", 0) == 0; }, 30s);
    }
    static void TearDownTestSuite() {
        browser_.reset();  // waits until every Chromium process has exited ...
        folder_.reset();   // ... before its profile folder goes
    }

    void SetUp() override {
        if (skipReason_) GTEST_SKIP() << *skipReason_;
        ASSERT_NE(browserWindow_, 0u) << "Chromium showed no window; see its log in " << folder_->path();
        ASSERT_TRUE(pageLoaded_) << "the page did not load: " << windowName(browserWindow_);
        std::string error;
        focus_ = X11Focus::open(nullptr, &error);
        ASSERT_TRUE(focus_) << error;
        xtest_ = XTestKeyEvents::create(nullptr, &error);
        ASSERT_TRUE(xtest_) << error;
    }

    // Activates the browser and waits until its page has the keyboard focus: right after activation
    // Chromium may still route keys to its own interface, so harmless Shift taps are sent until the
    // page reports one.
    void focusPage() {
        ASSERT_TRUE(activate(browserWindow_));
        KeyPoster poster(*xtest_);
        const bool focused = waitUntil(
            [&] {
                const std::string before = windowName(browserWindow_);
                poster.post(ArcadeKey::shift, true);
                poster.post(ArcadeKey::shift, false);
                return waitUntil([&] { return windowName(browserWindow_) != before; }, 300ms);
            },
            10s);
        ASSERT_TRUE(focused) << "the page never received a key: " << windowName(browserWindow_);
    }

    // A terminal that keeps every byte it receives in `file`.
    std::unique_ptr<RecordingTerminal> recordingTerminal(const std::filesystem::path& file) {
        auto terminal = std::make_unique<RecordingTerminal>(file, "joyrelay-x11-sink");
        EXPECT_NE(terminal->window(), 0u) << "xterm did not start\n" << terminal->log();
        return terminal;
    }

    static inline std::optional<std::string> skipReason_;
    static inline std::unique_ptr<TempDir> folder_;
    static inline std::unique_ptr<Program> browser_;
    static inline unsigned long browserWindow_ = 0;
    static inline bool pageLoaded_ = false;
    std::unique_ptr<X11Focus> focus_;
    std::unique_ptr<XTestKeyEvents> xtest_;
    TempDir temp_{"joyrelay-x11"};
};

TEST_F(OnX11, TheGateOpensForChromiumAndClosesOnTheNoticeThatAnXtermIsActive) {
    Program terminal({"xterm", "-geometry", "80x24+0+0", "-e", "cat"}, temp_.path() / "xterm.log");
    const unsigned long terminalWindow = windowOf(terminal.pid());
    ASSERT_NE(terminalWindow, 0u);

    X11Desktop desktop(*focus_);
    FocusMonitor monitor;
    ASSERT_TRUE(activate(terminalWindow));
    monitor.start(desktop);
    EXPECT_FALSE(monitor.current());

    ASSERT_TRUE(activate(browserWindow_));
    const int before = desktop.notices;
    EXPECT_TRUE(pumpUntil(*focus_, [&] { return monitor.current(); })) << "no notice opened the gate";
    EXPECT_GT(desktop.notices, before);
    std::optional<ActiveWindow> active = focus_->activeWindow();
    ASSERT_TRUE(active);
    EXPECT_EQ(active->window, browserWindow_);
    EXPECT_EQ(active->windowClass, "Chromium");
    EXPECT_EQ(active->instance.value_or("").rfind("chromium", 0), 0u) << active->instance.value_or("(none)");
    EXPECT_EQ(active->pid, browser_->pid());

    ASSERT_TRUE(activate(terminalWindow));
    const int beforeTerminal = desktop.notices;
    EXPECT_TRUE(pumpUntil(*focus_, [&] { return !monitor.current(); })) << "no notice closed the gate";
    EXPECT_EQ(desktop.notices, beforeTerminal + 1);  // openbox's intermediate 0 is not a notice
    active = focus_->activeWindow();
    ASSERT_TRUE(active);
    EXPECT_EQ(active->windowClass, "XTerm");
    EXPECT_EQ(active->instance, "xterm");
    EXPECT_EQ(active->pid, terminal.pid());
}

// The bytes xterm sends for key presses (raw mode, default settings).
std::string xtermBytes(const std::vector<KeyTransition>& transitions) {
    std::string bytes;
    bool shift = false;
    for (const KeyTransition& t : transitions) {
        if (t.key == ArcadeKey::shift) shift = t.down;
        if (!t.down) continue;
        const std::string arrowPrefix = shift ? "\x1b[1;2" : "\x1b[";
        switch (t.key) {
            case ArcadeKey::space:
                bytes += ' ';
                break;
            case ArcadeKey::enter:
                bytes += '\r';
                break;
            case ArcadeKey::escape:
                bytes += '\x1b';
                break;
            case ArcadeKey::shift:
                break;
            case ArcadeKey::arrowUp:
                bytes += arrowPrefix + "A";
                break;
            case ArcadeKey::arrowDown:
                bytes += arrowPrefix + "B";
                break;
            case ArcadeKey::arrowRight:
                bytes += arrowPrefix + "C";
                break;
            case ArcadeKey::arrowLeft:
                bytes += arrowPrefix + "D";
                break;
            case ArcadeKey::z:
                bytes += shift ? 'Z' : 'z';
                break;
            case ArcadeKey::x:
                bytes += shift ? 'X' : 'x';
                break;
            case ArcadeKey::c:
                bytes += shift ? 'C' : 'c';
                break;
            case ArcadeKey::one:
                bytes += shift ? '!' : '1';
                break;
            case ArcadeKey::two:
                bytes += shift ? '@' : '2';
                break;
        }
    }
    return bytes;
}

// Plays the demo capture through the core and posts what it gives; returns every posted transition.
std::vector<KeyTransition> replayDemo(KeyPoster& poster, const std::function<bool()>& gate) {
    const CaptureParse capture = loadCapture(JOYRELAY_SOURCE_DIR "/samples/demo.gip");
    EXPECT_FALSE(capture.error) << *capture.error;
    StickState stick;
    KeyState held;
    std::vector<KeyTransition> posted;
    for (const CaptureEvent& e : capture.events) {
        if (e.kind != CaptureEvent::Kind::transfer) continue;
        if (const auto report = InputReport::parse(e.bytes)) {
            const TransitionList list = held.apply(stick.wanted(*report), gate());
            poster.post(list);
            posted.insert(posted.end(), list.begin(), list.end());
        }
    }
    const TransitionList rest = held.releaseAll();
    poster.post(rest);
    posted.insert(posted.end(), rest.begin(), rest.end());
    return posted;
}

TEST_F(OnX11, AReplayedCaptureSendsAnXtermNoKeyWhileTheGateIsClosedAndEveryKeyOnceItIsOpen) {
    const auto file = temp_.path() / "received";
    const auto terminal = recordingTerminal(file);
    const unsigned long terminalWindow = terminal->window();
    ASSERT_NE(terminalWindow, 0u);
    ASSERT_TRUE(activate(terminalWindow));

    X11Desktop desktop(*focus_);
    FocusMonitor monitor;
    monitor.start(desktop);
    ASSERT_FALSE(monitor.current());
    KeyPoster poster(*xtest_);

    const std::vector<KeyTransition> closed = replayDemo(poster, [&] { return monitor.current(); });
    for (const KeyTransition& t : closed) EXPECT_FALSE(t.down) << name(t.key) << " went down";

    // X delivers in order: once a marker key posted afterwards has arrived, anything posted before
    // it would have arrived too.
    poster.post(ArcadeKey::x, true);
    poster.post(ArcadeKey::x, false);
    ASSERT_TRUE(waitUntil([&] { return !readFile(file).empty(); }, 5s)) << "the marker never arrived";
    EXPECT_EQ(readFile(file), "x");

    const std::vector<KeyTransition> open = replayDemo(poster, [] { return true; });
    const std::string expected = "x" + xtermBytes(open);
    ASSERT_GT(expected.size(), 20u);
    EXPECT_TRUE(waitUntil([&] { return readFile(file).size() >= expected.size(); }, 10s));
    EXPECT_EQ(readFile(file), expected);
}

TEST_F(OnX11, AKeyHeldInChromiumIsReleasedTheMomentAnXtermIsActivated) {
    // Autorepeat on for this test only, with a delay long enough for the release to beat it even on
    // a busy machine.
    ASSERT_EQ(std::system("xset r on r rate 500 30"), 0);
    struct RepeatOff {
        ~RepeatOff() { std::system("xset r off"); }
    } repeatOff;
    XDisplayPtr display = openX11Display(nullptr);
    ASSERT_TRUE(display);
    const unsigned zCode =
        XKeysymToKeycode(display.get(), linux_keys::keyCodeTable()[keys::index(ArcadeKey::z)].keysym);
    // The server's key state, read on a connection of our own: it may lag behind what the XTest
    // connection just sent, so a test waits for the state it expects.
    const auto isDown = [&](unsigned code) {
        char keys[32];
        XQueryKeymap(display.get(), keys);
        return ((keys[code / 8] >> (code % 8)) & 1) != 0;
    };
    const auto becomes = [&](bool down) { return waitUntil([&] { return isDown(zCode) == down; }, 5s); };

    const auto file = temp_.path() / "received";
    const auto terminal = recordingTerminal(file);
    const unsigned long terminalWindow = terminal->window();
    ASSERT_NE(terminalWindow, 0u);

    X11Desktop desktop(*focus_);
    FocusMonitor monitor;
    KeyPoster poster(*xtest_);
    KeyState held;
    bool releaseOnClose = false;
    // What the bridge does when the gate closes: release every held key at once.
    monitor.setChangeHandler([&](bool open) {
        if (!open && releaseOnClose) poster.post(held.releaseAll());
    });
    ASSERT_TRUE(activate(browserWindow_));
    monitor.start(desktop);
    ASSERT_TRUE(pumpUntil(*focus_, [&] { return monitor.current(); }));

    // Without the release, X repeats the held key into whatever has the focus now.
    poster.post(held.apply({ArcadeKey::z}, monitor.current()));
    ASSERT_TRUE(becomes(true));
    ASSERT_TRUE(activate(terminalWindow));
    ASSERT_TRUE(pumpUntil(*focus_, [&] { return !monitor.current(); }));
    EXPECT_TRUE(waitUntil([&] { return readFile(file).find('z') != std::string::npos; }, 5s))
        << "autorepeat never reached the xterm, so this test could not tell";
    poster.post(held.apply({}, monitor.current()));
    ASSERT_TRUE(becomes(false));
    poster.post(ArcadeKey::c, true);  // a marker: every repeat sent before it has arrived once it has
    poster.post(ArcadeKey::c, false);
    ASSERT_TRUE(waitUntil([&] { return readFile(file).find('c') != std::string::npos; }, 5s));
    const std::size_t repeated = readFile(file).size();

    // With it, the key is up before X's repeat delay is over, so nothing repeats.
    releaseOnClose = true;
    ASSERT_TRUE(activate(browserWindow_));
    ASSERT_TRUE(pumpUntil(*focus_, [&] { return monitor.current(); }));
    poster.post(held.apply({ArcadeKey::z}, monitor.current()));
    ASSERT_TRUE(becomes(true));
    ASSERT_TRUE(activate(terminalWindow));
    ASSERT_TRUE(pumpUntil(*focus_, [&] { return !monitor.current(); }));
    EXPECT_TRUE(becomes(false));
    EXPECT_TRUE(held.held().empty());
    poster.post(ArcadeKey::x, true);
    poster.post(ArcadeKey::x, false);
    ASSERT_TRUE(waitUntil([&] { return readFile(file).size() > repeated; }, 5s));
    EXPECT_EQ(readFile(file).substr(repeated), "x");
}

TEST_F(OnX11, ClosingTheXTestOutputReleasesTheKeysItHeld) {
    XDisplayPtr display = openX11Display(nullptr);
    ASSERT_TRUE(display);
    const auto isDown = [&](ArcadeKey key) {
        const unsigned code = XKeysymToKeycode(display.get(), linux_keys::keyCodeTable()[keys::index(key)].keysym);
        char keys[32];
        XQueryKeymap(display.get(), keys);
        return ((keys[code / 8] >> (code % 8)) & 1) != 0;
    };
    focusPage();
    KeyPoster poster(*xtest_);
    poster.post(ArcadeKey::arrowLeft, true);
    poster.post(ArcadeKey::c, true);
    poster.post(ArcadeKey::c, false);
    ASSERT_TRUE(waitUntil([&] { return isDown(ArcadeKey::arrowLeft); }, 5s));
    xtest_.reset();
    EXPECT_TRUE(waitUntil([&] { return !isDown(ArcadeKey::arrowLeft); }, 5s));
    EXPECT_TRUE(waitUntil(
        [&] {
            return windowName(browserWindow_).find("D:ArrowLeft D:c U:c U:ArrowLeft") != std::string::npos;
        },
        5s))
        << windowName(browserWindow_);
}

TEST_F(OnX11, EveryKeyReachesChromiumUnderItsOwnName) {
    focusPage();
    KeyPoster poster(*xtest_);
    std::string expected;
    for (ArcadeKey key : keys::allCases) {
        poster.post(key, true);
        poster.post(key, false);
        const std::string domName = key == ArcadeKey::space ? "Space" : std::string(name(key));
        expected += (expected.empty() ? "" : " ") + ("D:" + domName + " U:" + domName);
    }
    poster.post(ArcadeKey::shift, true);
    poster.post(ArcadeKey::z, true);
    poster.post(ArcadeKey::z, false);
    poster.post(ArcadeKey::shift, false);
    expected += " D:Shift D:Z U:Z U:Shift";
    EXPECT_TRUE(
        waitUntil([&] { return windowName(browserWindow_).find(expected) != std::string::npos; }, 10s))
        << "title: " << windowName(browserWindow_) << "\nexpected to end with:" << expected;
}

}  // namespace
