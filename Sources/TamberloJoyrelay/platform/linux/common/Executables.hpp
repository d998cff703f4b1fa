// This program's own executable, and starting a guard process beside it.
//
// Threads: any. Errors: as each function says; nothing here throws.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace joyrelay {

// The running executable (/proc/self/exe, resolved); empty when it cannot be read.
std::filesystem::path currentExecutable();

// Starts args[0] with `args` as a guard: in a process group of its own, so that a signal meant for
// the program's group (a closed terminal, Ctrl+C) leaves it to do its work, with `input` as its
// standard input and, when `output` is not -1, `output` as its standard output (both stay open here:
// the caller closes its ends). Returns its process id, or -1 with `error` (if given) set to "cannot
// start PROGRAM: WHY".
pid_t startGuardProcess(const std::vector<std::string>& args, int input, int output = -1,
                        std::string* error = nullptr);

}  // namespace joyrelay
