// The tray program on a real X desktop (Xvfb, openbox and the trayer tray, started by the CTest
// fixture): its icon docks in the tray, a right click opens its menu (kept as a screenshot), the key
// "q" in the open menu ends it with "quit" as the last log line, and a replayed capture reaches a real
// Chromium showing the controller check page, key for key. With the stick's keys going to a window
// that stands in for the browser: Quit from the menu while keys are held leaves none down, and the
// keys never reach the menu while it is open over that window.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "support/X11Recipient.hpp"
#include "ProgramSupport.hpp"
#include "support/PadTestPage.hpp"
#include "support/Reports.hpp"

using namespace joyrelay::testing;

namespace {

const std::string binary = JOYRELAY_BINARY;
const std::string demo = std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.gip";
const std::filesystem::path artifacts = JOYRELAY_ARTIFACTS;

// A session the fixture started: the one with a tray, or the bare one beside it; or why there is none.
std::optional<std::string> useSession(std::string& display, bool withTray = true) {
    const char* variable = std::getenv("JOYRELAY_X11_STATE");
    if (!variable) return "no X session: run through ctest, whose fixture starts Tests/support/x11-session.sh --tray";
    const std::filesystem::path state =
        withTray ? std::filesystem::path(variable) : std::filesystem::path(variable).parent_path() / "bare-session";
    std::ifstream in(state / "display");
    if (!(in >> display)) return "no display written in " + state.string();
    ::setenv("DISPLAY", display.c_str(), 1);  // for xdotool and import
    return std::nullopt;
}

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

Geometry geometry(unsigned long window) {
    Geometry g;
    std::istringstream lines(output("xdotool getwindowgeometry --shell " + std::to_string(window)));
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const int value = std::atoi(line.c_str() + eq + 1);
        if (key == "X") g.x = value;
        if (key == "Y") g.y = value;
        if (key == "WIDTH") g.width = value;
        if (key == "HEIGHT") g.height = value;
    }
    return g;
}

// The program's visible windows: the tray icon (small, docked in the panel) and its open menu.
std::vector<unsigned long> programWindows() {
    std::vector<unsigned long> out;
    std::istringstream ids(output("xdotool search --onlyvisible --classname '^tamberlo-joyrelay$'"));
    for (unsigned long id; ids >> id;) out.push_back(id);
    return out;
}

std::vector<unsigned long> trayIcons() {
    std::vector<unsigned long> out;
    for (unsigned long w : programWindows()) {
        const Geometry g = geometry(w);
        if (g.width > 0 && g.width <= 64 && g.height <= 64) out.push_back(w);
    }
    return out;
}

std::optional<unsigned long> openMenuWindow() {
    for (unsigned long w : programWindows()) {
        if (geometry(w).width > 64) return w;
    }
    return std::nullopt;
}

// Whether a window shows more than one colour (something was painted in it).
bool painted(unsigned long window, const std::filesystem::path& shot) {
    if (std::system(("import -window " + std::to_string(window) + " '" + shot.string() + "' >/dev/null 2>&1").c_str()) != 0) {
        return false;
    }
    return output("convert '" + shot.string() + "' -format '%[fx:standard_deviation>0.01]' info:") == "1";
}

bool screenshot(const std::filesystem::path& file) {
    std::filesystem::create_directories(file.parent_path());
    return std::system(("import -window root '" + file.string() + "' >/dev/null 2>&1").c_str()) == 0;
}

// Opens the program's menu with a right click on its icon; the menu window, or nothing.
std::optional<unsigned long> openMenu(unsigned long icon) {
    const Geometry g = geometry(icon);
    if (std::system(("xdotool mousemove " + std::to_string(g.x + g.width / 2) + " " +
                     std::to_string(g.y + g.height / 2) + " click 3")
                        .c_str()) != 0) {
        return std::nullopt;
    }
    std::optional<unsigned long> menu;
    waitUntil([&] { return (menu = openMenuWindow()).has_value(); }, 5s);
    return menu;
}

// The controller check page, beside the program.
std::filesystem::path checkPage() {
    return std::filesystem::path(binary).parent_path() / "web" / "padtest.html";
}

// Chromium showing the controller check page, as `user`, its profile in `profile`.
std::unique_ptr<Program> showCheckPage(const User& user, const TempDir& profile) {
    return std::make_unique<Program>(
        chromiumCommand(profile.path(),
                        {"--window-position=0,40", "--window-size=900,640", "file://" + checkPage().string()}),
        user.environment(), user.out("chromium"));
}

