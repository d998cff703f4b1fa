// LibusbHost against a stick emulated at the usbdevfs level (umockdev), in this process: the host
// contract operation by operation, the error table, the fallback without hotplug, and the bridge on
// the real host over 200 plug and unplug cycles without leaking descriptors, threads or transfers.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "TestbedTest.hpp"
#include "support/Reports.hpp"
#include "queues/Queues.hpp"
#include "bridge/StickBridge.hpp"
#include "platform/linux/usb/LibusbHost.hpp"
#include "support/RecordingKeyEvents.hpp"

using namespace fakestick;
using namespace joyrelay;
using joyrelay::usb::LibusbHost;
namespace Return = joyrelay::usb::Return;

namespace {

const Bytes kPowerOn{0x05, 0x20, 0x00, 0x01, 0x00};

Clock::time_point in(Clock::duration d) {
    return Clock::now() + d;
}

using joyrelay::testing::report;

std::size_t entriesIn(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Values handed over from another thread (the bridge queue, the USB event thread) to the test thread.
template <class T>
class Inbox {
public:
    void put(T value) {
        {
            std::lock_guard lock(m_);
            items_.push_back(std::move(value));
        }
        cv_.notify_all();
    }
    bool waitFor(std::size_t n, Clock::duration timeout = 10s) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, timeout, [&] { return items_.size() >= n; });
    }
    std::vector<T> take() {
        std::lock_guard lock(m_);
        return std::move(items_);
    }
    std::vector<T> items() {
        std::lock_guard lock(m_);
        return items_;
    }
    std::size_t size() {
        std::lock_guard lock(m_);
        return items_.size();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<T> items_;
};

// Completions of transfers: each with its status, byte count and thread.
class Completions final : public usb::TransferHandler {
public:
    struct One {
        std::uint32_t status;
        std::size_t bytes;
        std::thread::id thread;
    };
    void transferCompleted(std::uint32_t status, std::size_t bytes) override {
        got_.put({status, bytes, std::this_thread::get_id()});
    }
    bool waitFor(std::size_t n, Clock::duration timeout = 10s) { return got_.waitFor(n, timeout); }
    std::vector<One> got() { return got_.items(); }

private:
    Inbox<One> got_;
};

class LibusbHostTest : public TestbedTest {
protected:
    void TearDown() override {
        host.reset();  // before its queue
        queue.reset();
        TestbedTest::TearDown();
    }

    // The host must be created once the testbed exists: libusb reads the emulated /sys at start.
    void makeHost(LibusbHost::Settings settings = {}) {
        queue = std::make_unique<AsioSerialQueue>();
        host = std::make_unique<LibusbHost>(*queue, settings);
        queue->sync([&] { queueThread = std::this_thread::get_id(); });
    }
    template <class F>
    void onQueue(F f) {
        queue->sync(std::function<void()>(f));
    }
    // Installs discovery; returns the devices present.
    usb::EntryBatch discover(Inbox<std::pair<usb::EntryBatch, std::thread::id>>* arrivals = nullptr) {
        usb::EntryBatch present;
        onQueue([&] {
            ASSERT_TRUE(host->createNotificationPort());
            const std::uint32_t code = host->addMatchingNotification(
                [arrivals](usb::EntryBatch batch) {
                    if (arrivals) arrivals->put({std::move(batch), std::this_thread::get_id()});
                },
                present);
            ASSERT_EQ(code, 0u);
        });
        return present;
    }
    std::optional<std::int64_t> integer(const usb::Entry& e, std::string_view key) {
        std::optional<std::int64_t> v;
        onQueue([&] { v = host->intProperty(e, key); });
        return v;
    }
    std::optional<std::string> name(const usb::Entry& e) {
        std::optional<std::string> v;
        onQueue([&] { v = host->stringProperty(e, "USB Product Name"); });
        return v;
    }
    usb::EntryRef* find(usb::EntryBatch& batch, int vendor, int product) {
        for (auto& e : batch) {
            if (integer(*e, "idVendor") == vendor && integer(*e, "idProduct") == product) return &e;
        }
        return nullptr;
    }

