// Running on the real stick without the tray: status changes become log lines.
#pragma once

#include "Options.hpp"

namespace joyrelay {

// Runs until SIGINT or SIGTERM, then releases every held key, logs "quit" and returns the exit status.
int runHeadless(const Options& options);

}  // namespace joyrelay
