// Running the real program from tests as a user would, and reading its log back.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/X11TestSupport.hpp"

namespace joyrelay::testing {

using namespace std::chrono_literals;

// The lines of the program's log file, without their time stamps.
inline std::vector<std::string> logMessages(const std::filesystem::path& log) {
    std::vector<std::string> out;
    std::istringstream in(readFile(log));
    for (std::string line; std::getline(in, line);) {
        out.push_back(line.size() > 20 ? line.substr(20) : line);  // "yyyy-MM-dd HH:mm:ss "
    }
    return out;
}

inline bool logHas(const std::filesystem::path& log, const std::string& message) {
    for (const auto& line : logMessages(log)) {
        if (line == message || line.starts_with(message)) return true;
    }
    return false;
}

// A user of the program with a home of its own (log, autostart, lock and runtime folder), on the X
// display `display` or, while that is empty, on none. The test program defines JOYRELAY_BINARY.
struct User {
    explicit User(const std::string& stem = "joyrelay-user") : home(stem) {}

    TempDir home;
    std::string display;

    std::filesystem::path log() const { return home.path() / "state" / "Tamberlo Joyrelay.log"; }
    std::filesystem::path out(const std::string& name) const { return home.path() / (name + ".out"); }
    Environment environment() const {
        const std::filesystem::path runtime = home.path() / "run";
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        return {{"HOME", home.path().string()},
                {"XDG_STATE_HOME", (home.path() / "state").string()},
                {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                {"XDG_RUNTIME_DIR", runtime.string()},
                {"DISPLAY", display.empty() ? std::nullopt : std::optional<std::string>(display)},
                {"WAYLAND_DISPLAY", std::nullopt},
                {"QT_QPA_PLATFORM", std::nullopt},
                {"JOYRELAY_ANY_APP", std::nullopt}};
    }
    // The program with `args`, its output in out(name).
    std::unique_ptr<Program> start(std::vector<std::string> args, const std::string& name) const {
        args.insert(args.begin(), JOYRELAY_BINARY);
        return std::make_unique<Program>(args, environment(), out(name));
    }
};

}  // namespace joyrelay::testing
