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

}  // namespace joyrelay
