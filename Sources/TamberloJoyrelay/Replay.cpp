#include "Replay.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

#include "Capture.hpp"
#include "JoyrelayCore/GIP.hpp"
#include "KeyPoster.hpp"
#include "simulated/PrintedKeyEvents.hpp"

namespace joyrelay {

int runReplay(const std::string& path, bool fast) {
    const CaptureParse capture = loadCapture(path);
    if (capture.error) {
        std::fprintf(stderr, "tamberlo-joyrelay: %s\n", capture.error->c_str());
        return 2;
    }
    double now = 0;
    PrintedKeyEvents printed(stdout, [&now] { return now; });
    KeyPoster poster(printed);
    StickState state;
    KeyState keys;
    bool plugged = true;
    const auto start = std::chrono::steady_clock::now();
    for (const CaptureEvent& e : capture.events) {
        if (!fast) {
            std::this_thread::sleep_until(start + std::chrono::duration<double, std::milli>(e.timeMs));
        }
        now = e.timeMs;
        switch (e.kind) {
            case CaptureEvent::Kind::transfer:
                if (!plugged) break;
                if (auto report = InputReport::parse(e.bytes)) {
                    poster.post(keys.apply(state.wanted(*report), true));
                }
                break;
            case CaptureEvent::Kind::unplug:
                if (plugged) poster.post(keys.releaseAll());
                plugged = false;
                break;
            case CaptureEvent::Kind::plug:
                if (!plugged) {
                    state = StickState{};
                    keys = KeyState{};
                }
                plugged = true;
                break;
        }
    }
    poster.post(keys.releaseAll());
    std::fflush(stdout);
    return 0;
}

}  // namespace joyrelay