    struct Opened {
        std::unique_ptr<usb::Device> device;
        std::unique_ptr<usb::Interface> interface;
        std::unique_ptr<usb::Pipe> in, out;
    };
    // Opens the device, interface 0 and both pipes, as the bridge does.
    Opened open(const usb::Entry& entry,
                Inbox<std::pair<std::uint32_t, std::thread::id>>* interest = nullptr) {
        Opened o;
        onQueue([&] {
            auto device = host->openDevice(host->retain(entry), [interest](std::uint32_t message) {
                if (interest) interest->put({message, std::this_thread::get_id()});
            });
            ASSERT_TRUE(device.ok()) << device.error().description;
            o.device = device.take();
            auto interface = host->openInterface(host->childInterface(entry, 0));
            ASSERT_TRUE(interface.ok()) << interface.error().description;
            o.interface = interface.take();
            auto in = o.interface->copyPipe(0x82);
            auto out = o.interface->copyPipe(0x02);
            ASSERT_TRUE(in.ok() && out.ok());
            o.in = in.take();
            o.out = out.take();
        });
        return o;
    }
    std::optional<usb::UsbError> enqueue(usb::Pipe& pipe, std::span<std::uint8_t> data,
                                         const std::shared_ptr<Completions>& handler) {
        std::optional<usb::UsbError> error;
        onQueue([&] { error = pipe.enqueue(data, 0, handler); });
        return error;
    }

    std::unique_ptr<AsioSerialQueue> queue;
    std::unique_ptr<LibusbHost> host;
    std::thread::id queueThread;
};

TEST_F(LibusbHostTest, PresentDevicesComeFirstThenEachArrivalOnTheQueueWithItsProperties) {
    FakeStick& stick = tb->plug({.devnum = 2});
    FakeStick& nameless = tb->plug(namelessPad(3));
    makeHost();
    ASSERT_TRUE(host->usesHotplug());
    Inbox<std::pair<usb::EntryBatch, std::thread::id>> arrivals;
    usb::EntryBatch present = discover(&arrivals);
    ASSERT_EQ(present.size(), 2u);

    usb::EntryRef* s = find(present, 0x2DC8, 0x2004);
    usb::EntryRef* n = find(present, 0x045e, 0x02ea);
    ASSERT_TRUE(s && n);
    EXPECT_EQ(integer(**s, "bDeviceClass"), 0xFF);
    EXPECT_EQ(integer(**n, "bDeviceClass"), 0);
    EXPECT_EQ(integer(**s, "bInterfaceNumber"), std::nullopt);
    // The name comes from sysfs, without opening the stick.
    EXPECT_EQ(name(**s), "Test Arcade Stick");
    EXPECT_EQ(stick.stats().opensTotal, 0);
    // No sysfs name and a stalled string request: no name at all.
    EXPECT_EQ(name(**n), std::nullopt);
    EXPECT_GE(nameless.stats().stalls, 1);

    usb::EntryRef interface, missing, copy;
    onQueue([&] {
        interface = host->childInterface(**s, 0);
        missing = host->childInterface(**s, 1);
        copy = host->retain(**s);
    });
    ASSERT_TRUE(interface);
    EXPECT_FALSE(missing);
    EXPECT_EQ(integer(*interface, "bInterfaceNumber"), 0);
    EXPECT_EQ(integer(*interface, "idVendor"), std::nullopt);
    EXPECT_EQ(integer(*copy, "idProduct"), 0x2004);

    // A later plug-in arrives as a batch on the bridge queue.
    tb->plug({.product = 0x3106, .deviceClass = 0, .productName = "8BitDo Receiver", .devnum = 4});
    ASSERT_TRUE(arrivals.waitFor(1));
    auto batches = arrivals.take();
    ASSERT_EQ(batches[0].first.size(), 1u);
    EXPECT_EQ(batches[0].second, queueThread);
    EXPECT_EQ(integer(*batches[0].first[0], "idProduct"), 0x3106);
    EXPECT_EQ(name(*batches[0].first[0]), "8BitDo Receiver");

    std::optional<usb::EntryBatch> listed;
    onQueue([&] { listed = host->matchingDevices(); });
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->size(), 3u);

