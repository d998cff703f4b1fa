// The cost of posting one key event through each output that can run here: XTest (when DISPLAY
// names an X server), printed lines (to /dev/null), the recording output, and the uinput keyboard's
// own work up to its device write (into a sink that drops the events; /dev/uinput may be missing).
// BM_XTestServerGrab measures how long a key press holds the X server grabbed: the check of the
// window the press would reach, the keyboard grab test, the press, and the release of the server.
#include <benchmark/benchmark.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
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

// The time from the server grab to its release around one press (beginPresses, the press, endPresses),
// with a window of Chromium's class active and focused; the release of the key and a round trip follow
// outside the timing. "requests" counts those sent under the grab. Runs on a display without a window
// manager, or with one that leaves the active window alone for the moment.
void BM_XTestServerGrab(benchmark::State& state) {
    std::string error;
    const char* name = std::getenv("DISPLAY");
    std::unique_ptr<XTestKeyEvents> events = name ? XTestKeyEvents::create(nullptr, &error) : nullptr;
    Display* d = name ? XOpenDisplay(nullptr) : nullptr;
    if (!events || !d) {
        state.SkipWithError(name ? error.c_str() : "DISPLAY is not set: no X server to post to");
        if (d) XCloseDisplay(d);
        return;
    }
    const Window root = DefaultRootWindow(d);
    const Window browser = XCreateSimpleWindow(d, root, 0, 0, 64, 64, 0, 0, 0);
    XClassHint hint{const_cast<char*>("chromium"), const_cast<char*>("Chromium")};
    XSetClassHint(d, browser, &hint);
    XMapWindow(d, browser);
    XSync(d, False);
    const Atom active = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    XChangeProperty(d, root, active, XA_WINDOW, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&browser), 1);
    XSetInputFocus(d, browser, RevertToParent, CurrentTime);
    XSync(d, False);
    events->checkPresses(true);
    const auto key = events->createKeyboardEvent(rawValue(ArcadeKey::z), true);
    const auto up = events->createKeyboardEvent(rawValue(ArcadeKey::z), false);
    unsigned long requests = 0;
    std::int64_t refused = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const bool browserInFront = events->beginPresses();
        if (browserInFront) events->post(*key);
        events->endPresses();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        refused += browserInFront ? 0 : 1;
        requests = events->lastGrabRequests();
        events->post(*up);
        events->sync();
    }
    state.counters["requests"] = static_cast<double>(requests);
    state.counters["refused"] = static_cast<double>(refused);
    XDestroyWindow(d, browser);
    XCloseDisplay(d);
}
BENCHMARK(BM_XTestServerGrab)->UseManualTime()->Unit(benchmark::kMicrosecond);

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
