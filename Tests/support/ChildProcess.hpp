// Running programs from tests: a child started in its own process group with an environment of the
// test's choosing and its output in a file, its exit status read back, and whatever is left of it
// stopped by process group when the test is done. Also: a shell command line run to its end.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.hpp"
#include "support/Waiting.hpp"

extern char** environ;

namespace joyrelay::testing {

// Variables to set (a value) or remove (nothing) on top of the test's own environment.
using Environment = std::map<std::string, std::optional<std::string>>;

class Program {
public:
    Program(const std::vector<std::string>& argv, const std::filesystem::path& output)
        : Program(argv, Environment{}, output) {}

    Program(const std::vector<std::string>& argv, const Environment& environment, const std::filesystem::path& output) {
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
        spawnError_ = posix_spawnp(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
        if (spawnError_ != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() { stop(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    // Why the program could not be started (an errno value); 0 when it was.
    int spawnError() const { return spawnError_; }

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

    // Ends the program and everything it started (its process group), if still there, and waits
    // for every member of the group to be gone.
    void stop() {
        if (pid_ <= 0) return;
        if (!exitStatus()) {
            ::kill(-pid_, SIGTERM);
            if (!exitStatus(5s)) {
                ::kill(-pid_, SIGKILL);
                exitStatus(5s);
            }
        }
        if (!waitUntil([&] { return ::kill(-pid_, 0) != 0; }, 5s)) {
            ::kill(-pid_, SIGKILL);
            waitUntil([&] { return ::kill(-pid_, 0) != 0; }, 5s);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int spawnError_ = 0;
    std::optional<int> status_;
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line to its end, capturing its standard output and standard error.
inline RunResult run(const std::string& command) {
    TempDir dir;
    const auto out = dir.path() / "out";
    const auto err = dir.path() / "err";
    // Braces, so that every part of a list or pipeline writes there.
    const std::string line = "{ " + command + "\n} >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(line.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
}

// Runs a command line and returns its standard output (without a trailing line feed).
inline std::string output(const std::string& command) {
    std::string text = run(command).out;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace joyrelay::testing
