// The pieces around the delegate: the page addresses, the key output behind the permission check,
// the replayed stick, the Qt main queue, the single-copy lock and the Linux desktop
// services without X11.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QTest>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/Accessibility.hpp"
#include "app/KeyOutputAccess.hpp"
#include "app/AppDelegate.hpp"
#include "app/AppInfo.hpp"
#include "app/InstanceLock.hpp"
#include "app/QtMainQueue.hpp"
#include "app/StickService.hpp"
#include "TrayFakes.hpp"
#include "support/TempDir.hpp"
#include "platform/linux/desktop/QtDesktopServices.hpp"
#include "support/RecordingKeyEvents.hpp"
#include "support/Reports.hpp"

using namespace joyrelay;
using namespace joyrelay::testing;
using namespace std::chrono_literals;

namespace {

std::uint16_t vk(ArcadeKey key) { return rawValue(key); }

// Key events as "name down|up" lines.
std::vector<std::string> transcript(const std::vector<KeyEvent>& events) {
    std::vector<std::string> out;
    for (const KeyEvent& e : events) {
        const std::optional<ArcadeKey> key = arcadeKey(e.virtualKey);
        out.push_back(std::string(key ? name(*key) : "?") + (e.down ? " down" : " up"));
    }
    return out;
}

}  // namespace

TEST(AppInfo, PageAddressesForTheInstalledPagesAndForASite) {
    const PageURLs local = AppInfo::pageURLs("", "/usr/share/tamberlo-joyrelay/web");
    EXPECT_EQ(local.arcade, "file:///usr/share/tamberlo-joyrelay/web/index.html");
    EXPECT_EQ(local.padTest, "file:///usr/share/tamberlo-joyrelay/web/padtest.html");
    const PageURLs spaced = AppInfo::pageURLs("", "/opt/My Games/web");
    EXPECT_EQ(spaced.padTest, "file:///opt/My%20Games/web/padtest.html");

    for (const char* site : {"https://arcade.example", "https://arcade.example/"}) {
        const PageURLs urls = AppInfo::pageURLs(site, "/unused");
        EXPECT_EQ(urls.arcade, "https://arcade.example/");
        EXPECT_EQ(urls.padTest, "https://arcade.example/padtest.html");
    }
    for (const std::string& url : {local.arcade, local.padTest, spaced.padTest}) EXPECT_TRUE(AppInfo::isValidURL(url));
    EXPECT_FALSE(AppInfo::isValidURL("not an address"));
    EXPECT_FALSE(AppInfo::isValidURL("http://exa mple.com/"));
}

TEST(AppInfo, VersionAndPagesOfThisBuild) {
    EXPECT_EQ(AppInfo::version(), JOYRELAY_VERSION);
    // The test program sits in the build tree, away from the pages; the installed folder is the answer.
    const std::filesystem::path web = AppInfo::webDirectory();
    EXPECT_EQ(web.filename(), "web");
    EXPECT_TRUE(Accessibility::settingsURL().ends_with("/web/help.html")) << Accessibility::settingsURL();
}

TEST(AppInfo, HelpPageShipsWithThePagesAndSaysWhatToDo) {
    const std::string page = joyrelay::testing::readFile(std::string(JOYRELAY_SOURCE_DIR) + "/web/help.html");
    for (const char* needed : {"/dev/uinput", "70-tamberlo-joyrelay.rules", "sudo modprobe uinput",
                               "udevadm control --reload-rules", "Unplug the stick and plug it in again",
                               "log out and back in", "JOYRELAY_ANY_APP=1"}) {
        EXPECT_NE(page.find(needed), std::string::npos) << needed;
    }
}

