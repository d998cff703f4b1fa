#include "capture/CaptureRecorder.hpp"

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
                                                         std::size_t capacity) {
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (file == nullptr) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::fputs(
        "# Tamberlo Joyrelay capture, recorded with --record; times in ms since the stick was first "
        "claimed\n",
        file);
    std::fflush(file);
    return std::shared_ptr<CaptureRecorder>(new CaptureRecorder(path, file, capacity));
}

CaptureRecorder::CaptureRecorder(std::string path, std::FILE* file, std::size_t capacity)
    : path_(std::move(path)),
      file_(file),
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
    std::fclose(file_);
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
    if (started_) push(Kind::transfer, bytes);
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
    written_.wait(lock, [&] { return writtenUpTo_ >= target || failed_ || stopping_; });
}

bool CaptureRecorder::writePending() {
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head && dropped_.load(std::memory_order_relaxed) == droppedReported_) return true;
    std::vector<std::uint8_t> bytes;
    bool ok = true;
    while (tail < head) {
        Header header;
        copyOut(tail, &header, sizeof header);
        bytes.resize(header.length);
        if (header.length > 0) copyOut(tail + sizeof header, bytes.data(), header.length);
        tail += sizeof header + header.length;
        tail_.store(tail, std::memory_order_release);
        std::string line =
            header.kind == Kind::transfer
                ? captureLine(header.timeMs, bytes.data(), bytes.size())
                : captureLine(header.timeMs, header.kind == Kind::plug ? CaptureEvent::Kind::plug
                                                                       : CaptureEvent::Kind::unplug);
        line.push_back('\n');
        ok = std::fwrite(line.data(), 1, line.size(), file_) == line.size() && ok;
    }
    if (const std::uint64_t dropped = dropped_.load(std::memory_order_relaxed); dropped != droppedReported_) {
        std::fprintf(file_, "# %llu reports were not recorded: the writer fell behind\n",
                     static_cast<unsigned long long>(dropped - droppedReported_));
        droppedReported_ = dropped;
    }
    return std::fflush(file_) == 0 && ok;
}

void CaptureRecorder::writerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wakeWriter_.wait_for(lock, writeInterval, [&] { return wakeRequested_ || stopping_; });
        wakeRequested_ = false;
        const bool last = stopping_;
        lock.unlock();
        const std::uint64_t upTo = head_.load(std::memory_order_acquire);
        const bool ok = writePending();
        lock.lock();
        if (!ok && !failed_) {
            failed_ = true;
            lock.unlock();
            Log::info("record: cannot write " + path_ + ": " + std::strerror(errno));
            lock.lock();
        }
        writtenUpTo_ = std::max(writtenUpTo_, upTo);
        written_.notify_all();
        if (last) return;
    }
}

std::shared_ptr<CaptureRecorder> attachRecorder(StickBridge& bridge, const std::string& path) {
    std::string error;
    std::shared_ptr<CaptureRecorder> recorder = CaptureRecorder::create(path, error);
    if (!recorder) {
        Log::info("record: cannot create " + path + ": " + error);
        return nullptr;
    }
    Log::info("record: saving the stick's reports to " + path);
    bridge.setTap(recorder);
    return recorder;
}

}  // namespace joyrelay
