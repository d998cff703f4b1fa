// The last answer about the frontmost application, reused for a short while. The window system's
// activation notices clear it; its age bounds how long a missed notice can leave it wrong, and is
// kept below the gate's 1 s recheck, so that every recheck asks the window system again.
#pragma once

#include <chrono>
#include <optional>

#include "contracts/DesktopServices.hpp"

namespace joyrelay {

class FrontmostCache {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds defaultMaxAge{500};

    // Zero: every question is read afresh.
    void setMaxAge(std::chrono::milliseconds age) { maxAge_ = age; }

    // A notice said the frontmost application changed.
    void forget() { known_ = false; }

    // The cached answer while it is younger than the maximum age, else `read()`'s, kept from `now`.
    template <class Read>
    const std::optional<FrontmostApplication>& get(Clock::time_point now, Read&& read) {
        if (!known_ || now - readAt_ >= maxAge_) {
            value_ = read();
            known_ = true;
            readAt_ = now;
        }
        return value_;
    }

private:
    std::chrono::milliseconds maxAge_ = defaultMaxAge;
    bool known_ = false;
    Clock::time_point readAt_;
    std::optional<FrontmostApplication> value_;
};

}  // namespace joyrelay
