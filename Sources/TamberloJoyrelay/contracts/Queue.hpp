// Queues: where work runs.
//
// SerialQueue is the bridge's queue: work items run one at a time, in submission order, on one
// thread; delayed items run no earlier than their deadline. MainQueue hands work to the main thread
// (Qt's event loop in the application, a manual queue in tests).
#pragma once

#include <chrono>
#include <functional>

namespace joyrelay {

using Work = std::function<void()>;

class SerialQueue {
public:
    virtual ~SerialQueue() = default;

    // Runs `work` on the queue after everything submitted before it. Callable from any thread,
    // including the queue's own; never runs `work` inline.
    virtual void async(Work work) = 0;

    // Runs `work` on the queue once `delay` has passed (measured on the queue's clock).
    virtual void asyncAfter(std::chrono::nanoseconds delay, Work work) = 0;

    // Blocks the calling work item for `duration`: nothing else runs on the queue meanwhile.
    // Only called from work running on this queue.
    virtual void pause(std::chrono::microseconds duration) = 0;

    // The queue's clock, in nanoseconds since an arbitrary origin.
    virtual std::chrono::nanoseconds now() const = 0;
};

class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Runs `work` later on the main thread, in submission order. Callable from any thread.
    virtual void async(Work work) = 0;
};

}  // namespace joyrelay
