// The cost of posting one key event through each output that can run here: XTest (when DISPLAY
// names an X server), printed lines (to /dev/null), the recording output, and the uinput keyboard's
// own work up to its device write (into a sink that drops the events; /dev/uinput may be missing).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bridge/KeyPoster.hpp"
#include "platform/linux/keys/UinputKeyEvents.hpp"
#include "platform/linux/keys/XTestKeyEvents.hpp"
#include "platform/simulated/PrintedKeyEvents.hpp"
#include "support/RecordingKeyEvents.hpp"

using namespace joyrelay;

namespace {

// One event per iteration: z goes down, then up, then down again, so nothing stays held.
void postAlternating(benchmark::State& state, KeyEvents& events) {
    KeyPoster poster(events);
    bool down = true;
    for (auto _ : state) {
        poster.post(ArcadeKey::z, down);
        down = !down;
    }
    if (!down) poster.post(ArcadeKey::z, false);
    state.SetItemsProcessed(state.iterations());
}

void BM_PostXTest(benchmark::State& state) {
    std::string error;
    const char* display = std::getenv("DISPLAY");
    std::unique_ptr<XTestKeyEvents> events = display ? XTestKeyEvents::create(nullptr, &error) : nullptr;
    if (!events) {
        state.SkipWithError(display ? error.c_str() : "DISPLAY is not set: no X server to post to");
        return;
    }
    postAlternating(state, *events);
}
BENCHMARK(BM_PostXTest);

void BM_PostPrinted(benchmark::State& state) {
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (!sink) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    PrintedKeyEvents events(sink, [] { return 1234.5; });
    postAlternating(state, events);
    std::fclose(sink);
}
BENCHMARK(BM_PostPrinted);

void BM_PostRecording(benchmark::State& state) {
    RecordingKeyEvents events;
    events.reserve(static_cast<std::size_t>(state.max_iterations) + 1);
    postAlternating(state, events);
}
BENCHMARK(BM_PostRecording);

class DroppingSink final : public UinputSink {
public:
    int write(unsigned type, unsigned code, int value) override {
        benchmark::DoNotOptimize(type + code + static_cast<unsigned>(value));
        return 0;
    }
};

void BM_PostUinputUpToTheDevice(benchmark::State& state) {
    DroppingSink sink;
    UinputKeyEvents events(sink);
    postAlternating(state, events);
}
BENCHMARK(BM_PostUinputUpToTheDevice);

void BM_PostUinputDevice(benchmark::State& state) {
    std::string error;
    std::unique_ptr<UinputKeyEvents> events = UinputKeyEvents::create(&error);
    if (!events) {
        state.SkipWithError(error.c_str());
        return;
    }
    postAlternating(state, *events);
}
BENCHMARK(BM_PostUinputDevice);

}  // namespace

BENCHMARK_MAIN();
