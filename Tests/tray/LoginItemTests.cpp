// Launch at login through the XDG autostart entry, in a temporary XDG_CONFIG_HOME: the menu entry
// switching it on and off, failures reported in the log and the alert, and the check mark read back
// from the file.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/AppDelegate.hpp"
#include "TrayFakes.hpp"
#include "support/TempDir.hpp"
#include "platform/linux/common/Executables.hpp"
#include "platform/linux/desktop/QtDesktopServices.hpp"

using namespace joyrelay;
using namespace joyrelay::testing;

namespace {

// A temporary XDG_CONFIG_HOME, restored afterwards.
class ConfigHome {
public:
    ConfigHome() : dir_("joyrelay-config") {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) previous_ = old;
        ::setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    }
    ~ConfigHome() {
        if (previous_) {
            ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
    }
    ConfigHome(const ConfigHome&) = delete;
    ConfigHome& operator=(const ConfigHome&) = delete;
    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path autostart() const { return path() / "autostart"; }
    std::filesystem::path entry() const { return autostart() / "tamberlo-joyrelay.desktop"; }

private:
    joyrelay::testing::TempDir dir_;
    std::optional<std::string> previous_;
};

// While it exists, this thread honours file permissions even when it runs as root: the capabilities
// that override them are lowered from its effective set (and raised again afterwards).
class HonourFilePermissions {
public:
    HonourFilePermissions() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        const unsigned mask = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);
        lowered[0].effective &= ~mask;
        active_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~HonourFilePermissions() {
        if (active_) ::syscall(SYS_capset, &header_, saved_);
    }
    HonourFilePermissions(const HonourFilePermissions&) = delete;
    HonourFilePermissions& operator=(const HonourFilePermissions&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

// Whether a file can be created in `folder` right now.
bool canCreateIn(const std::filesystem::path& folder) {
    const std::filesystem::path probe = folder / "probe";
    std::ofstream out(probe);
    if (!out) return false;
    out.close();
    std::filesystem::remove(probe);
    return true;
}

const std::filesystem::path executable = "/opt/Tamberlo Joyrelay/bin/tamberlo-joyrelay";

struct Tray {
    FakeDesktop desktop;
    FocusMonitor monitor;
    std::unique_ptr<AppDelegate> delegate;
    explicit Tray(const std::filesystem::path& program = executable) {
        desktop.autostart.emplace(XdgAutostart::defaultFolder(), program);
        AppDelegate::Setup setup;
        setup.appVersion = "1.2.3";
        setup.focusMonitor = &monitor;
        setup.quitApplication = [] {};
        delegate = std::make_unique<AppDelegate>(std::move(setup), desktop, std::make_unique<FakeStick>());
        delegate->applicationDidFinishLaunching();
    }
    QAction& login() { return *delegate->loginItem(); }
};

}  // namespace

TEST(LaunchAtLogin, OnWritesTheEntryAndOffRemovesIt) {
    ConfigHome home;
    Tray tray;
    LogCapture log;
    EXPECT_FALSE(tray.login().isChecked());

    tray.login().trigger();
    ASSERT_TRUE(std::filesystem::exists(home.entry()));
    const std::string text = readFile(home.entry());
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"/opt/Tamberlo Joyrelay/bin/tamberlo-joyrelay\"\n"), std::string::npos) << text;
    EXPECT_EQ(std::filesystem::status(home.entry()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0644));
    EXPECT_TRUE(tray.login().isChecked());
    EXPECT_TRUE(tray.desktop.alerts.empty());

    tray.login().trigger();
    EXPECT_FALSE(std::filesystem::exists(home.entry()));
    EXPECT_FALSE(tray.login().isChecked());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"launch at login: on", "launch at login: off"}));
    // Nothing but the entry is left behind.
    EXPECT_TRUE(std::filesystem::is_empty(home.autostart()));
}

