#include "app/Replay.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "capture/Capture.hpp"
#include "log/Log.hpp"

namespace joyrelay {

namespace {
constexpr auto bridgeDeadline = std::chrono::seconds(10);
}

Replay::Replay(std::string path, ReplaySettings settings, MainQueue* mainQueue)
    : path_(std::move(path)),
      settings_(std::move(settings)),
      printed_(stdout, [this] { return now_.load(); }),
      ownMainQueue_(mainQueue ? nullptr : std::make_unique<ThreadMainQueue>()),
      host_(queue_),
      bridge_(StickBridge::create(queue_, mainQueue ? *mainQueue : *ownMainQueue_, host_,
                                  settings_.keyEvents ? *settings_.keyEvents : printed_,
                                  settings_.gate ? settings_.gate : StickBridge::GateProvider([] { return true; }))) {}

Replay::~Replay() = default;

int runReplay(const std::string& path, const ReplaySettings& settings) { return Replay(path, settings).play(); }

int Replay::play() {
    std::shared_ptr<CaptureReader> capture = settings_.capture;
    if (!capture) {
        std::string error;
        capture = CaptureReader::open(path_, error);
        if (!capture) {
            std::fprintf(stderr, "tamberlo-joyrelay: %s\n", error.c_str());
            return 2;
        }
    }

    sim::SimulatedUsbHost::DeviceId stick = host_.plug(sim::DeviceSpec{});
    bridge_->start();

    bool plugged = true;
    bool ok = true;
    // Waits until the bridge has handled everything delivered so far and reads again.
    auto settled = [&] {
        if (host_.waitForReadPending(stick, bridgeDeadline)) return true;
        Log::info("replay: the stick was not read again in time; stopping");
        ok = false;
        return false;
    };
    // Printed keys that cannot be written end the replay.
    auto printFailed = [&] { return !settings_.keyEvents && printed_.writeError() != 0; };
    const auto start = std::chrono::steady_clock::now();
    CaptureEvent e;
    while (!printFailed() && capture->next(e)) {
        if (!settings_.fast) {
            std::this_thread::sleep_until(start + std::chrono::duration<double, std::milli>(e.timeMs));
        }
        if (e.kind == CaptureEvent::Kind::transfer) {
            if (!plugged) continue;
            if (!settled()) break;
            now_ = e.timeMs;
            host_.completeRead(stick, e.bytes);
        } else if (e.kind == CaptureEvent::Kind::unplug) {
            if (!plugged) continue;
            if (!settled()) break;
            now_ = e.timeMs;
            host_.unplug(stick);
            host_.waitUntilClosed(stick, bridgeDeadline);
            plugged = false;
        } else if (!plugged) {
            now_ = e.timeMs;
            stick = host_.plug(sim::DeviceSpec{});
            plugged = true;
        }
    }
    // The end of the capture unplugs the stick, which releases its keys.
    if (plugged && ok && settled()) {
        host_.unplug(stick);
        host_.waitUntilClosed(stick, bridgeDeadline);
    }
    queue_.sync([] {});
    if (!settings_.keyEvents) printed_.flush();
    if (const int error = settings_.keyEvents ? 0 : printed_.writeError()) {
        if (error == EPIPE) {
            // Nobody reads the keys any more: end as a program that had not ignored SIGPIPE would.
            std::signal(SIGPIPE, SIG_DFL);
            std::raise(SIGPIPE);
        }
        std::fprintf(stderr, "tamberlo-joyrelay: cannot write the keys to standard output: %s\n",
                     std::strerror(error));
        return 1;
    }
    if (capture->error()) {
        std::fprintf(stderr, "tamberlo-joyrelay: %s\n", capture->error()->c_str());
        return 2;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}

}  // namespace joyrelay
