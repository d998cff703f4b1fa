// Replay: a capture file played through the simulated USB host and the real bridge.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bridge/StickBridge.hpp"

namespace joyrelay {

class CaptureReader;

struct ReplaySettings {
    bool fast = false;                       // ignore the capture's timing
    KeyEvents* keyEvents = nullptr;          // where keys go; printed on stdout when null
    StickBridge::GateProvider gate;          // the focus gate; always open when empty
    std::function<void(StickBridge&)> onBridge;  // called once the bridge exists, before it starts
    std::shared_ptr<CaptureReader> capture;  // already opened (then `path` only names it); else opened here
};

// Plays the capture at `path`: the stick is plugged at the start, each report is delivered at its
// time, unplug and plug lines remove and add the stick, and the end of the capture unplugs it.
// Returns the exit status: 0, 2 when the capture is refused (also at a bad line met while playing a
// pipe), 1 when the bridge stopped reading or the printed keys could not be written. When the reader
// of the printed keys has gone away (a closed pipe), the process ends quietly by SIGPIPE.
int runReplay(const std::string& path, const ReplaySettings& settings);

}  // namespace joyrelay
