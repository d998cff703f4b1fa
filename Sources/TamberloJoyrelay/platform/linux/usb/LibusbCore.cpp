// LibusbHost's shared state: discovery (hotplug or listing the bus), removals, and the end of devices.
#include "platform/linux/usb/LibusbCore.hpp"

#include <algorithm>

#include "log/Log.hpp"
#include "platform/linux/usb/DeviceText.hpp"

namespace joyrelay::usb {

namespace {

// Fills the list of devices a delivery from inside libusb_hotplug_register_callback goes to (the
// devices present at registration arrive on the registering thread, before the call returns).
thread_local EntryBatch* enumeratingInto = nullptr;

}  // namespace

LibusbHost::Core::Core(SerialQueue& q, Settings s)
    : queue(q),
      settings(s),
      hotplug(context && s.useHotplug && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0),
      transfers(q, s.cancelWait) {}

LibusbHost::Core::~Core() {
    context.stop();
    pendingArrivals.clear();
    known.clear();
}

EntryBatch* LibusbHost::Core::enumerateInto(EntryBatch* batch) {
    EntryBatch* previous = enumeratingInto;
    enumeratingInto = batch;
    return previous;
}

EntryRef LibusbHost::Core::makeEntry(libusb_device* d, int interfaceNumber, std::shared_ptr<NameCache> name) {
    if (!name) name = std::make_shared<NameCache>();
    return std::make_unique<EntryImpl>(shared_from_this(), reference(d), interfaceNumber, std::move(name));
}

std::shared_ptr<DeviceState> LibusbHost::Core::openStateFor(libusb_device* d) {
    std::lock_guard lock(mutex);
    for (auto& [serial, state] : open) {
        if (state->device == d && !state->destroyed) return state->shared_from_this();
    }
    return nullptr;
}

std::optional<std::string> LibusbHost::Core::productName(libusb_device* d) {
    std::shared_ptr<DeviceState> state = openStateFor(d);
    return usb::productName(d, state ? state->handle.get() : nullptr);
}

int LIBUSB_CALL LibusbHost::Core::onHotplug(libusb_context*, libusb_device* d, libusb_hotplug_event event,
                                            void* self) {
    auto* core = static_cast<Core*>(self);
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
        core->arrived(d);
    } else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
        core->left(d);
    }
    return 0;  // stay registered
}

void LibusbHost::Core::arrived(libusb_device* d) {
    if (enumeratingInto != nullptr) {
        enumeratingInto->push_back(makeEntry(d));
        return;
    }
    if (closing.load()) return;
    EntryRef entry = makeEntry(d);
    bool first;
    {
        std::lock_guard lock(mutex);
        first = pendingArrivals.empty();
        pendingArrivals.push_back(std::move(entry));
    }
    // Arrivals handled by libusb together go to the bridge as one batch.
    if (first) queue.async([this] { deliverArrivals(); });
}

void LibusbHost::Core::left(libusb_device* d) {
    std::vector<std::uint64_t> serials;
    {
        std::lock_guard lock(mutex);
        for (auto& [serial, state] : open) {
            if (state->device == d) serials.push_back(serial);
        }
    }
    for (std::uint64_t serial : serials) queue.async([this, serial] { deliverRemoval(serial); });
}

void LibusbHost::Core::deliverArrivals() {
    EntryBatch batch;
    {
        std::lock_guard lock(mutex);
        batch.swap(pendingArrivals);
    }
    if (batch.empty() || closing.load() || !onArrival) return;
    onArrival(std::move(batch));
}

void LibusbHost::Core::deliverRemoval(std::uint64_t serial) {
    std::shared_ptr<DeviceState> state;
    {
        std::lock_guard lock(mutex);
        if (auto it = open.find(serial); it != open.end()) state = it->second->shared_from_this();
    }
    if (!state || state->destroyed || !state->interest) return;
    InterestHandler handler = state->interest;  // the handler may destroy the device
    handler(messageServiceIsTerminated);
}

void LibusbHost::Core::schedulePoll() {
    queue.asyncAfter(settings.rescanInterval, [weak = weak_from_this()] {
        if (auto core = weak.lock()) core->poll();
    });
}

void LibusbHost::Core::poll() {
    if (closing.load()) return;
    libusb_device** raw = nullptr;
    const ssize_t n = libusb_get_device_list(context.get(), &raw);
    if (n >= 0) {
        ListPtr list(raw);
        std::vector<DevicePtr> now;
        EntryBatch arrivals;
        for (ssize_t i = 0; i < n; ++i) {
            now.push_back(reference(raw[i]));
            const bool seen = std::any_of(known.begin(), known.end(),
                                          [&](const DevicePtr& k) { return k.get() == raw[i]; });
            if (!seen) arrivals.push_back(makeEntry(raw[i]));
        }
        std::vector<std::uint64_t> removed;
        {
            std::lock_guard lock(mutex);
            for (auto& [serial, state] : open) {
                const bool present = std::any_of(
                    now.begin(), now.end(), [&](const DevicePtr& p) { return p.get() == state->device; });
                if (!present) removed.push_back(serial);
            }
        }
        known = std::move(now);
        for (std::uint64_t serial : removed) deliverRemoval(serial);
        if (!arrivals.empty() && onArrival && !closing.load()) onArrival(std::move(arrivals));
    }
    schedulePoll();
}

void LibusbHost::Core::stopTransfers(DeviceState& device) {
    TransferSlots::Stopped stopped = transfers.stop(device.slots);
    if (stopped.lost) {
        // The handle stays open (destroyDevice keeps it) as long as libusb may still use the transfer.
        device.transferLost = true;
        Log::info("usb: libusb did not give a cancelled transfer back in time on " + device.name);
    }
    // The handlers go last: dropping them may destroy their owners.
}

void LibusbHost::Core::releaseInterface(DeviceState& device, int number) {
    auto it = std::find(device.claimed.begin(), device.claimed.end(), number);
    if (it == device.claimed.end() || device.destroyed) return;
    device.claimed.erase(it);
    // With auto-detach on, libusb gives the interface back to the kernel driver it took it from.
    libusb_release_interface(device.handle.get(), number);
}

void LibusbHost::Core::destroyDevice(const std::shared_ptr<DeviceState>& device) {
    if (device->destroyed) return;
    device->destroyed = true;  // first: dropping transfer handlers below may come back here
    {
        std::lock_guard lock(mutex);
        open.erase(device->serial);  // no removal notice from now on
    }
    stopTransfers(*device);
    for (int number : device->claimed) libusb_release_interface(device->handle.get(), number);
    device->claimed.clear();
    if (device->transferLost) {
        transfers.keep(std::move(device->handle));
    } else {
        device->handle.reset();
    }
    device->entry.reset();
    InterestHandler drop = std::move(device->interest);
    devices.fetch_sub(1, std::memory_order_relaxed);
}

void LibusbHost::Core::shutdown() {
    closing.store(true);
    if (hotplugRegistered) {
        libusb_hotplug_deregister_callback(context.get(), hotplugHandle);
        hotplugRegistered = false;
    }
    onArrival = nullptr;
    std::vector<std::shared_ptr<DeviceState>> states;
    {
        std::lock_guard lock(mutex);
        for (auto& [serial, state] : open) states.push_back(state->shared_from_this());
    }
    for (const auto& state : states) destroyDevice(state);
    EntryBatch drop;
    {
        std::lock_guard lock(mutex);
        drop.swap(pendingArrivals);
    }
    known.clear();
}

}  // namespace joyrelay::usb
