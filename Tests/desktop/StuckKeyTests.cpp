// No key is left down in the X server, whichever way the program ends: the end of a fast replay,
// a replay that ends with keys held, and death by SIGKILL, SIGABRT, SIGHUP or SIGQUIT while keys are
// held (the key guard lets go of them); and while focus flaps between it and a terminal, nothing
// reaches the terminal. Keys never go to a client that holds the keyboard grab (a screen locker, a
// password prompt), and Ctrl+Z (SIGTSTP) stops the program with every key up and the server free. The recipient is a window of this test's own whose WM_CLASS
// names Chromium: it counts for the gate and counts every key event without a browser's latency.
// Run these on a loaded machine too (two busy loops): that is where an exit without a round trip
// to the server loses requests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "support/X11Recipient.hpp"
#include "support/X11TestSupport.hpp"
#include "support/Reports.hpp"

using namespace joyrelay::testing;

namespace {

// A capture with a few hundred key transitions, 20 ms apart; when `endHeld`, the last report holds
// keys down (the end of the capture unplugs the stick).
std::string busyCapture(bool endHeld) {
    std::string text = reportLine(0, 1, 0, 0);
    const int patterns[][2] = {{0x10, 0}, {0x30, 0}, {0x20, 0x01}, {0, 0x03}, {0x04, 0x02}, {0x40, 0}, {0, 0}};
    int t = 20, seq = 2;
    for (int round = 0; round < 23; ++round) {
        for (const auto& p : patterns) text += reportLine(t += 20, seq++, p[0], p[1]);
    }
    if (endHeld) text += reportLine(t += 20, seq++, 0x30, 0x01);
    return text;
}

// Lines of printed transitions (output() drops the last line feed).
int transitionsIn(const std::string& printed) {
    int n = printed.empty() ? 0 : 1;
    for (std::size_t at = 0; (at = printed.find('\n', at)) != std::string::npos; ++at) ++n;
    return n;
}

bool gone(pid_t pid) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    const auto close = all.rfind(')');
    return close != std::string::npos && all.size() > close + 2 && all[close + 2] == 'Z';
}

// Child processes of `pid` (the key guard).
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::istringstream list(output("pgrep -P " + std::to_string(pid)));
    for (pid_t child; list >> child;) children.push_back(child);
    return children;
}

class StuckKeys : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = useX11Session()) GTEST_SKIP() << *why;
        ::unsetenv("JOYRELAY_ANY_APP");
        recipient_ = std::make_unique<Recipient>();
        ASSERT_TRUE(recipient_->ok());
        ASSERT_TRUE(activate(recipient_->window()));
        ASSERT_TRUE(keysDown().empty()) << "keys were down before the test";
    }
    void TearDown() override { recipient_.reset(); }
    std::filesystem::path write(const std::string& name, const std::string& text) {
        const std::filesystem::path path = folder_.path() / name;
        std::ofstream(path) << text;
        return path;
    }
    // Runs the program to its end; returns its exit status.
    int replay(const std::filesystem::path& capture, bool fast) {
        std::vector<std::string> argv{JOYRELAY_BINARY, "--headless", "--replay", capture.string(), "--key-output",
                                      "xtest"};
        if (fast) argv.push_back("--fast");
        Program program(argv, folder_.path() / "program.log");
        const std::optional<int> status = program.exitStatus(60s);
        EXPECT_TRUE(status) << readFile(folder_.path() / "program.log");
        return status && *status >= 0 ? *status : -1;
    }

    TempDir folder_{"joyrelay-stuck"};
    std::unique_ptr<Recipient> recipient_;
};

TEST_F(StuckKeys, FastReplaysDeliverEveryEventAndLeaveNoKeyDown) {
    const std::filesystem::path capture = write("busy.gip", busyCapture(false));
    const int expected = transitionsIn(output(std::string(JOYRELAY_BINARY) + " --replay " + capture.string() +
                                              " --print-keys --fast"));
    ASSERT_GT(expected, 250);
    int complete = 0;
    for (int run = 0; run < runs(); ++run) {
        recipient_->reset();
        ASSERT_EQ(replay(capture, true), 0);
        // The program has ended: whatever the server received is on its way to the window.
        waitUntil([&] { return recipient_->events() >= expected; }, 2s);
        EXPECT_EQ(recipient_->events(), expected) << "run " << run;
        EXPECT_EQ(keysDown(), std::vector<int>{}) << "run " << run;
        complete += recipient_->events() == expected;
    }
    EXPECT_EQ(complete, runs());
}