// The window showing the check page, waiting for it to appear; 0 when none did.
unsigned long checkPageWindow() {
    unsigned long window = 0;
    waitUntil(
        [&] {
            std::istringstream ids(output("xdotool search --onlyvisible --name '^padtest:'"));
            return static_cast<bool>(ids >> window);
        },
        30s);
    return window;
}

class TrayDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = useSession(user.display)) GTEST_SKIP() << *why;
        ASSERT_TRUE(waitUntil([] { return trayIcons().empty(); }, 10s)) << "an icon of an earlier run is still docked";
    }
    User user{"joyrelay-desktop-user"};
};

}  // namespace

TEST_F(TrayDesktop, IconDocksRightClickOpensTheMenuAndQInTheMenuQuits) {
    auto program = user.start({}, "tray");
    std::vector<unsigned long> icons;
    ASSERT_TRUE(waitUntil([&] { return (icons = trayIcons()).size() == 1; }, 20s))
        << "no tray icon appeared\n" << readFile(user.out("tray"));
    const unsigned long icon = icons[0];
    EXPECT_TRUE(waitUntil([&] { return painted(icon, user.home.path() / "icon.png"); }, 5s)) << "the icon stays blank";
    EXPECT_FALSE(logHas(user.log(), "No system tray")) << "the tray was there from the start";

    const std::optional<unsigned long> menu = openMenu(icon);
    ASSERT_TRUE(menu) << "no menu opened";
    std::this_thread::sleep_for(300ms);  // painting
    EXPECT_TRUE(screenshot(artifacts / "tray-menu.png"));
    EXPECT_TRUE(painted(*menu, artifacts / "tray-menu-only.png"));
    const Geometry m = geometry(*menu);
    EXPECT_GT(m.height, 150) << "the menu has thirteen entries and separators";

    ASSERT_EQ(std::system("xdotool key q"), 0);
    EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0)) << readFile(user.out("tray"));
    const auto lines = logMessages(user.log());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.front().starts_with("Tamberlo Joyrelay ")) << lines.front();
    EXPECT_EQ(lines.back(), "quit");
    EXPECT_TRUE(waitUntil([] { return trayIcons().empty(); }, 5s)) << "the icon stayed after the program ended";
}

TEST_F(TrayDesktop, SigtermEndsTheTrayProgramWithQuitLastAndASecondCopyShowsNoIcon) {
    auto program = user.start({}, "tray");
    ASSERT_TRUE(waitUntil([] { return trayIcons().size() == 1; }, 20s)) << readFile(user.out("tray"));

    auto second = user.start({}, "second");
    EXPECT_EQ(second->exitStatus(15s), std::optional<int>(1));
    EXPECT_NE(readFile(user.out("second")).find("is already running (pid " + std::to_string(program->pid()) + ")"),
              std::string::npos)
        << readFile(user.out("second"));
    EXPECT_EQ(trayIcons().size(), 1u);

    program->signal(SIGTERM);
    EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0));
    EXPECT_EQ(logMessages(user.log()).back(), "quit");
}

TEST_F(TrayDesktop, ReplayedCaptureReachesChromiumShowingTheControllerCheckPage) {
    // The expected page title, from the reviewed transcript of the capture: "D:" or "U:" and the key.
    std::string expected = "padtest:";
    {
        std::ifstream keys(std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.keys");
        const char* separator = "";
        for (std::string time, key, direction; keys >> time >> key >> direction;) {
            expected += separator + std::string(direction == "down" ? "D:" : "U:") + key;
            separator = " ";
        }
    }

    ASSERT_TRUE(std::filesystem::exists(checkPage())) << checkPage();
    TempDir profile{"joyrelay-chromium"};
    const auto chromium = showCheckPage(user, profile);
    const unsigned long browser = checkPageWindow();
    ASSERT_NE(browser, 0u) << "Chromium did not show the page\n" << readFile(user.out("chromium"));
    ASSERT_TRUE(activate(browser));

    auto program = user.start({"--replay", demo, "--key-output", "xtest"}, "replay");
    const auto title = [&] {
        std::string name = output("xdotool getwindowname " + std::to_string(browser));
        const std::string suffix = " - Chromium";
        if (name.ends_with(suffix)) name.resize(name.size() - suffix.size());
        return name;
    };
    // A picture while a key is held, when the poll catches one (the capture holds some for 240 ms).
    bool litShot = false;
    const bool arrived = waitUntil(
        [&] {
            const std::string now = title();
            const auto last = now.rfind(' ');
            if (!litShot && last != std::string::npos && now.compare(last + 1, 2, "D:") == 0) {
                litShot = screenshot(artifacts / "padtest-key-lit.png");
            }
            return now.size() >= expected.size();
        },
        30s);
    const std::string received = title();
    EXPECT_TRUE(arrived) << received;
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(screenshot(artifacts / "padtest-after-replay.png"));

    EXPECT_TRUE(waitUntil([&] { return logHas(user.log(), "replay finished"); }, 10s));
    EXPECT_TRUE(logHas(user.log(), "Key output: XTest on X display " + user.display));
    EXPECT_EQ(title(), expected) << "nothing arrived after the capture ended";
    program->signal(SIGTERM);
    EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0));
    EXPECT_EQ(logMessages(user.log()).back(), "quit");
    chromium->stop();
}

