#include "platform/linux/common/Executables.hpp"

#include <spawn.h>

#include <cstring>
#include <system_error>

extern char** environ;

namespace joyrelay {

std::filesystem::path currentExecutable() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

pid_t startGuardProcess(const std::vector<std::string>& args, int input, int output, std::string* error) {
    if (args.empty()) {
        if (error) *error = "cannot start a guard: no program named";
        return -1;
    }
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    if (output >= 0) posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (error) *error = "cannot start " + args.front() + ": " + std::strerror(rc);
        return -1;
    }
    return pid;
}

}  // namespace joyrelay