    onQueue([&] {
        present.clear();
        batches.clear();
        listed.reset();
        interface.reset();
        copy.reset();
    });
    EXPECT_EQ(host->liveEntries(), 0);
}

TEST_F(LibusbHostTest, ProductNameFromTheStringDescriptorWhenSysfsHasNoneAndRawFromSysfsOtherwise) {
    FakeStick& unicode =
        tb->plug({.productName = "Stick \u2713 \u00dcn\u00efc\u00f6de \U0001F579", .devnum = 2});
    FakeStick& hostile = tb->plug({.product = 0x2005, .devnum = 3});
    const std::string root = tb->rootDir();
    std::filesystem::remove(root + unicode.syspath() + "/product");
    const std::string evil =
        "Evil\n[joyrelay] stick released: forged\r\n%n%s" + std::string(5000, 'A') + "\n";
    std::ofstream(root + hostile.syspath() + "/product", std::ios::binary) << evil;
    makeHost();
    usb::EntryBatch present = discover();

    usb::EntryRef* u = find(present, 0x2DC8, 0x2004);
    ASSERT_TRUE(u);
    EXPECT_EQ(name(**u), "Stick \u2713 \u00dcn\u00efc\u00f6de \U0001F579");
    EXPECT_EQ(unicode.stats().opensTotal, 1) << "a short-lived open to ask the device";
    EXPECT_TRUE(unicode.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(5s)));
    EXPECT_EQ(unicode.stats().claims, 0);

    // The host hands device text over as it is (cut at what sysfs can hold); the bridge sanitizes it.
    usb::EntryRef* h = find(present, 0x2DC8, 0x2005);
    ASSERT_TRUE(h);
    EXPECT_EQ(name(**h), evil.substr(0, 4096));
    onQueue([&] { present.clear(); });
}

TEST_F(LibusbHostTest, OpeningClaimsInterfaceZeroAtOnceAndAnotherProgramsHoldIsExclusiveAccess) {
    FakeStick& stick = tb->plug({.heldByOtherProgram = true});
    makeHost();
    usb::EntryBatch present = discover();
    ASSERT_EQ(present.size(), 1u);

    onQueue([&] {
        auto refused = host->openDevice(host->retain(*present[0]), {});
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().code, Return::exclusiveAccess);
        EXPECT_NE(refused.error().description.find("LIBUSB_ERROR_BUSY"), std::string::npos)
            << refused.error().description;
        EXPECT_NE(refused.error().description.find("2dc8:2004 at 1-1"), std::string::npos)
            << refused.error().description;
    });
    EXPECT_EQ(stick.stats().claimsRefused, 1);
    EXPECT_TRUE(stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(5s)));
    EXPECT_EQ(host->openDevices(), 0);

    stick.setHeldByOtherProgram(false);
    std::unique_ptr<usb::Device> device;
    onQueue([&] {
        auto opened = host->openDevice(host->retain(*present[0]), {});
        ASSERT_TRUE(opened.ok()) << opened.error().description;
        device = opened.take();
    });
    EXPECT_EQ(stick.stats().claims, 1) << "claimed by openDevice, before any interface is opened";
    EXPECT_EQ(host->openDevices(), 1);
    onQueue([&] {
        device->destroy();
        device->destroy();  // a second destroy does nothing
    });
    EXPECT_EQ(stick.stats().releases, 1);
    EXPECT_TRUE(stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(5s)));
    onQueue([&] {
        device.reset();
        present.clear();
    });
    EXPECT_EQ(host->liveEntries(), 0);
}

