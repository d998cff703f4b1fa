// Waiting for a condition with a deadline, instead of sleeping for a guessed time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace joyrelay::testing {

using namespace std::chrono_literals;

// Polls `condition` every few milliseconds until it holds or `timeout` has passed; `between` runs
// after each failed check (an event pump, for example).
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s,
                      const std::function<void()>& between = {}) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (between) {
            between();
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
    return true;
}

}  // namespace joyrelay::testing
