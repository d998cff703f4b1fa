// Queue implementations: the real serial queue (one thread running an Asio io_context), and a main
// queue served by its own thread (for runs without a GUI event loop).
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "contracts/Queue.hpp"

namespace joyrelay {

// Recycles the memory of posted work items, so that posting from another thread does not allocate
// once the pool has warmed up. Blocks are of one size; larger requests go to the heap.
class HandlerPool {
public:
    static constexpr std::size_t blockSize = 256;
    HandlerPool() = default;
    HandlerPool(const HandlerPool&) = delete;
    HandlerPool& operator=(const HandlerPool&) = delete;
    ~HandlerPool();
    void* allocate(std::size_t size);
    void deallocate(void* p, std::size_t size);

private:
    std::mutex mutex_;
    std::vector<void*> free_;
};

// One thread running an io_context: work items run in order; timers on the steady clock.
class AsioSerialQueue final : public SerialQueue {
public:
    AsioSerialQueue();
    // Stops the thread. Work and timers not yet run are dropped (their captured state is destroyed).
    ~AsioSerialQueue() override;
    AsioSerialQueue(const AsioSerialQueue&) = delete;
    AsioSerialQueue& operator=(const AsioSerialQueue&) = delete;

    void async(Work work) override;
    void asyncAfter(std::chrono::nanoseconds delay, Work work) override;
    void pause(std::chrono::microseconds duration) override;
    std::chrono::nanoseconds now() const override;

    // Runs `work` on the queue and waits until it has run. Must not be called from the queue itself.
    void sync(Work work);

private:
    HandlerPool pool_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread thread_;
};

// A main queue served by one thread of its own, for headless runs and replay.
class ThreadMainQueue final : public MainQueue {
public:
    ThreadMainQueue();
    ~ThreadMainQueue() override;  // runs what is queued, then stops
    void async(Work work) override;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Work> items_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace joyrelay
