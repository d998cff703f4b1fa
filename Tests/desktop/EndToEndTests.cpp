// The whole program as a user runs it from a terminal: `tamberlo-joyrelay --headless --replay CAPTURE
// --key-output xtest` with Chromium in front showing the controller check page. The page must receive
// exactly the capture's transitions, in order, each with the right key, code and shift state, and
// nothing may stay down.
//
// The capture plays at its own pace (about 5 s): with --fast, a few hundred fake key events in well
// under a second, Chromium on Xvfb now and then stops handing the tail of the burst to the page,
// although the X server receives every one of them (an xev window in front gets them all).
#include <gtest/gtest.h>

#include "support/X11TestSupport.hpp"
#include "support/PadTestPage.hpp"

namespace joyrelay::testing {
namespace {

// The page's title as the browser's DevTools list reports it. (The window's name follows the title
// too, but Chromium may leave it behind after a quick burst of changes.)
int devToolsPort = 0;
std::string pageTitle(unsigned long) { return padTestTitle(devToolsPort); }

TEST(EndToEnd, AHeadlessReplayTypesExactlyTheCaptureIntoChromium) {
    if (auto skip = useX11Session()) GTEST_SKIP() << *skip;
    const TempDir temp("joyrelay-e2e");
    const std::filesystem::path& folder = temp.path();
    devToolsPort = 9300 + ::getpid() % 600;
    ::setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);
    ::unsetenv("JOYRELAY_ANY_APP");
    {
        Program browser(chromiumCommand(folder / "profile",
                                        {"--window-position=0,40", "--window-size=900,600",
                                         "--remote-debugging-address=127.0.0.1",
                                         "--remote-debugging-port=" + std::to_string(devToolsPort),
                                         "file://" JOYRELAY_SOURCE_DIR "/web/padtest.html?detail"}),
                        {{"TMPDIR", folder.string()}}, folder / "chromium.log");
        const unsigned long window = windowOf(browser.pid(), 30s);
        ASSERT_NE(window, 0u) << "Chromium showed no window";
        ASSERT_TRUE(waitUntil([&] { return pageTitle(window).rfind("padtest:", 0) == 0; }, 30s))
            << "no page in the DevTools list on port " << devToolsPort;
        ASSERT_TRUE(activate(window));
        // Right after activation Chromium may still route keys to its own interface: tap Shift until
        // the page has seen one.
        ASSERT_TRUE(waitUntil(
            [&] {
                const std::string before = pageTitle(window);
                if (std::system("xdotool key shift >/dev/null 2>&1") != 0) return false;
                return waitUntil([&] { return pageTitle(window) != before; }, 300ms);
            },
            10s))
            << "the page never received a key";
        // The tap's release too, before the page's record so far is taken.
        ASSERT_TRUE(waitUntil([&] { return pageTitle(window).ends_with("U:Shift/ShiftLeft"); }, 5s))
            << pageTitle(window);
        const std::string before = pageTitle(window);

        Program program({JOYRELAY_BINARY, "--headless", "--replay", JOYRELAY_SOURCE_DIR "/samples/demo.gip",
                         "--key-output", "xtest"},
                        folder / "program.log");
        const int status = program.exitStatus(60s).value_or(-1);
        const std::string expected = before + padTestRecord(JOYRELAY_SOURCE_DIR "/samples/demo.keys");
        EXPECT_TRUE(waitUntil([&] { return pageTitle(window) == expected; }, 10s))
            << "page title: " << pageTitle(window) << "\nexpected:   " << expected << "\nprogram log:\n"
            << readFile(folder / "program.log");
        EXPECT_EQ(status, 0) << readFile(folder / "program.log");
        const std::string log = readFile(folder / "program.log");
        EXPECT_NE(log.find("[joyrelay] Key output: XTest"), std::string::npos) << log;
        // Nothing more arrives once the program is gone: every key that went down came up.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(pageTitle(window), expected);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
}  // namespace joyrelay::testing