TEST_F(LibusbHostTest, TheKernelDriverIsDetachedAtTheClaimAndBoundAgainAtTheRelease) {
    FakeStick& stick = tb->plug({.kernelDriver = "xpad"});
    makeHost();
    usb::EntryBatch present = discover();
    Opened o = open(*present[0]);
    EXPECT_EQ(stick.stats().detaches, 1);
    EXPECT_FALSE(stick.stats().driverBound);
    onQueue([&] { o.interface->destroy(); });
    EXPECT_EQ(stick.stats().reattaches, 1);
    EXPECT_TRUE(stick.stats().driverBound);
    onQueue([&] {
        o.device->destroy();
        o = {};
        present.clear();
    });
    EXPECT_TRUE(stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(5s)));
}

TEST_F(LibusbHostTest, EachTransferCompletesOnceOnTheQueueWithItsStatusAndByteCount) {
    FakeStick& stick = tb->plug({});
    makeHost();
    usb::EntryBatch present = discover();
    Inbox<std::pair<std::uint32_t, std::thread::id>> interest;
    Opened o = open(*present[0], &interest);

    std::vector<usb::EndpointDescriptor> endpoints;
    onQueue([&] { endpoints = o.interface->endpoints(); });
    ASSERT_EQ(endpoints.size(), 2u);
    EXPECT_EQ(endpoints[0].bEndpointAddress, 0x82);
    EXPECT_EQ(endpoints[0].wMaxPacketSize, 32);
    EXPECT_EQ(endpoints[0].bmAttributes, 3);
    EXPECT_EQ(endpoints[1].bEndpointAddress, 0x02);
    onQueue([&] {
        auto none = o.interface->copyPipe(0x81);
        ASSERT_FALSE(none.ok());
        EXPECT_EQ(none.error().code, Return::notFound);
    });

    // OUT: the power-on packet.
    std::array<std::uint8_t, 5> powerOn{0x05, 0x20, 0x00, 0x01, 0x00};
    auto written = std::make_shared<Completions>();
    ASSERT_FALSE(enqueue(*o.out, powerOn, written));
    ASSERT_TRUE(written->waitFor(1));
    EXPECT_EQ(written->got()[0].status, 0u);
    EXPECT_EQ(written->got()[0].bytes, 5u);
    EXPECT_EQ(written->got()[0].thread, queueThread);
    EXPECT_EQ(stick.outWrites(), std::vector<Bytes>{kPowerOn});

    // IN: a report, at the start of the buffer.
    std::vector<std::uint8_t> buffer(64, 0xEE);
    auto read = std::make_shared<Completions>();
    ASSERT_FALSE(enqueue(*o.in, buffer, read));
    const Bytes r = report(0x10, 0x04);
    stick.pushReport(r);
    ASSERT_TRUE(read->waitFor(1));
    EXPECT_EQ(read->got()[0].status, 0u);
    EXPECT_EQ(read->got()[0].bytes, 18u);
    EXPECT_EQ(read->got()[0].thread, queueThread);
    EXPECT_TRUE(std::equal(r.begin(), r.end(), buffer.begin()));

    // More than asked for: the device babbled.
    std::vector<std::uint8_t> small(32);
    auto overflow = std::make_shared<Completions>();
    ASSERT_FALSE(enqueue(*o.in, small, overflow));
    stick.pushReport(Bytes(40, 0xAB));
    ASSERT_TRUE(overflow->waitFor(1));
    EXPECT_EQ(overflow->got()[0].status, Return::overrun);

    // Unplugged with a read in flight: the read ends with "no device" and the removal notice comes.
    auto cut = std::make_shared<Completions>();
    ASSERT_FALSE(enqueue(*o.in, buffer, cut));
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(5s)));
    stick.unplug();
    ASSERT_TRUE(cut->waitFor(1));
    EXPECT_EQ(cut->got()[0].status, Return::noDevice);
    EXPECT_EQ(cut->got()[0].thread, queueThread);
    ASSERT_TRUE(interest.waitFor(1));
    const auto notices = interest.take();
    EXPECT_EQ(notices[0].first, usb::messageServiceIsTerminated);
    EXPECT_EQ(notices[0].second, queueThread);

    // Refused at once afterwards, with no completion.
    auto late = std::make_shared<Completions>();
    std::optional<usb::UsbError> refused = enqueue(*o.in, buffer, late);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, Return::noDevice) << refused->description;

    onQueue([&] {
        o.interface->destroy();
        o.device->destroy();
    });
    onQueue([] {});  // anything still queued has run
    for (auto* c : {written.get(), read.get(), overflow.get(), cut.get()}) EXPECT_EQ(c->got().size(), 1u);
    EXPECT_TRUE(late->got().empty());
    EXPECT_EQ(interest.size(), 0u) << "one removal notice, none after destroy";
    EXPECT_EQ(late.use_count(), 1);
    EXPECT_EQ(host->liveTransfers(), 0);
    onQueue([&] {
        o = {};
        present.clear();
    });
}

