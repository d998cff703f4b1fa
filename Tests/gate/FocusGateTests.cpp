// The focus gate: which applications count as browsers, the JOYRELAY_ANY_APP rule, and how the
// monitor follows the frontmost application.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "gate/BrowserGuard.hpp"
#include "support/ChildProcess.hpp"
#include "support/FakeDesktop.hpp"
#include "support/TempDir.hpp"
#include "gate/FocusMonitor.hpp"
#include "platform/linux/desktop/FrontmostCache.hpp"

using namespace joyrelay;
using joyrelay::testing::app;
using joyrelay::testing::FakeDesktopServices;
using joyrelay::testing::run;
using joyrelay::testing::RunResult;
using joyrelay::testing::TempDir;

namespace {

// ---------------------------------------------------------------------------------------------------
// JOYRELAY_ANY_APP

TEST(AnyAppRule, OnlyTheTextOneLiftsTheRule) {
    EXPECT_FALSE(BrowserGuard::anyAppFromValue(nullptr));  // unset
    EXPECT_TRUE(BrowserGuard::anyAppFromValue("1"));
    for (const char* value : {"", "0", "01", "true", "yes", " 1 ", "1 ", " 1", "1\n", "TRUE", "on"}) {
        EXPECT_FALSE(BrowserGuard::anyAppFromValue(value)) << '"' << value << '"';
    }
}

// The real environment is read once per process, so it is checked in a child process of this test
// binary started with the variable set (or unset) as given.
constexpr const char* childFlag = "--report-focus-as-child";

std::string selfPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// The child's standard output and standard error, together in `out`.
RunResult runChild(const std::string& environment) {
    const TempDir stateHome("joyrelay-focus");
    return run("env " + environment + " XDG_STATE_HOME='" + stateHome.path().string() + "' '" + selfPath() + "' " +
               childFlag + " 2>&1");
}

// The child's work: reports what this process sees, on one line.
int reportAsChild() {
    const bool first = BrowserGuard::anyApp();
    ::setenv("JOYRELAY_ANY_APP", first ? "0" : "1", 1);  // later changes have no effect
    const bool later = BrowserGuard::anyApp();

    FakeDesktopServices desktop;  // no frontmost application
    FocusMonitor monitor;
    monitor.start(desktop, "cannot open X display (DISPLAY is not set)");
    const bool gateWithNone = monitor.current();
    desktop.activate(app(std::nullopt, "xterm", "XTerm"));
    const bool gateWithTerminal = monitor.current();
    desktop.activate(app(std::nullopt, std::nullopt, "Chromium"));
    const bool gateWithBrowser = monitor.current();
    std::printf("RESULT anyApp=%d later=%d none=%d terminal=%d browser=%d\n", first, later, gateWithNone,
                gateWithTerminal, gateWithBrowser);
    return 0;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(AnyAppProcess, OneOpensTheGateWhateverIsInFrontAndWithoutADesktop) {
    const RunResult r = runChild("JOYRELAY_ANY_APP=1");
    EXPECT_NE(r.out.find("RESULT anyApp=1 later=1 none=1 terminal=1 browser=1"), std::string::npos)
        << r.out;
    EXPECT_EQ(count(r.out, "No desktop to ask"), 0u) << r.out;
}

TEST(AnyAppProcess, AnyOtherValueLeavesTheGateToTheFrontmostApplication) {
    for (const std::string env :
         {"-u JOYRELAY_ANY_APP", "JOYRELAY_ANY_APP=", "JOYRELAY_ANY_APP=true", "JOYRELAY_ANY_APP=yes",
          "JOYRELAY_ANY_APP=0", "JOYRELAY_ANY_APP=01", "'JOYRELAY_ANY_APP= 1 '"}) {
        const RunResult r = runChild(env);
        EXPECT_NE(r.out.find("RESULT anyApp=0 later=0 none=0 terminal=0 browser=1"), std::string::npos)
            << env << "\n"
            << r.out;
        // Without a desktop the log says once why keys will not go down, and how to change that.
        EXPECT_EQ(count(r.out,
                        "[joyrelay] No desktop to ask which application is in front (cannot open "
                        "X display (DISPLAY is not set)), so the stick's keys will not go down."),
                  1u)
            << env << "\n"
            << r.out;
        EXPECT_EQ(count(r.out, "set JOYRELAY_ANY_APP=1"), 1u) << r.out;
    }
}

TEST(NoDesktopMessage, NamesTheReasonAndTheWayOut) {
    const auto message = FocusMonitor::noDesktopMessage("cannot open X display :7", false);
    ASSERT_TRUE(message);
    EXPECT_NE(message->find("(cannot open X display :7)"), std::string::npos);
    EXPECT_NE(message->find("JOYRELAY_ANY_APP=1"), std::string::npos);
    EXPECT_FALSE(FocusMonitor::noDesktopMessage("cannot open X display :7", true));
}

// ---------------------------------------------------------------------------------------------------
// Exact matching

TEST(BrowserMatching, IdentifierFirstThenNameExactly) {
    EXPECT_TRUE(BrowserGuard::isBrowser(app("org.mozilla.firefox", std::nullopt)));
    EXPECT_TRUE(BrowserGuard::isBrowser(app("org.example.unlisted", "Firefox")));
    EXPECT_FALSE(BrowserGuard::isBrowser(app("org.example.unlisted", "firefox")));
    EXPECT_TRUE(BrowserGuard::isBrowser(app(std::nullopt, "Arc")));
    EXPECT_FALSE(BrowserGuard::isBrowser(std::nullopt));
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt)));
}

