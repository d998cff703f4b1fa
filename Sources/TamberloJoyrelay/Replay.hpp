// Replay of a capture file with printed key transitions.
#pragma once

#include <string>

namespace joyrelay {

// Plays the capture at `path`, printing every key transition on standard output. Keeps the capture's
// timing unless `fast`. Returns the process exit status: 0, or 2 when the capture is refused.
int runReplay(const std::string& path, bool fast);

}  // namespace joyrelay
