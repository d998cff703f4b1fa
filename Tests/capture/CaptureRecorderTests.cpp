// The recorder behind --record: what it writes is a capture that the replay accepts, also when the
// disk fills up, the part that runs on the bridge's per-report path neither allocates nor waits, and
// a destination that is not a regular file is refused at once.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <thread>
#include <cstring>

#include "capture/Capture.hpp"
#include "capture/CaptureRecorder.hpp"
#include "log/Log.hpp"
#include "support/TempDir.hpp"
#include "support/AllocationCounter.hpp"  // the recorder's writer thread allocates freely: count this one

using namespace joyrelay;


namespace {

class CaptureRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        path = (dir.path() / "stick.gip").string();
    }

    std::string contents() const { return joyrelay::testing::readFile(path); }

    joyrelay::testing::TempDir dir{"joyrelay-record"};
    std::string path;
};

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> v;
    for (int x : values) v.push_back(static_cast<std::uint8_t>(x));
    return v;
}

TEST_F(CaptureRecorderTest, RecordsReadsUnplugsAndLaterPlugsAsACaptureTheReplayAccepts) {
    std::ofstream(path) << "an older capture, replaced\n";
    std::string error;
    auto recorder = CaptureRecorder::create(path, error);
    ASSERT_TRUE(recorder) << error;

    const auto a = bytes({0x20, 0x00, 0x01, 0x0e, 0x10, 0x00});
    const auto b = bytes({0x20, 0x00, 0x02, 0x0e, 0x00, 0x04, 0xff});
    recorder->claimed();  // the first claim writes nothing: a capture starts plugged
    recorder->transfer(a);
    recorder->transfer(b);
    recorder->transfer({});
    recorder->released();
    recorder->claimed();
    recorder->transfer(a);
    recorder->flush();

    const CaptureParse parsed = parseCapture(contents(), "stick.gip");
    ASSERT_FALSE(parsed.error) << *parsed.error << "\n" << contents();
    using K = CaptureEvent::Kind;
    ASSERT_EQ(parsed.events.size(), 6u) << contents();
    const std::vector<K> kinds = {K::transfer, K::transfer, K::transfer, K::unplug, K::plug, K::transfer};
    for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(parsed.events[i].kind, kinds[i]) << i;
    EXPECT_EQ(parsed.events[0].bytes, a);
    EXPECT_EQ(parsed.events[1].bytes, b);
    EXPECT_TRUE(parsed.events[2].bytes.empty());
    EXPECT_EQ(parsed.events[5].bytes, a);
    EXPECT_GE(parsed.events[0].timeMs, 0.0);
    EXPECT_LT(parsed.events[0].timeMs, 1000.0) << "times count from the first claim";
    EXPECT_EQ(contents().find("an older capture"), std::string::npos);
    EXPECT_EQ(contents().rfind("# ", 0), 0u) << "starts with a comment saying what it is";
}

TEST_F(CaptureRecorderTest, ReleaseWritesTheFileOutWithoutBeingAsked) {
    std::string error;
    auto recorder = CaptureRecorder::create(path, error);
    ASSERT_TRUE(recorder) << error;
    recorder->claimed();
    recorder->transfer(bytes({0x20, 0x01}));
    recorder->released();
    // The writer is woken by the release; no flush() here.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (contents().find("unplug") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_NE(contents().find(" 20 01\n"), std::string::npos) << contents();
    EXPECT_NE(contents().find(" unplug\n"), std::string::npos) << contents();
}