TEST_F(TrayDesktop, AHeldKeyIsLetGoTheMomentTheBrowserLosesFocusAndNothingReachesTheTerminal) {
    // Space held from 0.1 s to 4 s, then z tapped: both while a terminal is in front but for the start.
    const std::filesystem::path capture = user.home.path() / "hold.gip";
    {
        std::ofstream out(capture);
        const char* rest = " 00 00 00 00 00 00 00 00 00 00 00 00 00";
        out << "0 20 00 01 0e 00" << rest << "\n"
            << "100 20 00 02 0e 10" << rest << "\n"
            << "4000 20 00 03 0e 00" << rest << "\n"
            << "4500 20 00 04 0e 20" << rest << "\n"
            << "4700 20 00 05 0e 00" << rest << "\n";
    }
    // A terminal that keeps every byte it receives.
    const std::filesystem::path received = user.home.path() / "terminal-received";
    RecordingTerminal terminal(received, "joyrelay-sink", user.environment());
    const unsigned long sink = terminal.window();
    ASSERT_NE(sink, 0u) << terminal.log();

    TempDir profile{"joyrelay-chromium"};
    const auto chromium = showCheckPage(user, profile);
    const unsigned long browser = checkPageWindow();
    ASSERT_NE(browser, 0u);
    ASSERT_TRUE(activate(browser));

    // With auto-repeat on, a key left down in the terminal would type a space every 40 ms.
    ASSERT_EQ(std::system("xset r on"), 0);
    struct RepeatOff {
        ~RepeatOff() { [[maybe_unused]] const int ignored = std::system("xset r off"); }
    } repeatOff;

    auto program = user.start({"--replay", capture.string(), "--key-output", "xtest"}, "replay");
    const auto title = [&] { return output("xdotool getwindowname " + std::to_string(browser)); };
    ASSERT_TRUE(waitUntil([&] { return title().starts_with("padtest:D:Space"); }, 20s)) << title();
    ASSERT_TRUE(activate(sink));

    ASSERT_TRUE(waitUntil([&] { return logHas(user.log(), "replay finished"); }, 20s)) << readFile(user.out("replay"));
    EXPECT_EQ(std::filesystem::file_size(received), 0u) << "the terminal received: " << readFile(received);
    EXPECT_EQ(title().find("D:z"), std::string::npos) << "z went down although the browser was not in front";
    program->signal(SIGTERM);
    EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0));
    EXPECT_EQ(logMessages(user.log()).back(), "quit");
    chromium->stop();
    terminal.stop();
}

TEST_F(TrayDesktop, QuitFromTheMenuWhileTheStickHoldsKeysLeavesNoKeyDown) {
    Recipient browser;
    ASSERT_TRUE(browser.ok());
    ASSERT_TRUE(activate(browser.window()));
    ASSERT_EQ(keysDown(), std::vector<int>{}) << "keys were down before the test";
    // Space, z and Up go down at once and stay down for a minute.
    const std::filesystem::path capture = user.home.path() / "hold.gip";
    std::ofstream(capture) << reportLine(0, 1, 0, 0) + reportLine(20, 2, 0x30, 0x01) + reportLine(60000, 3, 0, 0);
    int clean = 0;
    for (int run = 0; run < runs(); ++run) {
        browser.reset();
        auto program = user.start({"--replay", capture.string(), "--key-output", "xtest"}, "quit-held");
        std::vector<unsigned long> icons;
        ASSERT_TRUE(waitUntil([&] { return (icons = trayIcons()).size() == 1; }, 20s))
            << "run " << run << ": no tray icon\n" << readFile(user.out("quit-held"));
        ASSERT_TRUE(waitUntil([&] { return browser.presses() >= 3; }, 20s)) << "run " << run << ": the keys did not go down";
        ASSERT_FALSE(keysDown().empty()) << "run " << run;
        ASSERT_TRUE(openMenu(icons[0])) << "run " << run << ": no menu opened";
        ASSERT_EQ(std::system("xdotool key q"), 0);
        EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0)) << "run " << run << "\n" << readFile(user.out("quit-held"));
        const std::vector<int> down = keysDown();
        EXPECT_EQ(down, std::vector<int>{}) << "run " << run;
        // (The release of "q" may reach it too, once the menu has let go of the keyboard.)
        EXPECT_GE(browser.releases(), browser.presses()) << "run " << run;
        EXPECT_EQ(logMessages(user.log()).back(), "quit") << "run " << run;
        clean += down.empty() ? 1 : 0;
        program->stop();
        ASSERT_TRUE(waitUntil([] { return trayIcons().empty(); }, 10s)) << "run " << run << ": the icon stayed";
    }
    EXPECT_EQ(clean, runs());
}

