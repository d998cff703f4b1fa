// The recorder behind --record: what it writes is a capture that the replay accepts, and the part that
// runs on the bridge's per-report path neither allocates nor waits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "capture/Capture.hpp"
#include "capture/CaptureRecorder.hpp"
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

}  // namespace
