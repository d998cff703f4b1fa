// fakestick: an Xbox-One-protocol arcade stick on an emulated USB bus, for integration tests of
// anything that talks to the stick through libusb-1.0 (Linux usbdevfs underneath).
//
// What is emulated
//   A umockdev testbed (a private /sys and /dev under /tmp/umockdev.XXXXXX) holding one or more USB
//   devices. Each FakeStick answers the usbdevfs ioctls the kernel would answer for its device node
//   /dev/bus/usb/BBB/DDD: capabilities, interface claim/release (per open file, with EBUSY when
//   another program or a kernel driver holds the interface), URB submit/reap/discard for the
//   interrupt endpoints and for control transfers on endpoint 0 (device/config/string descriptors;
//   anything else stalls with EPIPE). OUT transfers are recorded; IN transfers are answered with
//   reports the test pushes. Unplugging fails pending URBs with -ESHUTDOWN, refuses everything but
//   reaping with ENODEV, sends the "remove" uevent and removes the device, like the kernel does.
//
// Which thread runs what
//   * umockdev's own worker thread (created with the testbed) runs every ioctl handler and the
//     client connect/close notifications. All emulated-device state sits behind one mutex per stick.
//     Client memory (the URBs) is only ever touched on that thread: pushReport() and unplug() merely
//     queue work, which the next REAPURBNDELAY performs. libusb reaps continuously (the emulated node
//     always polls writable), so this adds no latency beyond one ioctl round trip.
//   * The test thread calls everything public here.
//   * Program runs one reader thread per child (stdout and stderr, timestamps every line on arrival)
//     and one thread blocked in waitpid().
//
// How the program under test reaches the emulation, and why the test process needs the preload too
//   The child must run with LD_PRELOAD=libumockdev-preload.so.0 and UMOCKDEV_DIR=<testbed root>;
//   Testbed::environment()/spawn() arrange both. The TEST PROCESS ITSELF MUST ALSO RUN WITH THE
//   PRELOAD (umockdev-wrapper, or run-under-umockdev.sh which CMake sets as the tests' launcher):
//   attach_ioctl and the ioctl emulation work without it, but the testbed's uevents do not. Without
//   the preload, umockdev_testbed_uevent() looks the device up in the real /sys and prints
//   "ERROR: uevent_sender_send: No such device /sys/devices/..."; the "add" of a plug is lost
//   silently. The program then never hears of a plug (hotplug arrival) or an unplug.
//   Nothing else warns either: a child without the preload simply fails to find or open the device.
//   So call Testbed::preloadProblem() first and fail the test with its message; it checks both.
//   (umockdev_in_mock_environment() answers false even under umockdev-wrapper in 0.17.16, so the
//   check looks for the loaded library instead.)
//
// Limits
//   One Testbed per process at a time (umockdev keeps its root in $UMOCKDEV_DIR). The blocking
//   forms REAPURB and USBDEVFS_BULK are not emulated (libusb never issues them); they and any other
//   unknown ioctl fail with ENOTTY and are counted in Stats::unknownIoctls. Do not measure CPU time:
//   libusb spins on the always-writable emulated node (~0.7 CPU-seconds per second per program).
//   Sanitized builds: the preload library now comes first in the library list, which ASan refuses;
//   run-under-umockdev.sh sets ASAN_OPTIONS=verify_asan_link_order=0 (children inherit it).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace fakestick {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

struct Endpoint {
    std::uint8_t address;              // bit 7 set: IN
    std::uint16_t maxPacketSize = 32;
    std::uint8_t attributes = 0x03;    // interrupt
    std::uint8_t interval = 4;
};

// How the emulated stick's firmware behaves beyond answering reads with the pushed reports.
enum class Firmware {
    plain,             // reports flow from the start
    waitsForLedAndAuth,  // no report until the program has sent the LED (0x0A) and authentication-done
                         // (0x06) packets since the plug
    guideUntilAcknowledged,  // every read is answered with a guide press asking for an acknowledgement
                             // (kGuideRequest), and nothing else, until the program acknowledges it
};

// The guide press that Firmware::guideUntilAcknowledged repeats, and the acknowledgement it waits for.
inline const std::vector<std::uint8_t> kGuideRequest = {0x07, 0x30, 0x37, 0x02, 0x01, 0x5b};
inline const std::vector<std::uint8_t> kGuideAcknowledgement = {0x01, 0x20, 0x37, 0x09, 0x00, 0x07, 0x20,
                                                                0x02, 0x00, 0x00, 0x00, 0x00, 0x00};

