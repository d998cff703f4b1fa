// The per-report path (parse, wanted, apply) over the demo capture: time per report and heap
// allocations on the path.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/AllocationCounter.hpp"
#include "capture/Capture.hpp"
#include "JoyrelayCore/GIP.hpp"

using namespace joyrelay;

namespace {

std::vector<std::vector<std::uint8_t>> demoTransfers() {
    const CaptureParse capture = loadCapture(JOYRELAY_SOURCE_DIR "/samples/demo.gip");
    if (capture.error) {
        std::fprintf(stderr, "%s\n", capture.error->c_str());
        std::exit(1);
    }
    std::vector<std::vector<std::uint8_t>> transfers;
    for (const CaptureEvent& e : capture.events) {
        if (e.kind == CaptureEvent::Kind::transfer) transfers.push_back(e.bytes);
    }
    return transfers;
}

void BM_ReportPath(benchmark::State& state) {
    const auto transfers = demoTransfers();
    StickState stick;
    KeyState held;
    std::size_t i = 0;
    std::size_t transitions = 0;
    const long long before = joyrelay::testing::allocations.load();
    for (auto _ : state) {
        const auto& bytes = transfers[i];
        if (++i == transfers.size()) i = 0;
        if (const auto report = InputReport::parse(bytes)) {
            const TransitionList list = held.apply(stick.wanted(*report), true);
            transitions += list.size();
            benchmark::DoNotOptimize(list);
        }
    }
    const long long allocated = joyrelay::testing::allocations.load() - before;
    state.counters["allocations_per_report"] =
        benchmark::Counter(static_cast<double>(allocated) / static_cast<double>(state.iterations()));
    state.counters["transitions"] = static_cast<double>(transitions);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportPath);

}  // namespace

BENCHMARK_MAIN();
