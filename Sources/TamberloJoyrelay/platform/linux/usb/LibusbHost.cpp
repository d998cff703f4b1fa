#include "platform/linux/usb/LibusbHost.hpp"

#include <libusb.h>

#include <future>

#include "log/Log.hpp"
#include "platform/linux/usb/DeviceText.hpp"
#include "platform/linux/usb/LibusbCore.hpp"

namespace joyrelay::usb {

LibusbHost::LibusbHost(SerialQueue& queue, Settings settings)
    : core_(std::make_shared<Core>(queue, settings)) {}

LibusbHost::~LibusbHost() {
    std::shared_ptr<Core> core = std::move(core_);
    const std::thread::id queueThread = core->queueThread.load();
    if (queueThread == std::thread::id() || queueThread == std::this_thread::get_id()) {
        core->shutdown();
    } else {
        std::promise<void> done;
        core->queue.async([&core, &done] {
            core->shutdown();
            done.set_value();
        });
        done.get_future().wait();
    }
    core->context.stop();
    // Completions already handed to the queue refer to the core: let the last reference go after them.
    core->queue.async([last = std::move(core)] {});
}

bool LibusbHost::usesHotplug() const {
    return core_->hotplug;
}
long LibusbHost::liveTransfers() const {
    return core_->transfers.live();
}
long LibusbHost::liveEntries() const {
    return core_->entries.load();
}
long LibusbHost::openDevices() const {
    return core_->devices.load();
}

bool LibusbHost::createNotificationPort() {
    core_->noteQueueThread();
    if (!core_->context) {
        Log::info("usb: libusb cannot be used: " +
                  libusbError(core_->context.initError(), "libusb_init").description);
        return false;
    }
    return true;
}

std::uint32_t LibusbHost::addMatchingNotification(ArrivalHandler onArrival, EntryBatch& present) {
    Core& core = *core_;
    core.noteQueueThread();
    if (!core.context) return libusbErrorCode(core.context.initError());
    core.onArrival = std::move(onArrival);
    if (core.hotplug) {
        Core::enumerateInto(&present);
        const int rc = libusb_hotplug_register_callback(
            core.context.get(),
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, &Core::onHotplug, &core, &core.hotplugHandle);
        Core::enumerateInto(nullptr);
        if (rc != LIBUSB_SUCCESS) {
            core.onArrival = nullptr;
            present.clear();
            return libusbErrorCode(rc);
        }
        core.hotplugRegistered = true;
        return Return::success;
    }
    // No hotplug: list the bus now and every rescan interval.
    libusb_device** raw = nullptr;
    const ssize_t n = libusb_get_device_list(core.context.get(), &raw);
    if (n < 0) {
        core.onArrival = nullptr;
        return libusbErrorCode(static_cast<int>(n));
    }
    ListPtr list(raw);
    for (ssize_t i = 0; i < n; ++i) {
        present.push_back(core.makeEntry(raw[i]));
        core.known.push_back(reference(raw[i]));
    }
    core.schedulePoll();
    return Return::success;
}

std::optional<EntryBatch> LibusbHost::matchingDevices() {
    core_->noteQueueThread();
    if (!core_->context) return std::nullopt;
    libusb_device** raw = nullptr;
    const ssize_t n = libusb_get_device_list(core_->context.get(), &raw);
    if (n < 0) return std::nullopt;
    ListPtr list(raw);
    EntryBatch batch;
    for (ssize_t i = 0; i < n; ++i) batch.push_back(core_->makeEntry(raw[i]));
    return batch;
}

std::optional<std::int64_t> LibusbHost::intProperty(const Entry& entry, std::string_view key) {
    const EntryImpl* e = entryOf(entry);
    if (e == nullptr) return std::nullopt;
    if (e->interfaceNumber >= 0) {
        return key == "bInterfaceNumber" ? std::optional<std::int64_t>(e->interfaceNumber) : std::nullopt;
    }
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(e->device.get(), &desc) != LIBUSB_SUCCESS) return std::nullopt;
    if (key == "idVendor") return desc.idVendor;
    if (key == "idProduct") return desc.idProduct;
    if (key == "bDeviceClass") return desc.bDeviceClass;
    return std::nullopt;
}