TEST_F(StuckKeys, AReplayEndingWithKeysHeldLeavesNoKeyDown) {
    const std::filesystem::path capture = write("held.gip", busyCapture(true));
    for (int run = 0; run < runs(); ++run) {
        ASSERT_EQ(replay(capture, true), 0);
        EXPECT_EQ(keysDown(), std::vector<int>{}) << "run " << run;
    }
}

TEST_F(StuckKeys, DeathBySignalWhileKeysAreHeldLeavesNoKeyDownAndTheGuardEnds) {
    // Keys go down at once and stay down for a minute.
    const std::filesystem::path capture =
        write("hold.gip", reportLine(0, 1, 0, 0) + reportLine(20, 2, 0x30, 0x01) + reportLine(60000, 3, 0, 0));
    for (const int signal : {SIGKILL, SIGABRT, SIGHUP, SIGQUIT, SIGTERM, SIGINT}) {
        recipient_->reset();
        Program program({JOYRELAY_BINARY, "--headless", "--replay", capture.string(), "--key-output", "xtest"},
                        folder_.path() / "program.log");
        ASSERT_TRUE(waitUntil([&] { return recipient_->held() >= 2; }, 10s))
            << strsignal(signal) << ": " << readFile(folder_.path() / "program.log");
        ASSERT_FALSE(keysDown().empty());
        const std::vector<pid_t> guards = childrenOf(program.pid());
        ASSERT_EQ(guards.size(), 1u) << "the key guard is not running";
        ::kill(program.pid(), signal);
        EXPECT_TRUE(waitUntil([&] { return keysDown().empty(); }, 1s)) << strsignal(signal);
        // The window, which ends no key by itself, sees each one go up.
        EXPECT_TRUE(waitUntil([&] { return recipient_->held() == 0; }, 1s))
            << strsignal(signal) << ": the window saw no release of " << recipient_->held() << " keys";
        EXPECT_TRUE(waitUntil([&] { return gone(guards[0]); }, 1s)) << strsignal(signal) << ": the guard is still there";
        program.stop();
    }
}

// The state letter of `pid` in /proc ('T' stopped, 'S' sleeping, ...), or 0.
char stateOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    const auto close = all.rfind(')');
    return close != std::string::npos && all.size() > close + 2 ? all[close + 2] : 0;
}

TEST_F(StuckKeys, AClientHoldingTheKeyboardGrabGetsNoKeyAndTheBrowserGetsThemOnceItLetsGo) {
    const std::filesystem::path capture = write("busy.gip", busyCapture(false));
    // A password prompt's way: the keyboard grabbed while the browser stays the active window.
    Display* prompt = XOpenDisplay(nullptr);
    ASSERT_NE(prompt, nullptr);
    ASSERT_EQ(XGrabKeyboard(prompt, DefaultRootWindow(prompt), False, GrabModeAsync, GrabModeAsync, CurrentTime),
              GrabSuccess);
    XSync(prompt, False);
    recipient_->reset();
    ASSERT_EQ(replay(capture, true), 0);
    XSync(prompt, False);  // the program has ended: every key it sent is in this queue by now
    int typed = 0;
    while (XPending(prompt) > 0) {
        XEvent event;
        XNextEvent(prompt, &event);
        typed += event.type == KeyPress;
    }
    EXPECT_EQ(typed, 0) << "keys reached the client that holds the keyboard grab";
    EXPECT_EQ(recipient_->presses(), 0);
    EXPECT_EQ(keysDown(), std::vector<int>{});
    // Let go: the same replay reaches the browser.
    XUngrabKeyboard(prompt, CurrentTime);
    XSync(prompt, False);
    XCloseDisplay(prompt);
    ASSERT_EQ(replay(capture, true), 0);
    EXPECT_TRUE(waitUntil([&] { return recipient_->presses() > 0; }, 2s)) << "no key reached the browser";
    EXPECT_EQ(keysDown(), std::vector<int>{});
}

