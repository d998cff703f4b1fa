// Queues on a virtual clock, driven by the test: nothing runs until the test asks, and pauses and
// delays cost no real time.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "contracts/Queue.hpp"

namespace joyrelay {

// A serial queue on a virtual clock, driven by the test. Nothing runs until the test asks; pauses and
// delays cost no real time.
class ManualQueue final : public SerialQueue {
public:
    void async(Work work) override;
    void asyncAfter(std::chrono::nanoseconds delay, Work work) override;
    void pause(std::chrono::microseconds duration) override;
    std::chrono::nanoseconds now() const override;

    // Runs ready work (and timers already due) until there is none. Returns the number of items run.
    std::size_t runUntilIdle();
    // Moves the clock forward by `delta`, running every timer that falls due on the way, in order.
    void advance(std::chrono::nanoseconds delta);
    // Runs until nothing is ready and no timer is pending, or `limit` has passed on the clock.
    void runAll(std::chrono::nanoseconds limit = std::chrono::hours(1));

    std::size_t pendingTimers() const;
    // When the earliest pending timer falls due, relative to now; none without timers.
    std::optional<std::chrono::nanoseconds> nextTimerIn() const;
    // Total time work spent blocked in pause().
    std::chrono::nanoseconds pausedFor() const { return paused_; }

private:
    bool runOne();
    mutable std::mutex mutex_;
    std::chrono::nanoseconds now_{0};
    std::chrono::nanoseconds paused_{0};
    std::deque<Work> ready_;
    std::multimap<std::chrono::nanoseconds, Work> timers_;  // equal deadlines keep submission order
};

// A main queue that runs only when the test asks.
class ManualMainQueue final : public MainQueue {
public:
    void async(Work work) override;
    std::size_t runAll();
    std::size_t pending() const;

private:
    mutable std::mutex mutex_;
    std::deque<Work> items_;
};

inline void ManualQueue::async(Work work) {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(work));
}

inline void ManualQueue::asyncAfter(std::chrono::nanoseconds delay, Work work) {
    std::lock_guard lock(mutex_);
    timers_.emplace(now_ + delay, std::move(work));
}

inline void ManualQueue::pause(std::chrono::microseconds duration) {
    std::lock_guard lock(mutex_);
    now_ += duration;
    paused_ += duration;
}

inline std::chrono::nanoseconds ManualQueue::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

inline bool ManualQueue::runOne() {
    Work work;
    {
        std::lock_guard lock(mutex_);
        if (!ready_.empty()) {
            work = std::move(ready_.front());
            ready_.pop_front();
        } else if (!timers_.empty() && timers_.begin()->first <= now_) {
            work = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
        } else {
            return false;
        }
    }
    work();
    return true;
}

inline std::size_t ManualQueue::runUntilIdle() {
    std::size_t n = 0;
    while (runOne()) ++n;
    return n;
}

inline void ManualQueue::advance(std::chrono::nanoseconds delta) {
    std::chrono::nanoseconds target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + delta;
    }
    for (;;) {
        runUntilIdle();
        std::lock_guard lock(mutex_);
        if (timers_.empty() || timers_.begin()->first > target) break;
        if (timers_.begin()->first > now_) now_ = timers_.begin()->first;
    }
    std::lock_guard lock(mutex_);
    if (now_ < target) now_ = target;
}

inline void ManualQueue::runAll(std::chrono::nanoseconds limit) {
    const auto deadline = now() + limit;
    for (;;) {
        runUntilIdle();
        std::optional<std::chrono::nanoseconds> next = nextTimerIn();
        if (!next || now() + *next > deadline) return;
        advance(*next);
    }
}

inline std::size_t ManualQueue::pendingTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

inline std::optional<std::chrono::nanoseconds> ManualQueue::nextTimerIn() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first > now_ ? timers_.begin()->first - now_ : std::chrono::nanoseconds(0);
}

inline void ManualMainQueue::async(Work work) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
}

inline std::size_t ManualMainQueue::runAll() {
    std::size_t n = 0;
    for (;;) {
        Work work;
        {
            std::lock_guard lock(mutex_);
            if (items_.empty()) return n;
            work = std::move(items_.front());
            items_.pop_front();
        }
        work();
        ++n;
    }
}

inline std::size_t ManualMainQueue::pending() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

}  // namespace joyrelay