TEST(KeyOutputAccess, TriesUntilAnOutputOpensAndLogsOnlyWhatMatters) {
    LogCapture log;
    bool uinputThere = false;
    RecordingKeyEvents* opened = nullptr;
    KeyOutputOpeners openers;
    openers.uinput = [&](std::string* error) -> std::unique_ptr<KeyEvents> {
        if (!uinputThere) {
            *error = "cannot open /dev/uinput: Permission denied";
            return nullptr;
        }
        auto events = std::make_unique<RecordingKeyEvents>();
        opened = events.get();
        return events;
    };
    openers.xtest = [](std::string* error) -> std::unique_ptr<KeyEvents> {
        *error = "cannot open X display (DISPLAY is not set)";
        return nullptr;
    };
    KeyOutputAccess access({}, std::nullopt, openers);
    KeyEvents& events = access.events();
    EXPECT_FALSE(events.createKeyboardEvent(vk(ArcadeKey::space), true)) << "no output: nothing can be created";

    EXPECT_FALSE(access.check());
    EXPECT_FALSE(access.check());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Key output: none (cannot open /dev/uinput: Permission denied; "
                                                    "cannot open X display (DISPLAY is not set))"});
    EXPECT_EQ(access.kind(), std::nullopt);

    uinputThere = true;
    EXPECT_TRUE(access.check());
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(log.lines()[1].starts_with("Key output: uinput")) << log.lines()[1];
    EXPECT_EQ(access.kind(), KeyOutputKind::uinput);
    EXPECT_TRUE(access.check());
    EXPECT_EQ(log.lines().size(), 2u);

    std::optional<KeyEvent> e = events.createKeyboardEvent(vk(ArcadeKey::space), true);
    ASSERT_TRUE(e);
    events.post(*e);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(transcript(opened->posted()), std::vector<std::string>{"Space down"});
}

TEST(KeyOutputAccess, PrintingIsAlwaysGranted) {
    LogCapture log;
    KeyOutputOpeners openers;
    openers.print = [] { return std::make_unique<RecordingKeyEvents>(); };
    KeyOutputAccess access({}, KeyOutputKind::print, openers);
    EXPECT_TRUE(access.check());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Key output: printed"});
}

