// Inside LibusbHost: the state the host shares with the entries and objects it hands out.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/usb/LibusbContext.hpp"
#include "platform/linux/usb/LibusbHandles.hpp"
#include "platform/linux/usb/LibusbHost.hpp"
#include "platform/linux/usb/TransferSlots.hpp"

namespace joyrelay::usb {

struct DeviceState;

struct NameCache {
    bool looked = false;
    std::optional<std::string> value;
};

struct LibusbHost::Core : std::enable_shared_from_this<LibusbHost::Core> {
    Core(SerialQueue& q, Settings s);
    ~Core();

    SerialQueue& queue;
    const Settings settings;
    LibusbContext context;  // before every other libusb object here, so that they go before libusb_exit
    bool hotplug = false;
    TransferSlots transfers;

    mutable std::mutex mutex;
    std::atomic<std::thread::id> queueThread{};
    std::atomic<bool> closing{false};

    // Discovery.
    ArrivalHandler onArrival;        // queue
    bool hotplugRegistered = false;  // queue
    libusb_hotplug_callback_handle hotplugHandle = 0;
    EntryBatch pendingArrivals;    // mutex
    std::vector<DevicePtr> known;  // queue; the last listing, when rescanning

    // Open devices by serial number.
    std::map<std::uint64_t, DeviceState*> open;  // mutex
    std::uint64_t nextSerial = 1;                // queue

    std::atomic<long> entries{0};
    std::atomic<long> devices{0};

    void noteQueueThread() { queueThread.store(std::this_thread::get_id(), std::memory_order_relaxed); }
    // Where this thread's arrivals go while it registers the hotplug notice (null: to the queue);
    // returns the previous target.
    static EntryBatch* enumerateInto(EntryBatch* batch);

    EntryRef makeEntry(libusb_device* d, int interfaceNumber = -1, std::shared_ptr<NameCache> name = nullptr);
    std::shared_ptr<DeviceState> openStateFor(libusb_device* d);
    std::optional<std::string> productName(libusb_device* d);

    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* d, libusb_hotplug_event event,
                                     void* self);
    void arrived(libusb_device* d);
    void left(libusb_device* d);
    void deliverArrivals();
    void deliverRemoval(std::uint64_t serial);
    void schedulePoll();
    void poll();

    void stopTransfers(DeviceState& device);
    void releaseInterface(DeviceState& device, int number);
    void destroyDevice(const std::shared_ptr<DeviceState>& device);
    void shutdown();
};

class EntryImpl final : public Entry {
public:
    EntryImpl(std::shared_ptr<LibusbHost::Core> c, DevicePtr d, int number, std::shared_ptr<NameCache> n)
        : core(std::move(c)), device(std::move(d)), interfaceNumber(number), name(std::move(n)) {
        core->entries.fetch_add(1, std::memory_order_relaxed);
    }
    ~EntryImpl() override { core->entries.fetch_sub(1, std::memory_order_relaxed); }

    std::shared_ptr<LibusbHost::Core> core;  // first: outlives the device reference
    DevicePtr device;
    int interfaceNumber;  // -1 for a device
    std::shared_ptr<NameCache> name;
};

inline const EntryImpl* entryOf(const Entry& e) {
    return dynamic_cast<const EntryImpl*>(&e);
}

struct DeviceState : std::enable_shared_from_this<DeviceState> {
    std::shared_ptr<LibusbHost::Core> core;  // first: goes last
    EntryRef entry;                          // the reference given to openDevice
    libusb_device* device = nullptr;         // held by `entry`
    HandlePtr handle;
    std::string name;  // "2dc8:2004 at 1-1"
    InterestHandler interest;
    std::uint64_t serial = 0;
    std::vector<int> claimed;  // interface numbers
    std::vector<Slot*> slots;  // every transfer slot this device has used since it was opened
    bool destroyed = false;
    bool transferLost = false;  // libusb kept a cancelled transfer: the handle must stay open
};

struct InterfaceState {
    std::shared_ptr<DeviceState> device;
    EntryRef entry;
    int number = 0;
    std::vector<EndpointDescriptor> endpoints;
    bool destroyed = false;
};

// Claims interface `number` of an open device; BUSY means another program (or a kernel driver that could
// not be detached) holds it.
std::optional<UsbError> claim(DeviceState& d, int number);

// The objects openDevice and openInterface hand out.
std::unique_ptr<Device> makeDeviceObject(std::shared_ptr<DeviceState> state);
std::unique_ptr<Interface> makeInterfaceObject(std::shared_ptr<InterfaceState> state);

}  // namespace joyrelay::usb