TEST(LaunchAtLogin, CheckMarkIsReadBackFromTheFile) {
    ConfigHome home;
    std::filesystem::create_directories(home.autostart());
    const auto write = [&](const std::string& text) { std::ofstream(home.entry()) << text; };

    write("[Desktop Entry]\nType=Application\nExec=/usr/bin/tamberlo-joyrelay\n");
    EXPECT_TRUE(Tray().login().isChecked()) << "an entry written elsewhere counts";
    write("[Desktop Entry]\nType=Application\nExec=tamberlo-joyrelay\nHidden=true\n");
    EXPECT_FALSE(Tray().login().isChecked());
    write("[Desktop Entry]\nType=Application\nExec=tamberlo-joyrelay\nX-GNOME-Autostart-enabled=false\n");
    EXPECT_FALSE(Tray().login().isChecked());
    write("[Desktop Entry]\nExec=tamberlo-joyrelay\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(Tray().login().isChecked()) << "only the main group counts";

    // A switched-off entry is switched on again by the menu entry (it is rewritten).
    write("[Desktop Entry]\nType=Application\nExec=tamberlo-joyrelay\nHidden=true\n");
    Tray tray;
    tray.login().trigger();
    EXPECT_TRUE(tray.login().isChecked());
    EXPECT_EQ(readFile(home.entry()).find("Hidden=true"), std::string::npos);
}

TEST(LaunchAtLogin, ReadOnlyFolderFailsWithTheLogLineAndTheAlert) {
    ConfigHome home;
    std::filesystem::create_directories(home.autostart());
    Tray tray;
    HonourFilePermissions honour;
    std::filesystem::permissions(home.autostart(), std::filesystem::perms(0555));
    if (canCreateIn(home.autostart())) GTEST_SKIP() << "this process can write into a read-only folder";

    LogCapture log;
    tray.login().trigger();
    const std::string error = "cannot write " + home.entry().string() + ": Permission denied";
    EXPECT_EQ(log.lines(), std::vector<std::string>{"launch at login failed: " + error});
    ASSERT_EQ(tray.desktop.alerts.size(), 1u);
    EXPECT_EQ(tray.desktop.alerts[0].first, "Could not change Launch at login");
    EXPECT_EQ(tray.desktop.alerts[0].second, error);
    EXPECT_FALSE(tray.login().isChecked());
    EXPECT_FALSE(std::filesystem::exists(home.entry()));
    EXPECT_TRUE(std::filesystem::is_empty(home.autostart())) << "no temporary file is left behind";

    // An entry that cannot be removed stays, and so does its check mark.
    std::filesystem::permissions(home.autostart(), std::filesystem::perms(0755));
    std::ofstream(home.entry()) << XdgAutostart::entryText(executable);
    std::filesystem::permissions(home.autostart(), std::filesystem::perms(0555));
    log.clear();
    tray.desktop.alerts.clear();
    tray.login().trigger();  // refreshes: checked, then tries to remove
    const std::string removal = "cannot remove " + home.entry().string() + ": Permission denied";
    EXPECT_EQ(log.lines(), std::vector<std::string>{"launch at login failed: " + removal});
    ASSERT_EQ(tray.desktop.alerts.size(), 1u);
    EXPECT_EQ(tray.desktop.alerts[0].second, removal);
    EXPECT_TRUE(tray.login().isChecked());
}

TEST(LaunchAtLogin, FolderThatCannotBeCreated) {
    ConfigHome home;
    std::ofstream(home.autostart()) << "a file where the folder should be\n";
    Tray tray;
    LogCapture log;
    tray.login().trigger();
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("launch at login failed: cannot create " + home.autostart().string()))
        << log.lines()[0];
    EXPECT_EQ(tray.desktop.alerts.size(), 1u);
    EXPECT_FALSE(tray.login().isChecked());
}

TEST(LaunchAtLogin, TheLinuxDesktopServicesUseTheEntryOfThisExecutable) {
    ConfigHome home;
    QtDesktopServices desktop(nullptr, [] { return true; },
                              XdgAutostart(XdgAutostart::defaultFolder(), currentExecutable()), "");
    EXPECT_EQ(desktop.loginItemStatus(), LoginItemStatus::notRegistered);
    EXPECT_EQ(desktop.registerLoginItem(), std::nullopt);
    EXPECT_EQ(desktop.loginItemStatus(), LoginItemStatus::enabled);
    const std::string text = readFile(home.entry());
    EXPECT_NE(text.find("\nExec=" + currentExecutable().string() + "\n"), std::string::npos) << text;
    EXPECT_EQ(desktop.unregisterLoginItem(), std::nullopt);
    EXPECT_EQ(desktop.loginItemStatus(), LoginItemStatus::notRegistered);
    EXPECT_EQ(desktop.unregisterLoginItem(), std::nullopt) << "removing a missing entry is no error";
}

TEST(LaunchAtLogin, DefaultFolderFollowsTheEnvironment) {
    ConfigHome home;
    EXPECT_EQ(XdgAutostart::defaultFolder(), home.autostart());
    ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
    const char* homeDir = std::getenv("HOME");
    EXPECT_EQ(XdgAutostart::defaultFolder(), std::filesystem::path(homeDir ? homeDir : "/") / ".config" / "autostart");
}

TEST(LaunchAtLogin, ExecArgumentsAreQuotedAndEscaped) {
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/usr/bin/tamberlo-joyrelay"), "/usr/bin/tamberlo-joyrelay");
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/opt/my apps/tj"), "\"/opt/my apps/tj\"");
    // Inside quotes: \" \` \$ \\ ; then every backslash doubles for the string escapes.
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/a\"b`c$d\\e"), "\"/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e\"");
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/opt/100%/tj"), "/opt/100%%/tj");
}
