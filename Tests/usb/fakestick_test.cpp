// Proves the emulated-USB harness with bare_reader (a plain libusb program) as the program under
// test: each test runs the unmodified binary against a fresh testbed and checks what the stick saw
// and what the program printed.
#include "FakeStick.hpp"
#include "TestbedTest.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

using namespace fakestick;

namespace {

const Bytes kPowerOn{0x05, 0x20, 0x00, 0x01, 0x00};

Clock::time_point in(Clock::duration d) { return Clock::now() + d; }
std::function<bool(const std::string&)> has(std::string text) {
    return [text](const std::string& line) { return line.find(text) != std::string::npos; };
}
std::function<bool(const std::string&)> echoes(const Bytes& report) {
    return [report](const std::string& line) { return parseReaderLine(line) == report; };
}

class UsbHarness : public TestbedTest {
protected:
    void TearDown() override {
        readers.clear();  // programs go before the testbed that serves them
        TestbedTest::TearDown();
    }

    Program& startReader(std::vector<std::string> args = {}) {
        args.insert(args.begin(), BARE_READER_PATH);
        readers.push_back(tb->spawn(args));
        return *readers.back();
    }
    // Starts a reader and waits until it has claimed the stick, sent the power-on packet and has
    // its IN transfer outstanding.
    Program& startReading(FakeStick& stick) {
        Program& r = startReader();
        const int pendingBefore = 0;
        EXPECT_TRUE(r.waitForStderrLine(has("reading"), in(10s))) << r.describe();
        EXPECT_TRUE(stick.waitFor([&](const Stats& s) { return s.pendingIn > pendingBefore; }, in(5s))) << r.describe();
        return r;
    }
    static void expectOnlyKnownIoctls(const FakeStick& stick) {
        const Stats s = stick.stats();
        EXPECT_EQ(s.unknownIoctls, 0) << "last unknown ioctl 0x" << std::hex << s.lastUnknownIoctl;
    }

    std::vector<std::unique_ptr<Program>> readers;
};

TEST_F(UsbHarness, ClaimsTheStickAndSendsThePowerOnPacket) {
    FakeStick& stick = tb->plug({});
    Program& r = startReading(stick);

    ASSERT_TRUE(stick.waitForOutWrites(1, in(5s))) << r.describe();
    EXPECT_EQ(stick.outWrites(), std::vector<Bytes>{kPowerOn});
    EXPECT_TRUE(r.waitForStderrLine(has("found 2dc8:2004 bus 1 dev 2"), in(1s))) << r.describe();
    EXPECT_TRUE(r.waitForStderrLine(has("product: Test Arcade Stick"), in(1s))) << r.describe();
    const Stats s = stick.stats();
    EXPECT_EQ(s.claims, 1);
    EXPECT_EQ(s.openHandles, 1);
    EXPECT_EQ(s.pendingIn, 1);
    EXPECT_GE(s.controlTransfers, 2) << "language table and product string";
    EXPECT_EQ(s.stalls, 0);
    expectOnlyKnownIoctls(stick);

    std::ifstream attr(tb->rootDir() + stick.syspath() + "/product");
    std::string name((std::istreambuf_iterator<char>(attr)), {});
    EXPECT_EQ(name, "Test Arcade Stick\n");
}

TEST_F(UsbHarness, ReportsComeOutInOrderIncludingOnesPushedBeforeTheReaderStarted) {
    FakeStick& stick = tb->plug({});
    std::vector<Bytes> sent;
    auto push = [&](int i) {
        Bytes b(std::size_t(1 + i % 32));
        for (std::size_t k = 0; k < b.size(); ++k) b[k] = std::uint8_t(i * 7 + int(k));
        b[0] = std::uint8_t(i);
        sent.push_back(b);
        stick.pushReport(b);
    };
    for (int i = 0; i < 3; ++i) push(i);  // queued until the first IN transfer arrives
    Program& r = startReader();
    for (int i = 3; i < 100; ++i) push(i);

    ASSERT_TRUE(r.waitForStdoutLine([](const std::string&) { return true; }, in(10s), 99)) << r.describe();
    std::vector<Bytes> got;
    for (const Line& l : r.stdoutLines()) {
        auto b = parseReaderLine(l.text);
        ASSERT_TRUE(b) << "unparsable line: " << l.text;
        got.push_back(*b);
    }
    EXPECT_EQ(got, sent);
    const auto timings = stick.inTimings();
    ASSERT_EQ(timings.size(), 100u);
    for (const InTiming& t : timings) EXPECT_LE(t.pushed, t.delivered);
    expectOnlyKnownIoctls(stick);
}

TEST_F(UsbHarness, OversizedReportEndsTheTransferWithAnOverflow) {
    FakeStick& stick = tb->plug({});
    Program& r = startReading(stick);
    stick.pushReport(Bytes(40, 0xab));  // wMaxPacketSize is 32
    ASSERT_TRUE(r.waitForExit(in(10s))) << r.describe();
    EXPECT_EQ(r.exitCode(), 4) << r.describe();
    EXPECT_TRUE(r.waitForStderrLine(has("in transfer failed: status 6"), in(1s))) << r.describe();  // LIBUSB_TRANSFER_OVERFLOW
}

TEST_F(UsbHarness, UnplugFailsTheOutstandingTransferAndTheReaderExits) {
    FakeStick& stick = tb->plug({});
    Program& r = startReading(stick);
    const std::string sysdir = tb->rootDir() + stick.syspath();
    ASSERT_TRUE(std::filesystem::exists(sysdir));

    stick.unplug();
    ASSERT_TRUE(r.waitForExit(in(10s))) << r.describe();
    EXPECT_EQ(r.exitCode(), 0) << r.describe();
    EXPECT_TRUE(r.waitForStderrLine(has("in transfer: no device"), in(1s))) << r.describe();
    EXPECT_TRUE(stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(5s)));
    const Stats s = stick.stats();
    EXPECT_FALSE(s.plugged);
    EXPECT_EQ(s.failedByUnplug, 1);
    EXPECT_FALSE(std::filesystem::exists(sysdir));
    expectOnlyKnownIoctls(stick);
}

