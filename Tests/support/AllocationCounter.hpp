// Counts heap allocations by replacing the global operator new: in the whole process, on the calling
// thread, and on the threads marked for counting. Include it in exactly one translation unit of a
// test or benchmark program.
#pragma once

#include <sys/prctl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace joyrelay::testing {

// Every allocation the process made.
inline std::atomic<long long> allocations{0};
// The allocations the calling thread made.
inline thread_local long long allocationsOnThisThread = 0;
// The allocations the marked threads made.
inline std::atomic<long long> allocationsOnMarkedThreads{0};

// Whether the calling thread is counted in allocationsOnMarkedThreads: set it from the thread itself,
// or leave it unset (-1) to have it decided by the thread's name on its first allocation.
inline thread_local int markedThread = -1;
// The name (as prctl(PR_GET_NAME) reports it) of threads marked by name; none when empty.
inline const char* markedThreadName = "";

inline bool onMarkedThread() {
    if (markedThread < 0) {
        char name[17] = {};
        ::prctl(PR_GET_NAME, name);
        markedThread = *markedThreadName != '\0' && std::strcmp(name, markedThreadName) == 0 ? 1 : 0;
    }
    return markedThread == 1;
}

}  // namespace joyrelay::testing

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    joyrelay::testing::allocations.fetch_add(1, std::memory_order_relaxed);
    ++joyrelay::testing::allocationsOnThisThread;
    if (joyrelay::testing::onMarkedThread()) {
        joyrelay::testing::allocationsOnMarkedThreads.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