// A capture fed through a FIFO, one line at a time, so that the test decides when each report arrives.
class CapturePipe {
public:
    CapturePipe() : path_(dir_.path() / "live.gip") { EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0); }
    ~CapturePipe() { close(); }
    const std::filesystem::path& path() const { return path_; }

    // A report holding the buttons of bytes 4 and 5. Opens the pipe first (blocking until the replay
    // reads it).
    void report(std::uint8_t byte4, std::uint8_t byte5) {
        if (fd_ < 0) fd_ = ::open(path_.c_str(), O_WRONLY);
        ASSERT_GE(fd_, 0);
        const std::string line = reportLine(time_++, 1, byte4, byte5);
        ASSERT_EQ(::write(fd_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    TempDir dir_;
    std::filesystem::path path_;
    int fd_ = -1;
    int time_ = 0;
};

// A fast replay of what the test writes into a pipe, its keys going to `output`, its statuses to Qt's
// main queue; `finished` is its exit status once it has ended.
struct PipedReplay {
    explicit PipedReplay(KeyEvents& output, StickBridge::GateProvider gate = {})
        : settings{.fast = true, .keyEvents = &output, .gate = std::move(gate), .capture = nullptr},
          stick(pipe.path().string(), settings, mainQueue, [this](int status) { finished = status; }) {
        stick.start([](const StickStatus&) {});
    }

    QtMainQueue mainQueue;
    ReplaySettings settings;
    CapturePipe pipe;
    int finished = -1;
    ReplayStick stick;
};

// Losing focus and quitting during a replay go through the replay's bridge: what is down is let go at
// once in key order, the bridge's own later releases are not repeated, presses are still checked
// against the window with the output, and once on the way out nothing goes down again.
TEST(ReplayStick, GateClosingAndTheWayOutLetGoThroughTheReplaysBridge) {
    RecordingKeyEvents out;
    std::atomic<bool> gate{true};
    PipedReplay replay(out, [&] { return gate.load(); });
    CapturePipe& pipe = replay.pipe;
    ReplayStick& stick = replay.stick;
    const int& finished = replay.finished;
    auto posted = [&] { return transcript(out.posted()); };
    auto shows = [&](std::vector<std::string> expected) {
        return pumpUntil([&] { return posted() == expected; }, 10s);
    };

    pipe.report(0x20, 0x10);  // z and Shift
    ASSERT_TRUE(shows({"Shift down", "z down"})) << ::testing::PrintToString(posted());

    out.clear();
    gate = false;
    stick.gateClosed();
    ASSERT_TRUE(shows({"Shift up", "z up"})) << ::testing::PrintToString(posted());
    EXPECT_EQ(out.posted()[0].flags, std::optional<std::uint64_t>(0)) << "Shift's release carries an empty mask";

    out.clear();
    pipe.report(0x00, 0x00);  // let go on the stick while the gate is closed: already up
    gate = true;
    pipe.report(0x40, 0x00);  // x, the gate open again
    ASSERT_TRUE(shows({"x down"})) << ::testing::PrintToString(posted());

    out.clear();
    EXPECT_TRUE(stick.releaseHeldKeys(5s));  // the way out
    EXPECT_EQ(posted(), std::vector<std::string>{"x up"}) << "released before the call returns";
    pipe.report(0xC0, 0x00);  // c as well: nothing goes down any more
    pipe.close();
    ASSERT_TRUE(pumpUntil([&] { return finished >= 0; }, 20s));
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(posted(), std::vector<std::string>{"x up"});
}

// Presses during a replay are decided by the output as they go down, and the output is told when
// they are out; a refusal keeps back the new keys only.
TEST(ReplayStick, PressesAreCheckedWithTheOutputAsTheyGoDown) {
    struct CheckingOutput final : KeyEvents {
        RecordingKeyEvents recorded;
        std::atomic<bool> allow{true};
        std::atomic<int> begun{0}, ended{0};
        std::optional<KeyEvent> createKeyboardEvent(std::uint16_t key, bool down) override {
            return recorded.createKeyboardEvent(key, down);
        }
        void post(const KeyEvent& e) override { recorded.post(e); }
        bool beginPresses() override {
            ++begun;
            return allow.load();
        }
        void endPresses() override { ++ended; }
    } output;
    PipedReplay replay(output);
    CapturePipe& pipe = replay.pipe;
    const int& finished = replay.finished;
    auto posted = [&] { return transcript(output.recorded.posted()); };

    pipe.report(0x20, 0x00);  // z
    ASSERT_TRUE(pumpUntil([&] { return posted() == std::vector<std::string>{"z down"}; }, 10s));
    EXPECT_EQ(output.begun.load(), 1);
    output.allow = false;  // the window under the keys changed
    pipe.report(0x60, 0x00);  // z and x: x is refused, z stays down
    pipe.report(0x00, 0x00);  // everything let go
    pipe.close();
    ASSERT_TRUE(pumpUntil([&] { return finished >= 0; }, 20s));
    EXPECT_EQ(posted(), (std::vector<std::string>{"z down", "z up"}));
    EXPECT_EQ(output.begun.load(), 2);
    EXPECT_EQ(output.ended.load(), 2) << "every begun press is ended";
}

TEST(ReplayStick, PlaysTheCaptureThroughItsBridgeAndReportsOnTheMainQueue) {
    QtMainQueue mainQueue;
    RecordingKeyEvents keys;
    ReplaySettings settings;
    settings.fast = true;
    settings.keyEvents = &keys;
    std::atomic<int> gateReads{0};
    settings.gate = [&] {
        ++gateReads;
        return true;
    };
    int finished = -1;
    ReplayStick stick(std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.gip", settings, mainQueue,
                      [&](int status) { finished = status; });
    std::vector<std::string> statuses;
    const auto mainThread = std::this_thread::get_id();
    bool offMainThread = false;
    stick.start([&](const StickStatus& status) {
        offMainThread |= std::this_thread::get_id() != mainThread;
        statuses.push_back(status.which == StickStatus::Case::connected ? "connected" : "searching");
    });
    ASSERT_TRUE(pumpUntil([&] { return finished >= 0; }, 20s));
    EXPECT_EQ(finished, 0);
    EXPECT_FALSE(stick.running());
    EXPECT_FALSE(offMainThread);
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses.front(), "connected");
    EXPECT_EQ(statuses.back(), "searching");
    EXPECT_GT(gateReads.load(), 0) << "the replay reads the application's gate";

    // Exactly the capture's transitions, as the printed replay lists them.
    std::ifstream in(std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.keys");
    std::vector<std::string> expected;
    for (std::string time, key, direction; in >> time >> key >> direction;) expected.push_back(key + " " + direction);
    EXPECT_EQ(transcript(keys.posted()), expected);
}

TEST(QtMainQueue, RunsWorkOnTheMainThreadInOrderAndNeverInline) {
    QtMainQueue queue;
    std::vector<int> ran;
    const auto mainThread = std::this_thread::get_id();
    bool elsewhere = false;
    queue.async([&] { ran.push_back(0); });
    EXPECT_TRUE(ran.empty()) << "work posted from the main thread must not run inline";
    std::thread poster([&] {
        for (int i = 1; i <= 200; ++i) {
            queue.async([&, i] {
                elsewhere |= std::this_thread::get_id() != mainThread;
                ran.push_back(i);
            });
        }
    });
    poster.join();
    ASSERT_TRUE(pumpUntil([&] { return ran.size() == 201; }));
    for (int i = 0; i <= 200; ++i) EXPECT_EQ(ran[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(elsewhere);
}

TEST(InstanceLock, OneHolderAtATimeNamingItsProcess) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("joyrelay-lock-test-" + std::to_string(::getpid()) + ".lock");
    std::filesystem::remove(path);
    {
        InstanceLock::Outcome first = InstanceLock::acquire(path);
        ASSERT_TRUE(first.lock);
        EXPECT_TRUE(first.note.empty());
        InstanceLock::Outcome second = InstanceLock::acquire(path);
        EXPECT_FALSE(second.lock);
        EXPECT_EQ(second.holder, std::optional<long>(::getpid()));
    }
    EXPECT_TRUE(InstanceLock::acquire(path).lock) << "the lock goes with its holder";
    const InstanceLock::Outcome unusable = InstanceLock::acquire("/nonexistent-folder/x.lock");
    EXPECT_TRUE(unusable.lock) << "a lock file that cannot be used lets the copy start";
    EXPECT_FALSE(unusable.note.empty());
    std::filesystem::remove(path);
}

// Deleting the lock file (or replacing it) does not let a second copy start: the socket still
// holds, and names the holder. A squatter of another user on the socket's name changes nothing.
TEST(InstanceLock, TheLockHoldsWhenItsFileIsDeletedAndASquatterIsPassedOver) {
    joyrelay::testing::TempDir dir;
    const auto path = dir.path() / "x.lock";
    {
        InstanceLock::Outcome first = InstanceLock::acquire(path);
        ASSERT_TRUE(first.lock);
        std::filesystem::remove(path);
        InstanceLock::Outcome second = InstanceLock::acquire(path);
        EXPECT_FALSE(second.lock) << "a deleted lock file let a second copy start";
        EXPECT_EQ(second.holder, std::optional<long>(::getpid()));
    }
    EXPECT_NE(InstanceLock::socketName(path), InstanceLock::socketName(dir.path() / "y.lock"));
    if (::geteuid() != 0) GTEST_SKIP() << "a squatter of another user needs root";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const std::string name = InstanceLock::socketName(path);
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name.copy(address.sun_path + 1, name.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, 4) != 0) ::_exit(1);
        [[maybe_unused]] const ssize_t w = ::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the squatter did not bind";
    ::close(ready[0]);
    const InstanceLock::Outcome outcome = InstanceLock::acquire(path);
    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
    EXPECT_TRUE(outcome.lock);
    EXPECT_NE(outcome.note.find("taken by another user (uid 65534)"), std::string::npos) << outcome.note;
}

TEST(InstanceLock, WithoutARuntimeFolderTheLockIsInTheUsersOwnFolder) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = runtime ? runtime : "";
    joyrelay::testing::TempDir home;
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("HOME", home.path().c_str(), 1);
    const std::filesystem::path path = InstanceLock::defaultPath();
    if (runtime) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    ::setenv("HOME", savedHome.c_str(), 1);
    EXPECT_EQ(path, home.path() / ".local/state/tamberlo-joyrelay.lock");
    struct stat folder {};
    ASSERT_EQ(::stat(path.parent_path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & (S_IWGRP | S_IWOTH), 0u);
    EXPECT_TRUE(InstanceLock::acquire(path).lock);
}

// A lock file another user made (or can replace) says nothing about this user's copies: the copy
// starts, with a note, instead of believing it is "already running".
TEST(InstanceLock, ALockFileOfAnotherUserIsNeverTrusted) {
    joyrelay::testing::TempDir dir;
    const auto shared = dir.path() / "shared";
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 0777);  // writable by all, not sticky
    const InstanceLock::Outcome open = InstanceLock::acquire(shared / "x.lock");
    EXPECT_TRUE(open.lock);
    EXPECT_NE(open.note.find("can be written by other users"), std::string::npos) << open.note;
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    const auto path = dir.path() / "theirs.lock";
    joyrelay::testing::writeFile(path, "1\n");
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    // Held by its owner: a stranger's flock must not count either.
    const int holder = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const InstanceLock::Outcome outcome = InstanceLock::acquire(path);
    ::close(holder);
    EXPECT_TRUE(outcome.lock);
    EXPECT_FALSE(outcome.holder);
    EXPECT_NE(outcome.note.find("belongs to another user"), std::string::npos) << outcome.note;
}

TEST(XdgAutostart, WithoutHomeTheEntryGoesToThePasswordDatabasesHome) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string savedConfig = config ? config : "";
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    const std::filesystem::path folder = XdgAutostart::defaultFolder();
    ::setenv("HOME", savedHome.c_str(), 1);
    if (config) ::setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
    const struct passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(folder, std::filesystem::path(entry->pw_dir) / ".config/autostart");
}