TEST_F(StuckKeys, CtrlZStopsTheProgramWithEveryKeyUpAndTheServerFreeAndSIGCONTCarriesOn) {
    // Keys go down at once and stay down for a minute.
    const std::filesystem::path capture =
        write("hold.gip", reportLine(0, 1, 0, 0) + reportLine(20, 2, 0x30, 0x01) + reportLine(60000, 3, 0, 0));
    const std::filesystem::path log = folder_.path() / "program.log";
    Program program({JOYRELAY_BINARY, "--headless", "--replay", capture.string(), "--key-output", "xtest"}, log);
    ASSERT_TRUE(waitUntil([&] { return recipient_->presses() >= 2; }, 10s)) << readFile(log);
    ASSERT_FALSE(keysDown().empty());
    ::kill(program.pid(), SIGTSTP);
    ASSERT_TRUE(waitUntil([&] { return stateOf(program.pid()) == 'T'; }, 5s)) << readFile(log);
    // Stopped: nothing is down, and the server answers (keysDown asks it; a grab left held would hang).
    EXPECT_EQ(keysDown(), std::vector<int>{});
    EXPECT_EQ(recipient_->releases(), recipient_->presses());
    ::kill(program.pid(), SIGCONT);
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("continued (SIGCONT)") != std::string::npos; }, 5s))
        << readFile(log);
    ::kill(program.pid(), SIGTERM);
    EXPECT_EQ(program.exitStatus(10s), std::optional<int>(0)) << readFile(log);
    const std::string text = readFile(log);
    EXPECT_NE(text.find("stopping (SIGTSTP)"), std::string::npos) << text;
    EXPECT_EQ(keysDown(), std::vector<int>{});
}

TEST_F(StuckKeys, FocusFlappingBetweenTheBrowserAndATerminalTypesNothingIntoTheTerminal) {
    // A terminal that keeps every byte it receives.
    const std::filesystem::path received = folder_.path() / "terminal-received";
    RecordingTerminal terminal(received, "joyrelay-flap-sink");
    const unsigned long sink = terminal.window();
    ASSERT_NE(sink, 0u) << terminal.log();

    // Keys go up and down every 20 ms for about three seconds, while the window manager is asked
    // every 50 ms to switch between the browser and the terminal.
    const std::filesystem::path capture = write("busy.gip", busyCapture(false));
    Display* pager = XOpenDisplay(nullptr);
    ASSERT_NE(pager, nullptr);
    const int flapRuns = runs() >= 20 ? 3 : 1;
    for (int run = 0; run < flapRuns; ++run) {
        recipient_->reset();
        ASSERT_TRUE(activate(recipient_->window()));
        Program program({JOYRELAY_BINARY, "--headless", "--replay", capture.string(), "--key-output", "xtest"},
                        folder_.path() / "program.log");
        int switches = 0;
        auto next = std::chrono::steady_clock::now();
        while (!program.exitStatus()) {
            requestActivation(pager, switches++ % 2 == 0 ? sink : recipient_->window());
            next += 50ms;
            std::this_thread::sleep_until(next);  // the pace of the switching, not a wait for anything
            ASSERT_LT(switches, 20 * 60) << "the replay did not end";
        }
        ASSERT_EQ(program.exitStatus(), std::optional<int>(0)) << readFile(folder_.path() / "program.log");
        EXPECT_GT(switches, 40) << "run " << run;
        EXPECT_GT(recipient_->presses(), 0) << "run " << run << ": no key reached the browser at all";
        EXPECT_EQ(keysDown(), std::vector<int>{}) << "run " << run;
    }
    XCloseDisplay(pager);

    // A marker typed into the terminal last: once it is in the file, whatever the terminal received
    // before it is there too.
    ASSERT_TRUE(activate(sink));
    ASSERT_EQ(std::system("xdotool key period >/dev/null 2>&1"), 0);
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::file_size(received) > 0 && readFile(received).ends_with("."); }, 10s))
        << readFile(received);
    EXPECT_EQ(readFile(received), ".") << "the terminal received more than the marker";
}

}  // namespace
