// The bridge on the real serial queue: the time from a read completion starting on the queue to the
// last key event of that report being posted, over 100,000 reports; and the wake-up latency of the
// serial queue for work posted from another thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "support/AllocationCounter.hpp"
#include "log/Log.hpp"
#include "queues/Queues.hpp"
#include "bridge/StickBridge.hpp"
#include "platform/simulated/SimulatedUsbHost.hpp"

using namespace joyrelay;

namespace {

std::int64_t nowNs() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// Records only the time of the last post: no allocation, no lock.
class StampingKeyEvents final : public KeyEvents {
public:
    std::atomic<std::int64_t> lastPost{0};
    std::atomic<long> posted{0};
    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t key, bool down) override {
        return KeyEvent{key, down, std::nullopt};
    }
    void post(const KeyEvent&) override {
        posted.fetch_add(1, std::memory_order_relaxed);
        lastPost.store(nowNs(), std::memory_order_release);
    }
};

void percentiles(benchmark::State& state, std::vector<double>& samples, const char* prefix) {
    std::sort(samples.begin(), samples.end());
    state.counters[std::string(prefix) + "median_ns"] = samples[samples.size() / 2];
    state.counters[std::string(prefix) + "p99_ns"] = samples[samples.size() * 99 / 100];
}

void BM_CompletionToLastKeyEvent(benchmark::State& state) {
    Log::setListener(nullptr);
    AsioSerialQueue queue;
    ThreadMainQueue mainQueue;
    sim::SimulatedUsbHost host(queue);
    StampingKeyEvents keys;
    const auto stick = host.plug({});
    auto bridge = StickBridge::create(queue, mainQueue, host, keys, [] { return true; });
    bridge->start();
    host.waitForReadPending(stick, std::chrono::seconds(5));

    // Alternating reports: A and the D-pad left down, then everything up; each posts two events.
    std::vector<std::uint8_t> pressed(18, 0), released(18, 0);
    pressed[0] = released[0] = 0x20;
    pressed[4] = 0x10;
    pressed[5] = 0x04;
    constexpr int warmup = 1000, measured = 100000;
    std::vector<double> latencies;
    latencies.reserve(measured);
    long long allocations = 0;
    for (auto _ : state) {
        latencies.clear();
        for (int i = 0; i < warmup + measured; ++i) {
            if (i == warmup) allocations = joyrelay::testing::allocations.load();
            const long before = keys.posted.load();
            host.completeRead(stick, (i % 2) ? released : pressed);
            while (keys.posted.load(std::memory_order_acquire) < before + 2) {
            }
            if (i >= warmup) latencies.push_back(static_cast<double>(keys.lastPost.load() - host.lastDeliveryNs()));
            host.waitForReadPending(stick, std::chrono::seconds(5));
        }
        allocations = joyrelay::testing::allocations.load() - allocations;
    }
    state.counters["reports"] = measured;
    state.counters["allocations_per_report"] = static_cast<double>(allocations) / measured;
    percentiles(state, latencies, "");
    host.unplug(stick);
    host.waitUntilClosed(stick, std::chrono::seconds(5));
}
BENCHMARK(BM_CompletionToLastKeyEvent)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SerialQueueWakeUp(benchmark::State& state) {
    AsioSerialQueue queue;
    constexpr int samples = 20000;
    std::vector<double> latencies(samples);
    std::atomic<int> done{0};
    for (auto _ : state) {
        for (int i = 0; i < samples; ++i) {
            const std::int64_t posted = nowNs();
            double* slot = &latencies[i];
            std::atomic<int>* flag = &done;
            queue.async([posted, slot, flag] {
                *slot = static_cast<double>(nowNs() - posted);
                flag->fetch_add(1, std::memory_order_release);
            });
            while (done.load(std::memory_order_acquire) <= i) {
            }
            // Let the queue thread go back to sleep, so that each sample is a real wake-up.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    percentiles(state, latencies, "");
}
BENCHMARK(BM_SerialQueueWakeUp)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
