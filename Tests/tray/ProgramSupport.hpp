// Running the real program from tests: started with an environment of the test's choosing, in its own
// process group, its output in a file; its exit status read back; whatever is left stopped by PID.
#pragma once

#include <fcntl.h>
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
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../desktop/X11TestSupport.hpp"

extern char** environ;

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

// A temporary folder, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& stem = "joyrelay-tray") {
        std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

class Program {
public:
    // `environment`: variables to set (a value) or remove (nothing) on top of this process's own.
    Program(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& environment,
            const std::filesystem::path& output) {
        std::map<std::string, std::string> vars;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const auto eq = entry.find('=');
            if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        for (const auto& [name, value] : environment) {
            if (value) {
                vars[name] = *value;
            } else {
                vars.erase(name);
            }
        }
        std::vector<std::string> envStrings;
        for (const auto& [name, value] : vars) envStrings.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (auto& a : args) argp.push_back(a.data());
        argp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        if (posix_spawnp(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data()) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() { stop(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    void signal(int sig) const {
        if (pid_ > 0 && !status_) ::kill(pid_, sig);
    }

    // The exit status once the program has ended (-signal when a signal ended it), waiting up to
    // `timeout`; nothing while it still runs.
    std::optional<int> exitStatus(std::chrono::milliseconds timeout = 0ms) {
        if (status_ || pid_ <= 0) return status_;
        waitUntil(
            [&] {
                int raw = 0;
                if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
                return true;
            },
            timeout);
        return status_;
    }

    // Ends the program and everything it started (its process group), if still there.
    void stop() {
        if (pid_ <= 0) return;
        if (!exitStatus()) {
            ::kill(-pid_, SIGTERM);
            if (!exitStatus(5s)) {
                ::kill(-pid_, SIGKILL);
                exitStatus(5s);
            }
        }
        if (!waitUntil([&] { return ::kill(-pid_, 0) != 0; }, 5s)) ::kill(-pid_, SIGKILL);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace joyrelay::testing