TEST_F(TrayDesktop, TheSticksKeysDoNotReachTheMenuOpenOverTheBrowser) {
    Recipient browser;
    ASSERT_TRUE(browser.ok());
    ASSERT_TRUE(activate(browser.window()));
    // Quiet for 10 s (time to open the menu), then a second of Up, Down, Enter, Space and Escape
    // taps: enough to choose "Quit" from a menu that listened.
    std::string text = reportLine(0, 1, 0, 0);
    const int taps[][2] = {{0, 0x01}, {0x04, 0}, {0, 0x02}, {0x10, 0}, {0, 0x01}, {0x04, 0}, {0x08, 0}};
    int t = 10000, seq = 2;
    for (int round = 0; round < 3; ++round) {
        for (const auto& tap : taps) {
            text += reportLine(t += 25, seq++, tap[0], tap[1]);
            text += reportLine(t += 25, seq++, 0, 0);
        }
    }
    const std::filesystem::path capture = user.home.path() / "menu.gip";
    std::ofstream(capture) << text;

    auto program = user.start({"--replay", capture.string(), "--key-output", "xtest"}, "menu");
    std::vector<unsigned long> icons;
    ASSERT_TRUE(waitUntil([&] { return (icons = trayIcons()).size() == 1; }, 20s)) << readFile(user.out("menu"));
    const std::optional<unsigned long> menu = openMenu(icons[0]);
    ASSERT_TRUE(menu) << "no menu opened";
    ASSERT_EQ(browser.presses(), 0) << "the capture's keys came before the menu was open";
    ASSERT_FALSE(logHas(user.log(), "replay finished")) << "the capture's keys came before the menu was open";

    ASSERT_TRUE(waitUntil([&] { return logHas(user.log(), "replay finished"); }, 30s)) << readFile(user.out("menu"));
    EXPECT_EQ(program->exitStatus(), std::nullopt) << "the stick chose Quit in the menu";
    EXPECT_EQ(openMenuWindow(), menu) << "the menu closed";
    EXPECT_EQ(browser.presses(), 0) << "keys went down while the menu held the keyboard";
    EXPECT_EQ(keysDown(), std::vector<int>{});

    ASSERT_EQ(std::system("xdotool key Escape"), 0);
    EXPECT_TRUE(waitUntil([] { return !openMenuWindow(); }, 5s)) << "Escape did not close the menu";
    program->signal(SIGTERM);
    EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0));
    EXPECT_EQ(logMessages(user.log()).back(), "quit");
}

TEST(TrayWithoutATray, KeepsRunningAndShowsTheIconOnceATrayAppears) {
    User user{"joyrelay-desktop-user"};
    if (auto why = useSession(user.display, false)) GTEST_SKIP() << *why;
    auto program = user.start({}, "tray");
    ASSERT_TRUE(waitUntil([&] { return logHas(user.log(), "No system tray to show the icon in"); }, 20s))
        << readFile(user.out("tray"));
    EXPECT_TRUE(trayIcons().empty());

    Program trayer({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                    "--SetDockType", "true", "--transparent", "false"},
                   user.environment(), user.out("trayer"));
    std::vector<unsigned long> icons;
    EXPECT_TRUE(waitUntil([&] { return (icons = trayIcons()).size() == 1; }, 15s)) << readFile(user.out("tray"));
    EXPECT_TRUE(waitUntil([&] { return logHas(user.log(), "System tray found \u2014 icon shown"); }, 10s));
    EXPECT_TRUE(waitUntil([&] { return (icons = trayIcons()).size() == 1; }, 10s)) << "docked again after the check";
    int noTrayLines = 0;
    for (const auto& line : logMessages(user.log())) noTrayLines += line.starts_with("No system tray") ? 1 : 0;
    EXPECT_EQ(noTrayLines, 1) << "said once";

    program->signal(SIGTERM);
    EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0));
    EXPECT_EQ(logMessages(user.log()).back(), "quit");
    trayer.stop();
}