TEST(BrowserMatching, WindowClassesAreMatchedExactlyToo) {
    EXPECT_TRUE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "Chromium")));
    EXPECT_TRUE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "firefox")));
    EXPECT_TRUE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "Google-chrome")));
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "chromium")));  // wrong case
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "CHROMIUM")));
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "google-chrome")));
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "XTerm")));
    // Chromium's instance part carries the profile folder; only the class part counts.
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "chromium (/tmp/profile)")));
    // The three sets are not mixed: a name is not a window class, a window class not a name.
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "Google Chrome")));
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, "Google-chrome")));
    EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, std::nullopt, "org.mozilla.firefox")));
}

TEST(BrowserMatching, NoTrimmingNoCaseFoldingNoPrefixOrSuffix) {
    for (const char* id : {"com.apple.safari", "com.apple.Safari ", " com.apple.Safari", "com.apple.Saf",
                           "com.apple.Safari.beta", "com.google.Chrome.Canary",
                           "com.microsoft.edgemac.canary", "ORG.MOZILLA.FIREFOX"}) {
        EXPECT_FALSE(BrowserGuard::isBrowser(app(id, std::nullopt))) << id;
    }
    for (const char* name :
         {"safari", "Safari.app", "Arc ", "arc", "Google", "Brave", "Microsoft Edge Beta"}) {
        EXPECT_FALSE(BrowserGuard::isBrowser(app(std::nullopt, name))) << name;
    }
    EXPECT_TRUE(BrowserGuard::isBrowser(app("com.google.Chrome.canary", std::nullopt)));
    EXPECT_TRUE(BrowserGuard::isBrowser(app("com.microsoft.edgemac.Canary", std::nullopt)));
}

TEST(BrowserMatching, EveryListedEntryMatchesAndTheListsAreWellFormed) {
    EXPECT_EQ(BrowserGuard::bundleIDs.front(), "com.apple.Safari");
    EXPECT_EQ(BrowserGuard::bundleIDs.back(), "company.thebrowser.Browser");
    EXPECT_EQ(BrowserGuard::names.front(), "Safari");
    EXPECT_EQ(BrowserGuard::names.back(), "Microsoft Edge");
    const auto check = [](const auto& list, auto make) {
        std::set<std::string_view> seen;
        for (std::string_view entry : list) {
            EXPECT_FALSE(entry.empty());
            EXPECT_TRUE(seen.insert(entry).second) << "listed twice: " << entry;
            EXPECT_TRUE(BrowserGuard::isBrowser(make(std::string(entry)))) << entry;
        }
    };
    check(BrowserGuard::bundleIDs, [](std::string s) { return app(s, std::nullopt); });
    check(BrowserGuard::names, [](std::string s) { return app(std::nullopt, s); });
    check(BrowserGuard::windowClasses, [](std::string s) { return app(std::nullopt, std::nullopt, s); });
    // The Linux browsers each have a class.
    for (const char* windowClass :
         {"firefox", "firefox-aurora", "firefox-nightly", "Chromium", "Google-chrome", "Google-chrome-beta",
          "Google-chrome-unstable", "Brave-browser", "Microsoft-edge", "Vivaldi-stable", "Opera", "Epiphany",
          "librewolf", "floorp", "zen"}) {
        EXPECT_TRUE(BrowserGuard::isListedWindowClass(windowClass)) << windowClass;
    }
}