TEST_F(LibusbHostTest, DestroyCancelsWhatIsInFlightWaitsForItAndGivesEverythingBack) {
    FakeStick& stick = tb->plug({});
    makeHost();
    usb::EntryBatch present = discover();
    Inbox<std::pair<std::uint32_t, std::thread::id>> interest;
    Opened o = open(*present[0], &interest);

    std::vector<std::uint8_t> buffer(64);
    auto read = std::make_shared<Completions>();
    ASSERT_FALSE(enqueue(*o.in, buffer, read));
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(5s)));
    EXPECT_EQ(host->liveTransfers(), 1);
    EXPECT_EQ(read.use_count(), 2) << "the pipe keeps the handler while the read is in flight";

    onQueue([&] { o.interface->destroy(); });
    // By the time destroy returns, libusb has the transfer back and the interface is released.
    Stats s = stick.stats();
    EXPECT_EQ(s.discarded, 1);
    EXPECT_EQ(s.pendingIn, 0);
    EXPECT_EQ(s.releases, 1);
    EXPECT_EQ(host->liveTransfers(), 0);
    EXPECT_EQ(read.use_count(), 1);

    auto after = std::make_shared<Completions>();
    ASSERT_TRUE(enqueue(*o.in, buffer, after));
    onQueue([&] { o.device->destroy(); });
    onQueue([] {});
    EXPECT_TRUE(read->got().empty()) << "no completion runs after destroy";
    EXPECT_TRUE(after->got().empty());
    EXPECT_TRUE(stick.waitFor([](const Stats& st) { return st.openHandles == 0; }, in(5s)));
    // Unplugging a device already destroyed sends no removal notice.
    stick.unplug();
    onQueue([&] {
        o = {};
        present.clear();
    });
    EXPECT_EQ(interest.size(), 0u);
    EXPECT_EQ(host->openDevices(), 0);
}

// libusb_cancel_transfer as the host calls it, with a switch that makes a cancel go nowhere: the
// transfer stays in flight, as when libusb never gives a cancelled transfer back.
std::atomic<bool> cancelsGoNowhere{false};

}  // namespace

extern "C" int libusb_cancel_transfer(libusb_transfer* transfer) {
    using Cancel = int (*)(libusb_transfer*);
    static const auto real = reinterpret_cast<Cancel>(::dlsym(RTLD_NEXT, "libusb_cancel_transfer"));
    if (cancelsGoNowhere.load()) return LIBUSB_SUCCESS;
    return real(transfer);
}

