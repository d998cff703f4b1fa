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
#include "queues/Queues.hpp"
#include "bridge/StickBridge.hpp"
#include "platform/simulated/PrintedKeyEvents.hpp"
#include "platform/simulated/SimulatedUsbHost.hpp"

namespace joyrelay {

namespace {
constexpr auto bridgeDeadline = std::chrono::seconds(10);
}

int runReplay(const std::string& path, const ReplaySettings& settings) {
    std::shared_ptr<CaptureReader> capture = settings.capture;
    if (!capture) {
        std::string error;
        capture = CaptureReader::open(path, error);
        if (!capture) {
            std::fprintf(stderr, "tamberlo-joyrelay: %s\n", error.c_str());
            return 2;
        }
    }

    // The capture time of the event being delivered; the printed backend stamps transitions with it.
    std::atomic<double> now{0};
    PrintedKeyEvents printed(stdout, [&now] { return now.load(); });
    KeyEvents& output = settings.keyEvents ? *settings.keyEvents : printed;

    AsioSerialQueue queue;
    ThreadMainQueue mainQueue;
    sim::SimulatedUsbHost host(queue);
    sim::SimulatedUsbHost::DeviceId stick = host.plug(sim::DeviceSpec{});
    auto bridge = StickBridge::create(queue, mainQueue, host, output,
                                      settings.gate ? settings.gate : StickBridge::GateProvider([] { return true; }));
    if (settings.onBridge) settings.onBridge(*bridge);
    bridge->start();

    bool plugged = true;
    bool ok = true;
    // Waits until the bridge has handled everything delivered so far and reads again.
    auto settled = [&] {
        if (host.waitForReadPending(stick, bridgeDeadline)) return true;
        Log::info("replay: the stick was not read again in time; stopping");
        ok = false;
        return false;
    };
    // Printed keys that cannot be written end the replay.
    auto printFailed = [&] { return !settings.keyEvents && printed.writeError() != 0; };
    const auto start = std::chrono::steady_clock::now();
    CaptureEvent e;
    while (!printFailed() && capture->next(e)) {
        if (!settings.fast) {
            std::this_thread::sleep_until(start + std::chrono::duration<double, std::milli>(e.timeMs));
        }
        if (e.kind == CaptureEvent::Kind::transfer) {
            if (!plugged) continue;
            if (!settled()) break;
            now = e.timeMs;
            host.completeRead(stick, e.bytes);
        } else if (e.kind == CaptureEvent::Kind::unplug) {
            if (!plugged) continue;
            if (!settled()) break;
            now = e.timeMs;
            host.unplug(stick);
            host.waitUntilClosed(stick, bridgeDeadline);
            plugged = false;
        } else if (!plugged) {
            now = e.timeMs;
            stick = host.plug(sim::DeviceSpec{});
            plugged = true;
        }
    }
    // The end of the capture unplugs the stick, which releases its keys.
    if (plugged && ok && settled()) {
        host.unplug(stick);
        host.waitUntilClosed(stick, bridgeDeadline);
    }
    queue.sync([] {});
    if (!settings.keyEvents) printed.flush();
    if (const int error = settings.keyEvents ? 0 : printed.writeError()) {
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
