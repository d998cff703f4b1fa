// --record FILE: every completed read of the claimed stick, saved as a capture (see Capture.hpp) that
// --replay plays back.
//
// What is written: a comment line, then one line per completed read ("<ms> <hex bytes>"), "<ms> unplug"
// when the stick is released and "<ms> plug" when a stick is claimed again. Times are milliseconds since
// the first claim, so the capture starts with the stick plugged, as the format expects. The file is
// created, or emptied, when recording starts.
//
// Threads. The tap's operations run on the bridge queue, on the per-report path: they copy the record
// into a ring buffer allocated up front (no allocation, no lock, no system call) and return. A writer
// thread of the recorder's own formats the records and writes them, at the latest every 100 ms, at once
// when the stick is released, and on flush() and destruction. When the writer falls behind and the
// buffer is full, records are dropped and counted, and a comment in the file says how many.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "contracts/TransferTap.hpp"

namespace joyrelay {

class StickBridge;

class CaptureRecorder final : public TransferTap {
public:
    static constexpr std::size_t defaultCapacity = 1u << 20;  // bytes of buffered records

    // Writes bytes to the file, as write(2) does (-1 with errno on failure). Tests pass one that
    // fails part-way, as a full disk does.
    using WriteFunction = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

    // Starts recording into `path`; nothing, with the reason in `error`, when the file cannot be
    // created or is not a regular file.
    static std::shared_ptr<CaptureRecorder> create(const std::string& path, std::string& error,
                                                   std::size_t capacity = defaultCapacity,
                                                   WriteFunction write = {});
    // Writes everything recorded, closes the file and stops the writer.
    ~CaptureRecorder() override;
    CaptureRecorder(const CaptureRecorder&) = delete;
    CaptureRecorder& operator=(const CaptureRecorder&) = delete;

    // TransferTap, on the bridge queue.
    void claimed() override;
    void transfer(std::span<const std::uint8_t> bytes) override;
    void released() override;

    // Returns once everything recorded before the call is in the file (it waits for the writer).
    void flush();

    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // A write failed and recording has stopped.
    bool stopped() const { return stopped_.load(std::memory_order_acquire); }
    const std::string& path() const { return path_; }

private:
    enum class Kind : std::uint8_t { transfer, unplug, plug };
    struct Header {
        double timeMs;
        std::uint32_t length;  // bytes that follow
        Kind kind;
    };

    CaptureRecorder(std::string path, int fd, std::uint64_t size, std::size_t capacity, WriteFunction write);
    void push(Kind kind, std::span<const std::uint8_t> bytes);
    double sinceStart() const;
    void copyIn(std::uint64_t at, const void* data, std::size_t size);
    void copyOut(std::uint64_t at, void* data, std::size_t size) const;
    void wake();
    void writerLoop();
    bool writePending();  // the writer's work: false when the file refused a write
    bool writeWhole(const std::string& lines);  // all of `lines`, or the file cut back and false

    std::string path_;
    int fd_;
    std::uint64_t size_;  // bytes of whole lines in the file
    WriteFunction write_;
    std::string batch_;   // writer
    std::vector<std::uint8_t> ring_;  // capacity is a power of two
    std::uint64_t mask_;
    std::atomic<std::uint64_t> head_{0};  // written by the bridge queue
    std::atomic<std::uint64_t> tail_{0};  // written by the writer
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<bool> stopped_{false};
    std::uint64_t droppedReported_ = 0;  // writer

    // Bridge queue only.
    bool started_ = false;
    std::chrono::steady_clock::time_point origin_{};

    std::mutex mutex_;
    std::condition_variable wakeWriter_;
    std::condition_variable written_;
    bool wakeRequested_ = false;
    bool stopping_ = false;
    std::uint64_t writtenUpTo_ = 0;
    std::thread writer_;
};

// For --record FILE: makes the recorder the bridge's transfer tap (call before start()) and logs
// where it records.
void attachRecorder(StickBridge& bridge, std::shared_ptr<CaptureRecorder> recorder);

}  // namespace joyrelay