namespace {

// A handler that owns the buffer its read fills, as the bridge's session does.
class OwningHandler final : public usb::TransferHandler {
public:
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(64);
    void transferCompleted(std::uint32_t, std::size_t) override {}
};

TEST_F(LibusbHostTest, ATransferLibusbNeverGivesBackKeepsItsBufferAndTheOpenDeviceUntilTheHostGoes) {
    FakeStick& stick = tb->plug({});
    LibusbHost::Settings settings;
    settings.cancelWait = 200ms;
    makeHost(settings);
    usb::EntryBatch present = discover();
    Opened o = open(*present[0]);

    auto owner = std::make_shared<OwningHandler>();
    const std::weak_ptr<OwningHandler> watched = owner;
    std::optional<usb::UsbError> error;
    onQueue([&] { error = o.in->enqueue(owner->buffer, 0, owner); });
    ASSERT_FALSE(error);
    owner.reset();  // from now on the host alone keeps the buffer's owner
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(5s)));

    cancelsGoNowhere = true;
    onQueue([&] {
        o.interface->destroy();
        o.device->destroy();
    });
    cancelsGoNowhere = false;
    EXPECT_FALSE(watched.expired()) << "the transfer's buffer was freed while libusb still had it";
    EXPECT_EQ(host->liveTransfers(), 1);
    EXPECT_EQ(stick.stats().openHandles, 1) << "the device was closed under a transfer in flight";

    // Whatever libusb now writes lands in live memory (ASan checks this run).
    stick.pushReport(report(0x10));
    onQueue([&] {
        o = {};
        present.clear();
    });
    host.reset();
    // The host lets its last reference go on the queue, after the completions already handed to it.
    onQueue([] {});
    EXPECT_TRUE(watched.expired());
    EXPECT_TRUE(stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(5s)));
}

TEST_F(LibusbHostTest, WithoutHotplugTheBusIsListedAgainForArrivalsAndRemovals) {
    FakeStick& stick = tb->plug({});
    makeHost({.useHotplug = false, .rescanInterval = 200ms});
    EXPECT_FALSE(host->usesHotplug());
    Inbox<std::pair<usb::EntryBatch, std::thread::id>> arrivals;
    usb::EntryBatch present = discover(&arrivals);
    ASSERT_EQ(present.size(), 1u);
    Inbox<std::pair<std::uint32_t, std::thread::id>> interest;
    Opened o = open(*present[0], &interest);

    tb->plug({.product = 0x3106, .deviceClass = 0, .devnum = 5});
    ASSERT_TRUE(arrivals.waitFor(1, 5s));
    auto batches = arrivals.take();
    ASSERT_EQ(batches[0].first.size(), 1u);
    EXPECT_EQ(integer(*batches[0].first[0], "idProduct"), 0x3106);
    EXPECT_EQ(batches[0].second, queueThread);

    stick.unplug();
    ASSERT_TRUE(interest.waitFor(1, 5s));
    EXPECT_EQ(interest.take()[0].first, usb::messageServiceIsTerminated);
    onQueue([&] {
        o = {};
        present.clear();
        batches.clear();
    });
}

