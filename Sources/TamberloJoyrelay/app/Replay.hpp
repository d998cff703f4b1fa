// Replay: a capture file played through the simulated USB host and the real bridge.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "bridge/StickBridge.hpp"
#include "platform/simulated/PrintedKeyEvents.hpp"
#include "platform/simulated/SimulatedUsbHost.hpp"
#include "queues/Queues.hpp"

namespace joyrelay {

class CaptureReader;

struct ReplaySettings {
    bool fast = false;                       // ignore the capture's timing
    KeyEvents* keyEvents = nullptr;          // where keys go; printed on stdout when null
    StickBridge::GateProvider gate;          // the focus gate; always open when empty
    std::shared_ptr<CaptureReader> capture;  // already opened (then `path` only names it); else opened here
};

// One capture played through a bridge of its own, on its own queue and simulated USB host. The
// bridge exists from construction, so that the focus gate closing and the way out reach it through
// the same calls as the live stick's, from any thread, while play() runs on another.
class Replay {
public:
    // Statuses go to `mainQueue`, or to a main queue of the replay's own when it is null.
    Replay(std::string path, ReplaySettings settings, MainQueue* mainQueue = nullptr);
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    StickBridge& bridge() { return *bridge_; }

    // Plays the capture: the stick is plugged at the start, each report is delivered at its time,
    // unplug and plug lines remove and add the stick, and the end of the capture unplugs it. Returns
    // the exit status: 0, 2 when the capture is refused (also at a bad line met while playing a
    // pipe), 1 when the bridge stopped reading or the printed keys could not be written. When the
    // reader of the printed keys has gone away (a closed pipe), the process ends quietly by SIGPIPE.
    // Call once.
    int play();

private:
    std::string path_;
    ReplaySettings settings_;
    std::atomic<double> now_{0};  // the capture time of the event being delivered
    PrintedKeyEvents printed_;
    AsioSerialQueue queue_;
    std::unique_ptr<ThreadMainQueue> ownMainQueue_;
    sim::SimulatedUsbHost host_;
    std::shared_ptr<StickBridge> bridge_;
};

// Plays the capture at `path` through a Replay of its own; see Replay::play().
int runReplay(const std::string& path, const ReplaySettings& settings);

}  // namespace joyrelay
