#include "capture/CaptureRecorder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/StickBridge.hpp"
#include "capture/Capture.hpp"
#include "log/Log.hpp"

namespace joyrelay {

namespace {
constexpr auto writeInterval = std::chrono::milliseconds(100);

std::size_t powerOfTwoAtLeast(std::size_t n) {
    std::size_t p = 4096;
    while (p < n) p <<= 1;
    return p;
}
}  // namespace

std::shared_ptr<CaptureRecorder> CaptureRecorder::create(const std::string& path, std::string& error,
                                                         std::size_t capacity, WriteFunction write) {
    // Without blocking: a FIFO would wait for a reader. Emptied only once it is known to be a file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        error = errno == ENXIO ? "not a regular file" : std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = "not a regular file";
        return nullptr;
    }
    if (::ftruncate(fd, 0) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!write) write = [](int to, const void* data, std::size_t size) { return ::write(to, data, size); };
    std::shared_ptr<CaptureRecorder> recorder(new CaptureRecorder(path, fd, 0, capacity, std::move(write)));
    if (!recorder->writeWhole(
            "# Tamberlo Joyrelay capture, recorded with --record; times in ms since the stick was first "
            "claimed\n")) {
        error = std::strerror(errno);
        return nullptr;
    }
    return recorder;
}

CaptureRecorder::CaptureRecorder(std::string path, int fd, std::uint64_t size, std::size_t capacity,
                                 WriteFunction write)
    : path_(std::move(path)),
      fd_(fd),
      size_(size),
      write_(std::move(write)),
      ring_(powerOfTwoAtLeast(capacity)),
      mask_(ring_.size() - 1),
      writer_([this] { writerLoop(); }) {}

CaptureRecorder::~CaptureRecorder() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wakeWriter_.notify_one();
    writer_.join();
    ::close(fd_);
}

bool CaptureRecorder::writeWhole(const std::string& lines) {
    const char* data = lines.data();
    std::size_t left = lines.size();
    while (left > 0) {
        const ssize_t n = write_(fd_, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // Whatever part of these lines got in goes again: the file ends with a whole line.
            [[maybe_unused]] const int cut = ::ftruncate(fd_, static_cast<off_t>(size_));
            errno = error;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    size_ += lines.size();
    return true;
}

double CaptureRecorder::sinceStart() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin_).count();
}

void CaptureRecorder::claimed() {
    if (!started_) {  // a capture starts with the stick plugged
        started_ = true;
        origin_ = std::chrono::steady_clock::now();
        return;
    }
    push(Kind::plug, {});
}

void CaptureRecorder::transfer(std::span<const std::uint8_t> bytes) {
    if (started_ && !stopped_.load(std::memory_order_relaxed)) push(Kind::transfer, bytes);
}

void CaptureRecorder::released() {
    if (!started_) return;
    push(Kind::unplug, {});
    wake();  // a release is the moment a user may stop and attach the file: write it out now
}

void CaptureRecorder::copyIn(std::uint64_t at, const void* data, std::size_t size) {
    const std::size_t offset = at & mask_;
    const std::size_t first = std::min(size, ring_.size() - offset);
    std::memcpy(ring_.data() + offset, data, first);
    std::memcpy(ring_.data(), static_cast<const std::uint8_t*>(data) + first, size - first);
}

void CaptureRecorder::copyOut(std::uint64_t at, void* data, std::size_t size) const {
    const std::size_t offset = at & mask_;
    const std::size_t first = std::min(size, ring_.size() - offset);
    std::memcpy(data, ring_.data() + offset, first);
    std::memcpy(static_cast<std::uint8_t*>(data) + first, ring_.data(), size - first);
}

void CaptureRecorder::push(Kind kind, std::span<const std::uint8_t> bytes) {
    const Header header{sinceStart(), static_cast<std::uint32_t>(bytes.size()), kind};
    const std::uint64_t need = sizeof header + bytes.size();
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (need > ring_.size() - (head - tail_.load(std::memory_order_acquire))) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    copyIn(head, &header, sizeof header);
    if (!bytes.empty()) copyIn(head + sizeof header, bytes.data(), bytes.size());
    head_.store(head + need, std::memory_order_release);
}

void CaptureRecorder::wake() {
    {
        std::lock_guard lock(mutex_);
        wakeRequested_ = true;
    }
    wakeWriter_.notify_one();
}

void CaptureRecorder::flush() {
    const std::uint64_t target = head_.load(std::memory_order_acquire);
    wake();
    std::unique_lock lock(mutex_);
    written_.wait(lock, [&] { return writtenUpTo_ >= target || stopped_.load() || stopping_; });
}

bool CaptureRecorder::writePending() {
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t dropped = dropped_.load(std::memory_order_relaxed);
    if (tail == head && dropped == droppedReported_) return true;
    if (stopped_.load(std::memory_order_relaxed)) {  // nothing more goes into the file
        tail_.store(head, std::memory_order_release);
        return true;
    }
    std::vector<std::uint8_t> bytes;
    batch_.clear();
    while (tail < head) {
        Header header;
        copyOut(tail, &header, sizeof header);
        bytes.resize(header.length);
        if (header.length > 0) copyOut(tail + sizeof header, bytes.data(), header.length);
        tail += sizeof header + header.length;
        batch_ += header.kind == Kind::transfer
                      ? captureLine(header.timeMs, bytes.data(), bytes.size())
                      : captureLine(header.timeMs, header.kind == Kind::plug ? CaptureEvent::Kind::plug
                                                                             : CaptureEvent::Kind::unplug);
        batch_.push_back('\n');
    }
    tail_.store(tail, std::memory_order_release);
    if (dropped != droppedReported_) {
        batch_ += "# " + std::to_string(dropped - droppedReported_) +
                  " reports were not recorded: the writer fell behind\n";
        droppedReported_ = dropped;
    }
    return writeWhole(batch_);
}

void CaptureRecorder::writerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wakeWriter_.wait_for(lock, writeInterval, [&] { return wakeRequested_ || stopping_; });
        wakeRequested_ = false;
        const bool last = stopping_;
        lock.unlock();
        const std::uint64_t upTo = head_.load(std::memory_order_acquire);
        if (!writePending()) {
            const int error = errno;
            stopped_.store(true, std::memory_order_release);
            Log::info("record: cannot write " + path_ + " \u2014 " + std::strerror(error) +
                      "; recording stopped, the capture ends with its last whole line");
        }
        lock.lock();
        writtenUpTo_ = std::max(writtenUpTo_, upTo);
        written_.notify_all();
        if (last) return;
    }
}

void attachRecorder(StickBridge& bridge, std::shared_ptr<CaptureRecorder> recorder) {
    Log::info("record: saving the stick's reports to " + recorder->path());
    bridge.setTap(std::move(recorder));
}

}  // namespace joyrelay