TEST(LibusbErrors, EveryFailedTransferHasItsOwnCodeAndPermissionNamesTheUdevRule) {
    EXPECT_EQ(usb::transferStatusCode(LIBUSB_TRANSFER_COMPLETED), 0u);
    const std::set<std::uint32_t> codes = {usb::transferStatusCode(LIBUSB_TRANSFER_ERROR),
                                           usb::transferStatusCode(LIBUSB_TRANSFER_TIMED_OUT),
                                           usb::transferStatusCode(LIBUSB_TRANSFER_CANCELLED),
                                           usb::transferStatusCode(LIBUSB_TRANSFER_STALL),
                                           usb::transferStatusCode(LIBUSB_TRANSFER_NO_DEVICE),
                                           usb::transferStatusCode(LIBUSB_TRANSFER_OVERFLOW)};
    EXPECT_EQ(codes.size(), 6u);
    EXPECT_EQ(codes.count(0), 0u);
    EXPECT_EQ(usb::transferStatusCode(LIBUSB_TRANSFER_NO_DEVICE), Return::noDevice);
    EXPECT_EQ(usb::transferStatusCode(LIBUSB_TRANSFER_STALL), Return::pipeStalled);

    const usb::UsbError denied = usb::libusbError(LIBUSB_ERROR_ACCESS, "libusb_open 2dc8:2004 at 1-1");
    EXPECT_EQ(denied.code, Return::notPermitted);
    for (const char* part : {"libusb_open 2dc8:2004 at 1-1", "LIBUSB_ERROR_ACCESS", "Access denied",
                             "70-tamberlo-joyrelay.rules", "README", "0xe00002e2"}) {
        EXPECT_NE(denied.description.find(part), std::string::npos) << part << " in: " << denied.description;
    }
    EXPECT_NE(denied.localizedDescription.find("udev rule"), std::string::npos)
        << denied.localizedDescription;

    const usb::UsbError gone = usb::libusbError(LIBUSB_ERROR_NO_DEVICE, "libusb_open 2dc8:2004 at 1-1");
    EXPECT_EQ(gone.code, Return::noDevice);
    EXPECT_EQ(gone.description.find("udev"), std::string::npos);
}

// The bridge on the real host: plug, claim, one report, unplug, 200 times. Every cycle must give back
// what it took: file descriptors, threads, libusb transfers, entries, device objects.
TEST_F(LibusbHostTest, TwoHundredPlugAndUnplugCyclesLeakNothing) {
    FakeStick& stick = tb->plug({});
    makeHost();
    RecordingKeyEvents keys;
    ThreadMainQueue mainQueue;
    auto bridge = StickBridge::create(*queue, mainQueue, *host, keys, [] { return true; });
    bridge->start();

    auto waitUntil = [](const std::function<bool()>& condition, Clock::duration timeout) {
        for (const auto deadline = in(timeout); !condition();) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    };
    int cycles = 0;
    auto cycle = [&] {
        ++cycles;
        const std::size_t n = std::size_t(cycles);
        ASSERT_TRUE(stick.waitForOutWrites(n, in(10s))) << "not claimed in cycle " << cycles;
        ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(10s)))
            << "cycle " << cycles;
        stick.pushReport(report(0x10));  // Space down
        ASSERT_TRUE(waitUntil([&] { return keys.count() == 2 * n - 1; }, 10s)) << "cycle " << cycles;
        stick.unplug();  // Space up, the device destroyed and closed
        ASSERT_TRUE(waitUntil([&] { return keys.count() == 2 * n && host->openDevices() == 0; }, 10s))
            << "cycle " << cycles;
        ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(10s)))
            << "cycle " << cycles;
    };
    auto settled = [&] { queue->sync([] {}); };

    cycle();
    settled();
    const std::size_t fds = entriesIn("/proc/self/fd");
    const std::size_t threads = entriesIn("/proc/self/task");
    for (int i = 0; i < 200 && !HasFatalFailure(); ++i) {
        stick.replug();
        cycle();
    }
    settled();
    EXPECT_EQ(entriesIn("/proc/self/fd"), fds);
    EXPECT_EQ(entriesIn("/proc/self/task"), threads);
    EXPECT_EQ(host->liveTransfers(), 0);
    EXPECT_EQ(host->openDevices(), 0);
    EXPECT_EQ(keys.count(), std::size_t(2 * 201)) << "Space down and up in every cycle";
    EXPECT_EQ(stick.stats().claims, 201);
    EXPECT_EQ(stick.stats().unknownIoctls, 0);
    // Only the bridge's own references remain: none while no stick is claimed.
    queue->sync([] {});
    EXPECT_EQ(host->liveEntries(), 0);
    bridge.reset();
}

}  // namespace
