#include "queues/Queues.hpp"

#include <asio/bind_allocator.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <future>
#include <memory>

namespace joyrelay {

namespace {

// A std-style allocator over a HandlerPool, bound to each posted work item.
template <class T>
struct PoolAllocator {
    using value_type = T;
    HandlerPool* pool;
    explicit PoolAllocator(HandlerPool* p) : pool(p) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}
    T* allocate(std::size_t n) { return static_cast<T*>(pool->allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) { pool->deallocate(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const PoolAllocator<U>& o) const { return pool == o.pool; }
};

}  // namespace

HandlerPool::~HandlerPool() {
    for (void* p : free_) ::operator delete(p);
}

void* HandlerPool::allocate(std::size_t size) {
    if (size <= blockSize) {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            void* p = free_.back();
            free_.pop_back();
            return p;
        }
        return ::operator new(blockSize);
    }
    return ::operator new(size);
}

void HandlerPool::deallocate(void* p, std::size_t size) {
    if (size <= blockSize) {
        std::lock_guard lock(mutex_);
        if (free_.size() < 64) {
            free_.push_back(p);
            return;
        }
    }
    ::operator delete(p);
}

AsioSerialQueue::AsioSerialQueue()
    : guard_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}

AsioSerialQueue::~AsioSerialQueue() {
    guard_.reset();
    io_.stop();
    thread_.join();
}

void AsioSerialQueue::async(Work work) {
    asio::post(io_, asio::bind_allocator(PoolAllocator<void>(&pool_), std::move(work)));
}

void AsioSerialQueue::asyncAfter(std::chrono::nanoseconds delay, Work work) {
    auto timer = std::make_shared<asio::steady_timer>(io_, delay);
    timer->async_wait([timer, work = std::move(work)](const std::error_code& ec) {
        if (!ec) work();
    });
}

void AsioSerialQueue::pause(std::chrono::microseconds duration) { std::this_thread::sleep_for(duration); }

std::chrono::nanoseconds AsioSerialQueue::now() const {
    return std::chrono::steady_clock::now().time_since_epoch();
}

void AsioSerialQueue::sync(Work work) {
    std::promise<void> done;
    async([&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

ThreadMainQueue::ThreadMainQueue()
    : thread_([this] {
          std::unique_lock lock(mutex_);
          for (;;) {
              wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
              if (items_.empty()) return;
              Work work = std::move(items_.front());
              items_.pop_front();
              lock.unlock();
              work();
              lock.lock();
          }
      }) {}

ThreadMainQueue::~ThreadMainQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void ThreadMainQueue::async(Work work) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void ManualQueue::async(Work work) {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(work));
}

void ManualQueue::asyncAfter(std::chrono::nanoseconds delay, Work work) {
    std::lock_guard lock(mutex_);
    timers_.emplace(now_ + delay, std::move(work));
}

void ManualQueue::pause(std::chrono::microseconds duration) {
    std::lock_guard lock(mutex_);
    now_ += duration;
    paused_ += duration;
}

std::chrono::nanoseconds ManualQueue::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool ManualQueue::runOne() {
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

std::size_t ManualQueue::runUntilIdle() {
    std::size_t n = 0;
    while (runOne()) ++n;
    return n;
}

void ManualQueue::advance(std::chrono::nanoseconds delta) {
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

void ManualQueue::runAll(std::chrono::nanoseconds limit) {
    const auto deadline = now() + limit;
    for (;;) {
        runUntilIdle();
        std::optional<std::chrono::nanoseconds> next = nextTimerIn();
        if (!next || now() + *next > deadline) return;
        advance(*next);
    }
}

std::size_t ManualQueue::pendingTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

std::optional<std::chrono::nanoseconds> ManualQueue::nextTimerIn() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first > now_ ? timers_.begin()->first - now_ : std::chrono::nanoseconds(0);
}

void ManualMainQueue::async(Work work) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
}

std::size_t ManualMainQueue::runAll() {
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

std::size_t ManualMainQueue::pending() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

}  // namespace joyrelay