std::optional<std::string> LibusbHost::stringProperty(const Entry& entry, std::string_view key) {
    const EntryImpl* e = entryOf(entry);
    if (e == nullptr || e->interfaceNumber >= 0 || key != "USB Product Name") return std::nullopt;
    core_->noteQueueThread();
    NameCache& cache = *e->name;
    if (!cache.looked) {
        cache.value = core_->productName(e->device.get());
        cache.looked = true;
    }
    return cache.value;
}

EntryRef LibusbHost::childInterface(const Entry& device, int number) {
    const EntryImpl* e = entryOf(device);
    if (e == nullptr || e->interfaceNumber >= 0) return nullptr;
    ConfigPtr config = activeConfig(e->device.get());
    if (!config || findInterface(*config, number) == nullptr) return nullptr;
    return core_->makeEntry(e->device.get(), number);
}

EntryRef LibusbHost::retain(const Entry& entry) {
    const EntryImpl* e = entryOf(entry);
    if (e == nullptr) return nullptr;
    return core_->makeEntry(e->device.get(), e->interfaceNumber, e->name);
}

Result<std::unique_ptr<Device>> LibusbHost::openDevice(EntryRef device, InterestHandler onInterest) {
    Core& core = *core_;
    core.noteQueueThread();
    const EntryImpl* e = device ? entryOf(*device) : nullptr;
    if (e == nullptr || e->interfaceNumber >= 0) {
        return UsbError{Return::badArgument, "openDevice: not a USB device entry", "not a USB device"};
    }
    libusb_device* d = e->device.get();
    auto state = std::make_shared<DeviceState>();
    state->name = describe(d);
    libusb_device_handle* raw = nullptr;
    const int rc = libusb_open(d, &raw);
    if (rc != LIBUSB_SUCCESS) return libusbError(rc, "libusb_open " + state->name);
    state->handle.reset(raw);
    // The kernel's gamepad driver binds this stick: libusb takes the interface from it at the claim and
    // gives it back at the release.
    libusb_set_auto_detach_kernel_driver(raw, 1);
    // Claimed now, so that another program holding the stick shows here. A device whose current
    // configuration lacks interface 0 stays unclaimed until openInterface.
    if (std::optional<UsbError> refused = claim(*state, 0); refused && refused->code != Return::notFound) {
        return *std::move(refused);
    }
    state->core = core_;
    state->device = d;
    state->entry = std::move(device);
    state->interest = std::move(onInterest);
    state->serial = core.nextSerial++;
    {
        std::lock_guard lock(core.mutex);
        core.open[state->serial] = state.get();
    }
    core.devices.fetch_add(1, std::memory_order_relaxed);
    return makeDeviceObject(std::move(state));
}

Result<std::unique_ptr<Interface>> LibusbHost::openInterface(EntryRef interface) {
    Core& core = *core_;
    core.noteQueueThread();
    const EntryImpl* e = interface ? entryOf(*interface) : nullptr;
    if (e == nullptr || e->interfaceNumber < 0) {
        return UsbError{Return::badArgument, "openInterface: not a USB interface entry",
                        "not a USB interface"};
    }
    std::shared_ptr<DeviceState> device = core.openStateFor(e->device.get());
    if (!device) {
        return hostError(Return::notFound,
                         "openInterface " + std::to_string(e->interfaceNumber) + " of " +
                             describe(e->device.get()) + ": the device is not open",
                         "the device is not open");
    }
    if (std::optional<UsbError> refused = claim(*device, e->interfaceNumber)) return *std::move(refused);
    auto state = std::make_shared<InterfaceState>();
    state->device = device;
    state->number = e->interfaceNumber;
    ConfigPtr config = activeConfig(e->device.get());
    const libusb_interface_descriptor* alt = config ? findInterface(*config, e->interfaceNumber) : nullptr;
    if (alt == nullptr) {
        core.releaseInterface(*device, e->interfaceNumber);
        return hostError(Return::notFound,
                         "interface " + std::to_string(e->interfaceNumber) + " of " + device->name +
                             " is not in the active configuration",
                         "the interface is not in the active configuration");
    }
    for (int i = 0; i < alt->bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& ep = alt->endpoint[i];
        state->endpoints.push_back({ep.bLength, ep.bDescriptorType, ep.bEndpointAddress, ep.bmAttributes,
                                    ep.wMaxPacketSize, ep.bInterval});
    }
    state->entry = std::move(interface);
    return makeInterfaceObject(std::move(state));
}

}  // namespace joyrelay::usb