struct DeviceSpec {
    std::uint16_t vendor = 0x2DC8;
    std::uint16_t product = 0x2004;
    std::uint8_t deviceClass = 0xFF;
    std::uint8_t subClass = 0x47, protocol = 0xD0;   // device and interface 0 (Xbox One: ff/47/d0)
    std::uint16_t bcdDevice = 0x0100;
    std::optional<std::string> productName = "Test Arcade Stick";  // nullopt: no sysfs `product`, string request stalls
    std::optional<std::string> manufacturer = "Test Vendor";
    std::vector<Endpoint> endpoints = {{0x82}, {0x02}};
    int busnum = 1;
    int devnum = 2;
    bool heldByOtherProgram = false;            // interface 0 claimed through another usbfs handle: claim -> EBUSY
    std::optional<std::string> kernelDriver = std::nullopt;  // e.g. "xpad": bound until detached (libusb auto-detach works)
    // Interfaces 1 (audio: alt 0 without endpoints, alt 1 isochronous 0x02/0x82 of 228 bytes) and 2
    // (alt 0 without endpoints, alt 1 bulk 0x03/0x83 of 64 bytes), as on a real Xbox One pad.
    bool gipInterfaces = false;
    Firmware firmware = Firmware::plain;
};

// The descriptor layout of a real Xbox One protocol pad: device and interface 0 ff/47/d0, interrupt
// endpoints 0x01 OUT and 0x81 IN (64 bytes, interval 4), three interfaces in configuration 1.
inline DeviceSpec gipPad(Firmware firmware = Firmware::plain, int devnum = 2) {
    return {.endpoints = {{0x01, 64}, {0x81, 64}}, .devnum = devnum, .gipInterfaces = true, .firmware = firmware};
}

// A pad of another maker (045e:02ea, class 0) that tells neither its name nor its maker: sysfs has no
// `product` or `manufacturer`, and the string requests stall.
inline DeviceSpec namelessPad(int devnum) {
    return {.vendor = 0x045e,
            .product = 0x02ea,
            .deviceClass = 0,
            .productName = std::nullopt,
            .manufacturer = std::nullopt,
            .devnum = devnum};
}

struct Stats {
    bool plugged = false;
    int generation = 0;        // increases with every (re-)plug
    int openHandles = 0;       // open file descriptors of the device node right now
    int opensTotal = 0;
    int ioctls = 0;            // every ioctl, including the reaps libusb polls with
    int submitted = 0, reaped = 0, discarded = 0, failedByUnplug = 0;
    int pendingIn = 0;         // IN URBs waiting for a report
    int queuedReports = 0;     // pushed reports waiting for an IN URB
    int claims = 0, claimsRefused = 0, releases = 0, detaches = 0, reattaches = 0, resets = 0;
    bool driverBound = false;  // the kernel driver (DeviceSpec::kernelDriver) holds interface 0 now
    int controlTransfers = 0, stalls = 0;
    int inStalls = 0;          // IN URBs answered with a stall (EPIPE) while the endpoint was halted
    int clearHalts = 0;        // CLEAR_HALT requests on the IN endpoint
    int pendingOut = 0, mostPendingOut = 0;  // OUT URBs held (holdOutWrites) now, and the most at once so far
    int guideRequests = 0;     // guide presses sent by Firmware::guideUntilAcknowledged
    int unknownIoctls = 0;
    unsigned long lastUnknownIoctl = 0;
};

struct InTiming {
    Clock::time_point pushed;     // pushReport() was called
    Clock::time_point delivered;  // the URB carrying it was reaped by the program
};

class Testbed;

// One emulated device. Created by Testbed::plug(); lives as long as the Testbed.
class FakeStick {
public:
    ~FakeStick();
    FakeStick(const FakeStick&) = delete;
    FakeStick& operator=(const FakeStick&) = delete;

    DeviceSpec layout() const;
    std::string devnode() const;   // /dev/bus/usb/BBB/DDD
    std::string syspath() const;   // /sys/devices/...

    // Answers the oldest pending IN URB on `endpoint` (0: the first IN endpoint) with `report`, or
    // queues it until the program submits one. Returns the time of the push.
    Clock::time_point pushReport(Bytes report, std::uint8_t endpoint = 0);

