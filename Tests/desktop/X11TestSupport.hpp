// Helpers for tests on the throw-away X11 session that x11-session.sh starts: finding the display,
// starting and stopping programs by process group, waiting for conditions, xdotool.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace joyrelay::testing {

using namespace std::chrono_literals;

// Polls `condition` every few milliseconds until it holds or `timeout` has passed.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Points this process (and what it starts) at the session's display. Returns an explanation when
// there is no session, for GTEST_SKIP.
inline std::optional<std::string> useX11Session() {
    const char* state = std::getenv("JOYRELAY_X11_STATE");
    if (!state) return "no X11 session: run through ctest, whose fixture starts Tests/desktop/x11-session.sh";
    std::ifstream in(std::filesystem::path(state) / "display");
    std::string display;
    if (!(in >> display)) return std::string("no display written in ") + state;
    ::setenv("DISPLAY", display.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (std::filesystem::path(state) / "runtime").c_str(), 1);
    // An X11 session, even when the tests are started from a Wayland desktop.
    for (const char* name : {"WAYLAND_DISPLAY", "SWAYSOCK", "HYPRLAND_INSTANCE_SIGNATURE", "JOYRELAY_FOCUS"}) {
        ::unsetenv(name);
    }
    ::setenv("XDG_SESSION_TYPE", "x11", 1);
    return std::nullopt;
}

// Runs a command line and returns its standard output (without a trailing line feed).
inline std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        std::array<char, 4096> buffer{};
        while (std::fgets(buffer.data(), buffer.size(), pipe)) text += buffer.data();
        ::pclose(pipe);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// A program started in its own process group; stopping it ends the whole group (a browser's
// helpers included) and waits for every member to be gone.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::filesystem::path& log) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGTERM);
        if (!waitUntil([this] { return ::waitpid(pid_, nullptr, WNOHANG) != 0; }, 5s)) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!waitUntil([this] { return ::kill(-pid_, 0) != 0; }, 5s)) ::kill(-pid_, SIGKILL);
        waitUntil([this] { return ::kill(-pid_, 0) != 0; }, 5s);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// The first visible window of process `pid`, waiting for it to appear; 0 when none did.
inline unsigned long windowOf(pid_t pid, std::chrono::milliseconds timeout = 15s) {
    unsigned long window = 0;
    waitUntil(
        [&] {
            std::istringstream ids(output("xdotool search --onlyvisible --pid " + std::to_string(pid)));
            return static_cast<bool>(ids >> window);
        },
        timeout);
    return window;
}

inline bool activate(unsigned long window) {
    return std::system(
               ("xdotool windowactivate --sync " + std::to_string(window) + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string windowName(unsigned long window) {
    return output("xdotool getwindowname " + std::to_string(window));
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace joyrelay::testing