// ---------------------------------------------------------------------------------------------------
// The monitor

class FocusMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (BrowserGuard::anyApp()) GTEST_SKIP() << "JOYRELAY_ANY_APP=1 is set for this test run";
    }
    FakeDesktopServices desktop;
};

TEST_F(FocusMonitorTest, TheGateIsClosedBeforeStart) {
    EXPECT_FALSE(FocusMonitor::shared().current());  // nothing in this binary starts the shared one
    desktop.setFrontmost(app("com.google.Chrome", "Google Chrome"));
    FocusMonitor monitor;
    EXPECT_FALSE(monitor.current());
    EXPECT_EQ(desktop.frontmostQueries, 0);
    EXPECT_EQ(&FocusMonitor::shared(), &FocusMonitor::shared());
}

TEST_F(FocusMonitorTest, StartRefreshesAtOnceAndRegistersANoticeAndAOneSecondTimer) {
    desktop.setFrontmost(app(std::nullopt, std::nullopt, "Chromium"));
    FocusMonitor monitor;
    monitor.start(desktop);
    EXPECT_TRUE(monitor.current());
    EXPECT_EQ(desktop.frontmostQueries, 1);
    ASSERT_EQ(desktop.activationHandlers.size(), 1u);
    ASSERT_EQ(desktop.timers.size(), 1u);
    EXPECT_EQ(desktop.timers[0].interval, std::chrono::milliseconds(1000));
}

TEST_F(FocusMonitorTest, FollowsActivationNoticesAtOnceAndTheTimerOtherwise) {
    desktop.setFrontmost(app("org.mozilla.firefox", "Firefox"));
    FocusMonitor monitor;
    monitor.start(desktop);
    ASSERT_TRUE(monitor.current());

    desktop.activate(app(std::nullopt, "xterm", "XTerm"));  // a switch closes the gate at once
    EXPECT_FALSE(monitor.current());
    desktop.activate(app(std::nullopt, std::nullopt, "Google-chrome"));
    EXPECT_TRUE(monitor.current());

    desktop.setFrontmost(std::nullopt);  // no notice: the gate waits for the next tick
    EXPECT_TRUE(monitor.current());
    desktop.tick();
    EXPECT_FALSE(monitor.current());
    desktop.setFrontmost(app(std::nullopt, "Arc"));
    desktop.tick();
    EXPECT_TRUE(monitor.current());
}

TEST_F(FocusMonitorTest, ReportsEachChangeOfTheGateOnce) {
    desktop.setFrontmost(app(std::nullopt, std::nullopt, "Chromium"));
    FocusMonitor monitor;
    std::vector<bool> changes;
    monitor.setChangeHandler([&](bool open) {
        changes.push_back(open);
        EXPECT_EQ(monitor.current(), open);  // called after the store, outside the lock
    });
    monitor.start(desktop);  // closed -> open
    desktop.tick();          // unchanged
    desktop.activate(app(std::nullopt, std::nullopt, "Chromium"));
    desktop.activate(app(std::nullopt, std::nullopt, "XTerm"));
    desktop.tick();
    desktop.activate(app(std::nullopt, std::nullopt, "firefox"));
    EXPECT_EQ(changes, (std::vector<bool>{true, false, true}));
}

TEST_F(FocusMonitorTest, HandlersDoNothingOnceTheMonitorIsGone) {
    desktop.setFrontmost(app(std::nullopt, std::nullopt, "Chromium"));
    {
        FocusMonitor monitor;
        monitor.start(desktop);
    }
    const int queries = desktop.frontmostQueries;
    desktop.activate(app(std::nullopt, std::nullopt, "XTerm"));
    desktop.tick();
    EXPECT_EQ(desktop.frontmostQueries, queries);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == childFlag) return reportAsChild();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The desktop's answer goes through the cache the X11 desktop keeps, on a clock the test moves.