    std::vector<Bytes> outWrites() const;                                 // every OUT transfer, in order
    bool waitForOutWrites(std::size_t count, Clock::time_point deadline) const;
    std::vector<std::array<std::uint8_t, 8>> controlSetups() const;       // every control request seen
    std::vector<InTiming> inTimings() const;                              // per delivered report, in order
    Stats stats() const;
    bool waitFor(const std::function<bool(const Stats&)>& condition, Clock::time_point deadline) const;

    void setHeldByOtherProgram(bool held);
    // While held, OUT URBs stay pending (the stick does not take them) and are recorded as they are
    // submitted; letting go completes them.
    void holdOutWrites(bool hold);
    // Every alternate setting the program selected, as (interface, setting).
    std::vector<std::pair<unsigned, unsigned>> alternateSettings() const;
    // Halts the first IN endpoint: every IN URB, pending or new, fails with EPIPE (a stall) until
    // the program clears the halt (USBDEVFS_CLEAR_HALT), as a real endpoint's halt persists.
    void haltIn();
    void unplug();
    void replug(std::optional<int> newDevnum = std::nullopt);   // a real re-plug gets a new devnum

private:
    friend class Testbed;
    struct State;
    explicit FakeStick(std::unique_ptr<State> state);
    std::unique_ptr<State> s_;
};

struct Line {
    std::string text;
    Clock::time_point at;   // when this process read it
    std::size_t index;
};

// A child process with captured, timestamped output. Destroying it terminates it.
class Program {
public:
    Program(std::vector<std::string> argv, std::vector<std::string> environment);  // throws std::runtime_error
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const;
    std::optional<Line> waitForStdoutLine(const std::function<bool(const std::string&)>& match,
                                          Clock::time_point deadline, std::size_t fromIndex = 0) const;
    std::optional<Line> waitForStderrLine(const std::function<bool(const std::string&)>& match,
                                          Clock::time_point deadline, std::size_t fromIndex = 0) const;
    std::vector<Line> stdoutLines() const;
    std::vector<Line> stderrLines() const;
    std::size_t stdoutCount() const;

    bool waitForExit(Clock::time_point deadline) const;
    bool running() const;
    std::optional<int> exitCode() const;     // set when it exited normally
    std::optional<int> exitSignal() const;   // set when a signal ended it
    // SIGTERM, wait up to `grace`, then SIGKILL; returns once its output has been read (or 2 s later).
    // Returns true when SIGTERM was enough.
    bool terminate(Clock::duration grace = 3s);
    std::string describe() const;            // status plus the last stderr lines, for failure messages

private:
    struct Impl;
    std::unique_ptr<Impl> p_;
};

class Testbed {
public:
    Testbed();     // throws std::runtime_error
    ~Testbed();    // waits (briefly) for open handles to close, then removes the testbed directory
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    FakeStick& plug(DeviceSpec layout);
    std::string rootDir() const;

    // The current environment plus LD_PRELOAD=libumockdev-preload.so.0 and UMOCKDEV_DIR.
    std::vector<std::string> environment(const std::vector<std::string>& extra = {}) const;
    std::unique_ptr<Program> spawn(std::vector<std::string> argv, const std::vector<std::string>& extraEnv = {}) const;

    // Empty when a child can be run with the umockdev preload library; otherwise why not.
    static std::string preloadProblem();

private:
    struct Impl;
    std::unique_ptr<Impl> p_;
};

// ---- helpers shared with benchmarks ----
std::string hex(const Bytes& bytes);                          // "05 20 00 01 00"
std::optional<Bytes> parseReaderLine(const std::string& line);  // bare_reader's "t_ms hex..." -> bytes

// Pushes `report` and waits for the program's first stdout line (from the current end) that
// `isEcho` accepts. Returns push-to-line time as seen by this process, or nullopt at the timeout.
std::optional<Clock::duration> pushToLineLatency(FakeStick& stick, const Program& program, const Bytes& report,
                                                 const std::function<bool(const std::string&)>& isEcho,
                                                 Clock::duration timeout = 2s);

struct LatencySummary {
    std::size_t samples = 0;
    Clock::duration min{}, median{}, p90{}, max{};
    std::string toString() const;   // "n=200 min=0.41ms median=0.62ms p90=0.80ms max=1.9ms"
};
LatencySummary summarize(std::vector<Clock::duration> samples);

}  // namespace fakestick