TEST_F(UsbHarness, ReplugGivesAWorkingStickAgainAtANewOrTheSameAddress) {
    FakeStick& stick = tb->plug({});
    Program& first = startReading(stick);
    stick.unplug();
    ASSERT_TRUE(first.waitForExit(in(10s))) << first.describe();

    stick.replug(5);  // what the kernel does: a new device number
    EXPECT_EQ(stick.devnode(), "/dev/bus/usb/001/005");
    Program& second = startReading(stick);
    EXPECT_TRUE(second.waitForStderrLine(has("bus 1 dev 5"), in(1s))) << second.describe();
    ASSERT_TRUE(stick.waitForOutWrites(2, in(5s))) << second.describe();
    const Bytes report{0x20, 0x00, 0x07, 0x0e, 0x01};
    ASSERT_TRUE(pushToLineLatency(stick, second, report, echoes(report), 5s)) << second.describe();
    stick.unplug();
    ASSERT_TRUE(second.waitForExit(in(10s))) << second.describe();

    stick.replug();  // same address again
    Program& third = startReading(stick);
    ASSERT_TRUE(stick.waitForOutWrites(3, in(5s))) << third.describe();
    EXPECT_EQ(stick.outWrites(), (std::vector<Bytes>{kPowerOn, kPowerOn, kPowerOn}));
    ASSERT_TRUE(pushToLineLatency(stick, third, report, echoes(report), 5s)) << third.describe();
    EXPECT_EQ(stick.stats().generation, 3);
    expectOnlyKnownIoctls(stick);
}

TEST_F(UsbHarness, ReaderStartedBeforeThePlugSeesTheHotplugArrival) {
    Program& r = startReader();
    ASSERT_TRUE(r.waitForStderrLine(has("waiting for stick"), in(10s))) << r.describe();
    FakeStick& stick = tb->plug({});
    ASSERT_TRUE(stick.waitForOutWrites(1, in(10s))) << r.describe();
    EXPECT_EQ(stick.outWrites()[0], kPowerOn);
}

TEST_F(UsbHarness, OnlyAVendorMatchingVendorSpecificDeviceIsOpened) {
    FakeStick& otherVendor = tb->plug({.vendor = 0x045e, .product = 0x02ea, .devnum = 2});
    FakeStick& notVendorClass = tb->plug({.deviceClass = 0x00, .devnum = 3});
    FakeStick& stick = tb->plug({.product = 0x2005, .devnum = 4});
    Program& r = startReading(stick);
    EXPECT_TRUE(r.waitForStderrLine(has("found 2dc8:2005 bus 1 dev 4"), in(1s))) << r.describe();
    EXPECT_EQ(otherVendor.stats().opensTotal, 0);
    EXPECT_EQ(notVendorClass.stats().opensTotal, 0);
}

TEST_F(UsbHarness, StickHeldByAnotherProgramCannotBeClaimedUntilReleased) {
    FakeStick& stick = tb->plug({.heldByOtherProgram = true});
    for (const std::string mode : {"", "--no-detach"}) {  // DISCONNECT_CLAIM and plain CLAIMINTERFACE
        Program& refused = startReader(mode.empty() ? std::vector<std::string>{} : std::vector{mode});
        ASSERT_TRUE(refused.waitForExit(in(10s))) << refused.describe();
        EXPECT_EQ(refused.exitCode(), 3) << mode << ": " << refused.describe();
        EXPECT_TRUE(refused.waitForStderrLine(has("claim failed: LIBUSB_ERROR_BUSY"), in(1s))) << refused.describe();
    }
    EXPECT_TRUE(stick.outWrites().empty());
    EXPECT_EQ(stick.stats().claimsRefused, 2);
    EXPECT_EQ(stick.stats().claims, 0);

    stick.setHeldByOtherProgram(false);
    Program& first = startReading(stick);
    ASSERT_TRUE(stick.waitForOutWrites(1, in(5s))) << first.describe();
    // Claims belong to an open file: a second program is refused while the first one reads.
    Program& second = startReader({"--no-detach"});
    ASSERT_TRUE(second.waitForExit(in(10s))) << second.describe();
    EXPECT_EQ(second.exitCode(), 3) << second.describe();
    EXPECT_TRUE(first.running());
    expectOnlyKnownIoctls(stick);
}

