// Replay: a capture file played through the simulated USB host and the real bridge.
#pragma once

#include <functional>
#include <string>

#include "StickBridge.hpp"

namespace joyrelay {

struct ReplaySettings {
    bool fast = false;                       // ignore the capture's timing
    KeyEvents* keyEvents = nullptr;          // where keys go; printed on stdout when null
    StickBridge::GateProvider gate;          // the focus gate; always open when empty
    std::function<void(StickBridge&)> onBridge;  // called once the bridge exists, before it starts
};

// Plays the capture at `path`: the stick is plugged at the start, each report is delivered at its
// time, unplug and plug lines remove and add the stick, and the end of the capture unplugs it.
// Returns the exit status: 0, 2 when the capture is refused, 1 when the bridge stopped reading.
int runReplay(const std::string& path, const ReplaySettings& settings);

}  // namespace joyrelay