TEST_F(CaptureRecorderTest, TheReadPathNeitherAllocatesNorBlocksAndAFullBufferDropsAndSaysSo) {
    std::string error;
    auto recorder = CaptureRecorder::create(path, error, 4096);
    ASSERT_TRUE(recorder) << error;
    recorder->claimed();
    const auto report = bytes({0x20, 0x00, 0x05, 0x0e, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    const long long before = joyrelay::testing::allocationsOnThisThread;
    for (int i = 0; i < 10000; ++i) recorder->transfer(report);
    EXPECT_EQ(joyrelay::testing::allocationsOnThisThread - before, 0);
    EXPECT_GT(recorder->dropped(), 0u) << "10000 reports do not fit in 4 KB before the writer runs";
    recorder->flush();

    const CaptureParse parsed = parseCapture(contents(), "stick.gip");
    ASSERT_FALSE(parsed.error) << *parsed.error;
    EXPECT_EQ(parsed.events.size() + recorder->dropped(), 10000u);
    std::ostringstream note;
    note << "# " << recorder->dropped() << " reports were not recorded";
    EXPECT_NE(contents().find(note.str()), std::string::npos) << contents().substr(0, 2000);
}

TEST_F(CaptureRecorderTest, AFileThatCannotBeCreatedIsRefusedWithTheReason) {
    std::string error;
    EXPECT_FALSE(CaptureRecorder::create((dir.path() / "missing" / "x.gip").string(), error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

// Records until the recorder stops, then checks that the file is a capture the replay accepts,
// ending with a whole line, and that one line said why. `log` gets the log lines meanwhile.
template <class LogLines>
void recordUntilFull(CaptureRecorder& recorder, const std::string& path, LogLines logLines) {
    const auto report = bytes({0x20, 0x00, 0x05, 0x0e, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    recorder.claimed();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!recorder.stopped() && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 100; ++i) recorder.transfer(report);
        recorder.released();
        recorder.claimed();
        recorder.flush();
    }
    ASSERT_TRUE(recorder.stopped()) << "the disk never filled";
    recorder.transfer(report);  // the stick goes on; nothing more is written
    recorder.flush();
    const std::string text = joyrelay::testing::readFile(path);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const CaptureParse parsed = parseCapture(text, "stick.gip");
    EXPECT_FALSE(parsed.error) << *parsed.error;
    EXPECT_GT(parsed.events.size(), 100u);
    const std::vector<std::string> log = logLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("record: cannot write " + path + " \u2014 No space left on device; recording stopped", 0), 0u)
        << log[0];
}

class FullDiskTest : public CaptureRecorderTest {
protected:
    void SetUp() override {
        CaptureRecorderTest::SetUp();
        Log::setListener([this](std::string_view line) {
            std::lock_guard guard(mutex);
            if (line.starts_with("record:")) log.emplace_back(line);
        });
    }
    void TearDown() override { Log::setListener(nullptr); }
    std::vector<std::string> lines() {
        std::lock_guard guard(mutex);
        return log;
    }
    std::mutex mutex;
    std::vector<std::string> log;
};

TEST_F(FullDiskTest, AWriteThatFailsPartWayIsCutBackToTheLastWholeLine) {
    // A disk with 20000 bytes free: the write that crosses it lands in part, then fails.
    auto budget = std::make_shared<std::size_t>(20000);
    auto disk = [budget](int fd, const void* data, std::size_t size) -> ssize_t {
        if (*budget == 0) {
            errno = ENOSPC;
            return -1;
        }
        const ssize_t n = ::write(fd, data, std::min(size, *budget));
        if (n > 0) *budget -= static_cast<std::size_t>(n);
        return n;
    };
    std::string error;
    auto recorder = CaptureRecorder::create(path, error, CaptureRecorder::defaultCapacity, disk);
    ASSERT_TRUE(recorder) << error;
    recordUntilFull(*recorder, path, [this] { return lines(); });
    EXPECT_LT(std::filesystem::file_size(path), 20000u);
}

TEST_F(FullDiskTest, AFullTmpfsEndsTheCaptureWithAWholeLine) {
    const auto mountPoint = dir.path() / "small";
    std::filesystem::create_directory(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a 64 KiB tmpfs here (" << std::strerror(errno)
                     << "; it needs root) — the injected failure above covers the cut-back";
    }
    struct Unmount {
        std::filesystem::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mountPoint};
    const std::string onTmpfs = (mountPoint / "stick.gip").string();
    std::string error;
    auto recorder = CaptureRecorder::create(onTmpfs, error);
    ASSERT_TRUE(recorder) << error;
    recordUntilFull(*recorder, onTmpfs, [this] { return lines(); });
    EXPECT_LE(std::filesystem::file_size(onTmpfs), 64u * 1024);
}

TEST_F(CaptureRecorderTest, AFifoOrADeviceIsRefusedAtOnceAndLeftAlone) {
    const auto fifo = dir.path() / "fifo.gip";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string error;
    EXPECT_FALSE(CaptureRecorder::create(fifo.string(), error)) << "nobody reads it: no wait";
    EXPECT_EQ(error, "not a regular file");
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    error.clear();
    EXPECT_FALSE(CaptureRecorder::create(fifo.string(), error)) << "with a reader";
    EXPECT_EQ(error, "not a regular file");
    char byte;
    EXPECT_EQ(::read(reader, &byte, 1), 0) << "nothing was written into it";
    ::close(reader);
    error.clear();
    EXPECT_FALSE(CaptureRecorder::create("/dev/null", error));
    EXPECT_EQ(error, "not a regular file");
}

}  // namespace