TEST_F(UsbHarness, BoundKernelDriverIsDetachedByLibusbOnlyWhenAsked) {
    FakeStick& stick = tb->plug({.kernelDriver = "xpad"});
    Program& refused = startReader({"--no-detach"});
    ASSERT_TRUE(refused.waitForExit(in(10s))) << refused.describe();
    EXPECT_EQ(refused.exitCode(), 3) << refused.describe();

    Program& r = startReading(stick);
    ASSERT_TRUE(stick.waitForOutWrites(1, in(5s))) << r.describe();
    EXPECT_EQ(stick.stats().detaches, 1);
}

TEST_F(UsbHarness, StickWithoutProductNameStallsTheStringRequestButWorks) {
    FakeStick& stick = tb->plug({.productName = std::nullopt});
    Program& r = startReading(stick);
    EXPECT_TRUE(r.waitForStderrLine(has("product: none (LIBUSB_ERROR_PIPE)"), in(1s))) << r.describe();
    EXPECT_FALSE(std::filesystem::exists(tb->rootDir() + stick.syspath() + "/product"));
    EXPECT_GE(stick.stats().stalls, 1);
    ASSERT_TRUE(stick.waitForOutWrites(1, in(5s))) << r.describe();
    const Bytes report{0x20, 0x00, 0x01, 0x0e};
    EXPECT_TRUE(pushToLineLatency(stick, r, report, echoes(report), 5s)) << r.describe();
}

TEST_F(UsbHarness, TerminatedReaderCancelsItsTransferAndClosesTheDevice) {
    FakeStick& stick = tb->plug({});
    Program& r = startReading(stick);
    EXPECT_TRUE(r.terminate()) << "SIGTERM was not enough; " << r.describe();
    EXPECT_EQ(r.exitCode(), 0) << r.describe();
    EXPECT_TRUE(stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(5s)));
    const Stats s = stick.stats();
    EXPECT_EQ(s.discarded, 1);
    EXPECT_EQ(s.releases, 1);
    EXPECT_EQ(s.pendingIn, 0);
}

TEST_F(UsbHarness, ProgramCapturesOutputAndExitStatus) {
    auto p = tb->spawn({"sh", "-c", "echo one; echo two >&2; printf 'no newline'; exit 7"});
    ASSERT_TRUE(p->waitForExit(in(10s))) << p->describe();
    EXPECT_EQ(p->exitCode(), 7);
    ASSERT_EQ(p->stdoutLines().size(), 2u);
    EXPECT_EQ(p->stdoutLines()[1].text, "no newline");
    EXPECT_TRUE(p->waitForStderrLine(has("two"), in(1s)));
    EXPECT_THROW(tb->spawn({"/nonexistent/program"}), std::runtime_error);

    auto stubborn = tb->spawn({"sh", "-c", "trap '' TERM; echo ready; while :; do :; done"});
    ASSERT_TRUE(stubborn->waitForStdoutLine(has("ready"), in(10s)));
    EXPECT_FALSE(stubborn->terminate(200ms));
    EXPECT_EQ(stubborn->exitSignal(), SIGKILL);
}

// Figures for the benchmark: one emulated ioctl round trip (libusb reaps in a loop, so the rate of
// ioctls while idle is the inverse of the round trip) and push-to-stdout latency.
TEST_F(UsbHarness, LatencyFigures) {
    FakeStick& stick = tb->plug({});
    Program& r = startReading(stick);

    const int before = stick.stats().ioctls;
    const auto t0 = Clock::now();
    ASSERT_TRUE(stick.waitFor([&](const Stats& s) { return s.ioctls >= before + 2000; }, in(20s)));
    const double roundTripUs = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / 2000;

    std::vector<Clock::duration> samples;
    for (int i = 0; i < 200; ++i) {
        const Bytes report{0x20, 0x00, std::uint8_t(i), 0x0e, std::uint8_t(i >> 8)};
        auto d = pushToLineLatency(stick, r, report, echoes(report), 5s);
        ASSERT_TRUE(d) << "report " << i << " never printed; " << r.describe();
        samples.push_back(*d);
    }
    const LatencySummary sum = summarize(samples);
    std::vector<Clock::duration> reaped;
    for (const InTiming& t : stick.inTimings()) reaped.push_back(t.delivered - t.pushed);
    std::cout << "[ figures  ] ioctl round trip " << roundTripUs << " us\n"
              << "[ figures  ] push-to-reap   " << summarize(reaped).toString() << "\n"
              << "[ figures  ] push-to-stdout " << sum.toString() << "\n";
    RecordProperty("ioctl_round_trip_us", std::to_string(roundTripUs));
    RecordProperty("push_to_stdout", sum.toString());
    EXPECT_LT(sum.median, 50ms) << "far slower than the ~1 ms expected; is the machine overloaded?";
}

}  // namespace