class CachedDesktop final : public FakeDesktopServices {
public:
    FrontmostCache cache;
    FrontmostCache::Clock::time_point now{};
    std::optional<FrontmostApplication> frontmostApplication() override {
        return cache.get(now, [this] { return FakeDesktopServices::frontmostApplication(); });
    }
};

TEST(FrontmostCacheRecheck, AChangeWhoseNoticeIsMissedIsSeenByTheNextRecheck) {
    CachedDesktop desktop;
    FocusMonitor monitor;
    desktop.setFrontmost(app(std::nullopt, std::nullopt, "Chromium"));
    monitor.start(desktop);
    ASSERT_TRUE(monitor.current());
    ASSERT_EQ(desktop.timers.size(), 1u);
    const auto recheck = desktop.timers[0].interval;
    EXPECT_LT(FrontmostCache::defaultMaxAge, recheck) << "a recheck must never be answered from the cache";

    // Asked again right away (another notice, another caller): the cache answers.
    const int queries = desktop.frontmostQueries;
    desktop.activationHandlers[0]();
    EXPECT_EQ(desktop.frontmostQueries, queries);

    // An xterm comes to the front and its notice never arrives; one recheck later the gate is shut.
    desktop.setFrontmost(app(std::nullopt, std::nullopt, "XTerm"));
    desktop.now += recheck;
    desktop.tick();
    EXPECT_FALSE(monitor.current());

    // A notice forgets the answer at once.
    desktop.setFrontmost(app(std::nullopt, std::nullopt, "Chromium"));
    desktop.cache.forget();
    desktop.activationHandlers[0]();
    EXPECT_TRUE(monitor.current());
}

TEST(OwnWindows, WhileOneIsOpenTheGateIsClosedAndItReopensAfter) {
    FakeDesktopServices desktop;
    FocusMonitor monitor;
    std::vector<bool> changes;
    monitor.setChangeHandler([&](bool open) { changes.push_back(open); });
    desktop.setFrontmost(app(std::nullopt, std::nullopt, "Chromium"));
    monitor.start(desktop);
    monitor.setOwnWindowOpen(true);
    EXPECT_FALSE(monitor.current());
    desktop.tick();  // the browser is still in front: the menu keeps the gate shut
    EXPECT_FALSE(monitor.current());
    monitor.setOwnWindowOpen(false);
    EXPECT_TRUE(monitor.current());
    EXPECT_EQ(changes, (std::vector<bool>{true, false, true}));
}

TEST(LockAndStop, EachKeepsTheGateShutWhateverIsInFrontAndLiftingOneAsksTheDesktopAfresh) {
    FakeDesktopServices desktop;
    FocusMonitor monitor;
    desktop.setFrontmost(app(std::nullopt, std::nullopt, "Chromium"));
    monitor.start(desktop);
    for (const FocusMonitor::Block reason : {FocusMonitor::Block::screenLocked, FocusMonitor::Block::stopping}) {
        monitor.setBlocked(reason, true);
        EXPECT_FALSE(monitor.current());
        desktop.tick();
        EXPECT_FALSE(monitor.current());
        // Both at once: lifting one leaves the gate shut.
        monitor.setOwnWindowOpen(true);
        monitor.setBlocked(reason, false);
        EXPECT_FALSE(monitor.current());
        monitor.setOwnWindowOpen(false);
        // While it was shut, an xterm came to the front without a notice: lifting asks again.
        monitor.setBlocked(reason, true);
        desktop.setFrontmost(app(std::nullopt, std::nullopt, "XTerm"));
        const int queries = desktop.frontmostQueries;
        monitor.setBlocked(reason, false);
        EXPECT_EQ(desktop.frontmostQueries, queries + 1);
        EXPECT_FALSE(monitor.current());
        desktop.activate(app(std::nullopt, std::nullopt, "Chromium"));
        EXPECT_TRUE(monitor.current());
    }
}
