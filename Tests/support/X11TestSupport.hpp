// Helpers for tests on the throw-away X11 session that x11-session.sh starts: finding the display and
// asking xdotool about windows. Programs, folders and waiting come from support/.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "support/ChildProcess.hpp"
#include "support/TempDir.hpp"
#include "support/Waiting.hpp"

namespace joyrelay::testing {

using namespace std::chrono_literals;

// Points this process (and what it starts) at the session's display. Returns an explanation when
// there is no session, for GTEST_SKIP.
inline std::optional<std::string> useX11Session() {
    const char* state = std::getenv("JOYRELAY_X11_STATE");
    if (!state) return "no X11 session: run through ctest, whose fixture starts Tests/support/x11-session.sh";
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

// How many times the repeated desktop checks run: fewer under the sanitizers, which slow every
// round trip down.
inline int runs() {
#if defined(__SANITIZE_ADDRESS__)
    return 5;
#else
    return 20;
#endif
}

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

// An xterm titled `title` whose shell keeps every byte the terminal sends it in `file`, raw: no
// echo, no line editing, no translation. Its output goes to `file` + ".log".
class RecordingTerminal {
public:
    RecordingTerminal(const std::filesystem::path& file, const std::string& title, const Environment& environment = {})
        : file_(file),
          program_({"xterm", "-geometry", "80x24+0+0", "-title", title, "-e", "sh", "-c",
                    "stty raw -echo && exec cat > '" + file.string() + "'"},
                   environment, file.string() + ".log") {
        // The shell creates the file only once the terminal is raw.
        waitUntil(
            [&] {
                std::istringstream ids(output("xdotool search --onlyvisible --name '^" + title + "$'"));
                return static_cast<bool>(ids >> window_) && std::filesystem::exists(file_);
            },
            20s);
    }

    // Its window, once it is up and raw; 0 when it did not come up.
    unsigned long window() const { return std::filesystem::exists(file_) ? window_ : 0; }
    std::string received() const { return readFile(file_); }
    std::string log() const { return readFile(file_.string() + ".log"); }
    void stop() { program_.stop(); }

private:
    std::filesystem::path file_;
    Program program_;
    unsigned long window_ = 0;
};

}  // namespace joyrelay::testing