TEST(QtDesktopServices, WithoutX11ThereIsNoFrontmostApplicationAndTimersRun) {
    QtDesktopServices desktop(nullptr, [] { return false; },
                              XdgAutostart(std::filesystem::temp_directory_path(), "/bin/true"),
                              Accessibility::settingsURL());
    EXPECT_FALSE(desktop.frontmostApplication().has_value());
    int ticks = 0;
    desktop.scheduleRepeating(10ms, [&] { ++ticks; });
    EXPECT_TRUE(pumpUntil([&] { return ticks >= 3; }));
    EXPECT_FALSE(desktop.isProcessTrusted(false));
    EXPECT_FALSE(desktop.openURL("http://exa mple.com/"));
}

TEST(QtDesktopServices, ThePromptWaitsForTheStatusItemAndWithoutATrayNamesTheHelpPage) {
    LogCapture log;
    QtDesktopServices desktop(nullptr, [] { return false; },
                              XdgAutostart(std::filesystem::temp_directory_path(), "/bin/true"),
                              Accessibility::settingsURL());
    EXPECT_FALSE(desktop.isProcessTrusted(true));
    QCoreApplication::processEvents();  // runs what the check queued, if anything
    EXPECT_TRUE(log.lines().empty()) << "nothing to show the prompt on yet";

    QSystemTrayIcon item;
    item.setIcon(AppDelegate::titleIcon(QStringLiteral("TJ")));
    item.show();
    desktop.setStatusItem(&item);  // offscreen: no tray, so the prompt becomes a log line
    const std::string line = "How to let Tamberlo Joyrelay post keys: " + Accessibility::settingsURL();
    EXPECT_TRUE(pumpUntil([&] { return log.contains(line); }));
    EXPECT_EQ(log.lines().size(), 1u);

    EXPECT_FALSE(desktop.isProcessTrusted(false));  // the poll never prompts
    QCoreApplication::processEvents();  // runs what the check queued, if anything
    EXPECT_EQ(log.lines().size(), 1u);
}
