// The simulated USB host: its scripting, its observations and the UsbHost operations. The objects
// it hands out are in SimulatedUsbObjects.cpp.
#include "platform/simulated/SimulatedUsbHost.hpp"

#include <algorithm>
#include <cstring>

#include "platform/simulated/SimulatedHardware.hpp"

namespace joyrelay::sim {

SimulatedUsbHost::SimulatedUsbHost(SerialQueue& queue) : queue_(queue) {}
SimulatedUsbHost::~SimulatedUsbHost() {
    // Transfers still in flight hold their handlers, which may own pipes of this host: drop them
    // outside the lock, so that nothing is left over when the host goes.
    std::vector<std::shared_ptr<usb::TransferHandler>> handlers;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, d] : devices_) {
            if (d->readHandler) handlers.push_back(std::move(d->readHandler));
            if (d->doneHandler) handlers.push_back(std::move(d->doneHandler));
            for (auto& held : d->heldWrites) handlers.push_back(std::move(held.first));
            d->heldWrites.clear();
        }
    }
    handlers.clear();
}

void SimulatedUsbHost::failNotificationPort(bool fail) {
    std::lock_guard lock(mutex_);
    failPort_ = fail;
}
void SimulatedUsbHost::failMatchingNotification(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    failMatching_ = code;
}
void SimulatedUsbHost::failMatchingDevices(bool fail) {
    std::lock_guard lock(mutex_);
    failList_ = fail;
}
void SimulatedUsbHost::completeCancelledReads(bool complete) {
    std::lock_guard lock(mutex_);
    completeCancelled_ = complete;
}

usb::EntryRef SimulatedUsbHost::makeEntry(const std::shared_ptr<Hardware>& device, bool interface, int number) {
    return std::make_unique<EntryImpl>(*this, device, interface, number);
}

usb::EntryBatch SimulatedUsbHost::presentEntries() {
    usb::EntryBatch batch;
    for (auto& [id, d] : devices_) {
        if (d->present) batch.push_back(makeEntry(d, false));
    }
    return batch;
}

std::shared_ptr<SimulatedUsbHost::Hardware> SimulatedUsbHost::find(DeviceId id) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second;
}

SimulatedUsbHost::DeviceId SimulatedUsbHost::plug(DeviceSpec description) { return plugBatch({std::move(description)}).front(); }

std::vector<SimulatedUsbHost::DeviceId> SimulatedUsbHost::plugBatch(const std::vector<DeviceSpec>& descriptions) {
    std::vector<std::shared_ptr<Hardware>> added;
    std::vector<DeviceId> ids;
    bool deliver = false;
    {
        std::lock_guard lock(mutex_);
        for (const DeviceSpec& description : descriptions) {
            auto d = std::make_shared<Hardware>();
            d->id = nextId_++;
            d->description = description;
            devices_[d->id] = d;
            added.push_back(d);
            ids.push_back(d->id);
        }
        deliver = installed_;
    }
    if (deliver) {
        queue_.async([this, added] {
            usb::EntryBatch batch;
            usb::ArrivalHandler handler;
            {
                std::lock_guard lock(mutex_);
                handler = onArrival_;
                for (const auto& d : added) {
                    if (d->present) batch.push_back(makeEntry(d, false));
                }
            }
            if (handler && !batch.empty()) handler(std::move(batch));
        });
    }
    return ids;
}

void SimulatedUsbHost::cancelRead(Hardware& d, std::uint32_t status) {
    if (!d.readHandler) return;
    if (!completeCancelled_) {
        d.readHandler.reset();
        --live_;
        return;
    }
    finishRead(d, status, 0);
}

void SimulatedUsbHost::finishRead(Hardware& d, std::uint32_t status, std::size_t count) {
    d.doneHandler = std::move(d.readHandler);
    d.doneStatus = status;
    d.doneCount = count;
    queue_.async([this, raw = &d] { deliverRead(raw); });
}

void SimulatedUsbHost::finishWrite(Hardware& d, std::shared_ptr<usb::TransferHandler> handler, std::uint32_t status,
                                   std::size_t count) {
    queue_.async([this, raw = &d, handler = std::move(handler), status, count] {
        {
            std::lock_guard lock(mutex_);
            --raw->writesInFlight;
        }
        handler->transferCompleted(status, count);
        --live_;
    });
}

void SimulatedUsbHost::cancelWrites(Hardware& d) {
    for (auto& [handler, size] : d.heldWrites) {
        if (completeCancelled_) {
            finishWrite(d, std::move(handler), usb::Return::aborted, 0);
        } else {
            --d.writesInFlight;
            --live_;
        }
    }
    d.heldWrites.clear();
}

void SimulatedUsbHost::holdWrites(DeviceId id, bool hold) {
    if (auto d = find(id)) {
        std::lock_guard lock(mutex_);
        d->holdWrites = hold;
    }
}

std::size_t SimulatedUsbHost::completeHeldWrites(DeviceId id, std::uint32_t status) {
    auto d = find(id);
    if (!d) return 0;
    std::lock_guard lock(mutex_);
    const std::size_t n = d->heldWrites.size();
    for (auto& [handler, size] : d->heldWrites) finishWrite(*d, std::move(handler), status, status == 0 ? size : 0);
    d->heldWrites.clear();
    return n;
}

int SimulatedUsbHost::writesInFlight(DeviceId id) const { return inspect(id, &Hardware::writesInFlight); }
int SimulatedUsbHost::mostWritesInFlight(DeviceId id) const { return inspect(id, &Hardware::mostWritesInFlight); }
std::vector<std::pair<int, int>> SimulatedUsbHost::alternateSettingsSelected(DeviceId id) const {
    return inspect(id, &Hardware::alternateSettings);
}

void SimulatedUsbHost::unplug(DeviceId id, PendingRead pending) {
    auto d = find(id);
    if (!d) return;
    std::lock_guard lock(mutex_);
    if (!d->present) return;
    d->present = false;
    const bool wasOpen = d->open;
    if (pending == PendingRead::vanish && d->readHandler) {
        d->readHandler.reset();
        --live_;
    }
    if (pending == PendingRead::abortBeforeNotice || !wasOpen) cancelRead(*d, usb::Return::aborted);
    if (!wasOpen) return;
    // The removal notice; with abortAfterNotice the read is cut short only once the work that the
    // notice queued has run.
    const bool abortLater = pending == PendingRead::abortAfterNotice;
    queue_.async([this, raw = d.get(), abortLater] {
        usb::InterestHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = raw->interest;
        }
        if (handler) handler(usb::messageServiceIsTerminated);
        if (abortLater) {
            queue_.async([this, raw] {
                std::lock_guard lock(mutex_);
                cancelRead(*raw, usb::Return::aborted);
            });
        }
    });
}

void SimulatedUsbHost::setHeldByOtherProgram(DeviceId id, bool held) {
    if (auto d = find(id)) {
        std::lock_guard lock(mutex_);
        d->description.heldByOtherProgram = held;
    }
}

void SimulatedUsbHost::setFailures(DeviceId id, Failures failures) {
    if (auto d = find(id)) {
        std::lock_guard lock(mutex_);
        d->failures = std::move(failures);
    }
}

bool SimulatedUsbHost::completeRead(DeviceId id, std::span<const std::uint8_t> bytes, std::uint32_t status,
                                    std::optional<std::size_t> reportedCount) {
    auto d = find(id);
    if (!d) return false;
    std::lock_guard lock(mutex_);
    if (!d->readHandler) return false;
    const std::size_t n = std::min(bytes.size(), d->readBuffer.size());
    if (n > 0) std::memcpy(d->readBuffer.data(), bytes.data(), n);
    finishRead(*d, status, reportedCount.value_or(bytes.size()));
    return true;
}

void SimulatedUsbHost::deliverRead(Hardware* device) {
    std::shared_ptr<usb::TransferHandler> handler;
    std::uint32_t status;
    std::size_t count;
    {
        std::lock_guard lock(mutex_);
        handler = std::move(device->doneHandler);
        status = device->doneStatus;
        count = device->doneCount;
    }
    if (!handler) return;
    lastDelivery_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_release);
    handler->transferCompleted(status, count);
    handler.reset();
    --live_;
}

bool SimulatedUsbHost::readPending(DeviceId id) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d && d->readHandler != nullptr;
}

bool SimulatedUsbHost::waitForReadPending(DeviceId id, std::chrono::milliseconds timeout) const {
    auto d = find(id);
    if (!d) return false;
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return d->readHandler != nullptr; });
}

template <class T>
T SimulatedUsbHost::inspect(DeviceId id, T Hardware::*field) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d ? (*d).*field : T{};
}

bool SimulatedUsbHost::deviceOpen(DeviceId id) const { return inspect(id, &Hardware::open); }

bool SimulatedUsbHost::waitUntilClosed(DeviceId id, std::chrono::milliseconds timeout) const {
    auto d = find(id);
    if (!d) return true;
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !d->open; });
}

std::vector<std::vector<std::uint8_t>> SimulatedUsbHost::outWrites(DeviceId id) const {
    return inspect(id, &Hardware::outWrites);
}
int SimulatedUsbHost::openAttempts(DeviceId id) const { return inspect(id, &Hardware::openAttempts); }
int SimulatedUsbHost::configureCalls(DeviceId id) const { return inspect(id, &Hardware::configureCalls); }
int SimulatedUsbHost::readsSubmitted(DeviceId id) const { return inspect(id, &Hardware::readsSubmitted); }
int SimulatedUsbHost::stallsCleared(DeviceId id) const { return inspect(id, &Hardware::stallsCleared); }
std::size_t SimulatedUsbHost::readBufferSize(DeviceId id) const { return inspect(id, &Hardware::lastReadSize); }

long SimulatedUsbHost::liveReferences() const { return live_.load(); }

bool SimulatedUsbHost::createNotificationPort() {
    std::lock_guard lock(mutex_);
    return !failPort_;
}

std::uint32_t SimulatedUsbHost::addMatchingNotification(usb::ArrivalHandler onArrival, usb::EntryBatch& present) {
    std::lock_guard lock(mutex_);
    if (failMatching_ != 0) return failMatching_;
    onArrival_ = std::move(onArrival);
    installed_ = true;
    for (usb::EntryRef& entry : presentEntries()) present.push_back(std::move(entry));
    return 0;
}

std::optional<usb::EntryBatch> SimulatedUsbHost::matchingDevices() {
    std::lock_guard lock(mutex_);
    if (failList_) return std::nullopt;
    return presentEntries();
}

std::optional<std::int64_t> SimulatedUsbHost::intProperty(const usb::Entry& entry, std::string_view key) {
    const auto& e = static_cast<const EntryImpl&>(entry);
    std::lock_guard lock(mutex_);
    const DeviceSpec& s = e.device->description;
    if (e.interface) return key == "bInterfaceNumber" ? std::optional<std::int64_t>(e.number) : std::nullopt;
    if (key == "idVendor") return s.vendor;
    if (key == "idProduct") return s.product;
    if (key == "bDeviceClass") return s.deviceClass;
    return std::nullopt;
}

std::optional<std::string> SimulatedUsbHost::stringProperty(const usb::Entry& entry, std::string_view key) {
    const auto& e = static_cast<const EntryImpl&>(entry);
    std::lock_guard lock(mutex_);
    if (!e.interface && key == "USB Product Name") return e.device->description.productName;
    return std::nullopt;
}

usb::EntryRef SimulatedUsbHost::childInterface(const usb::Entry& device, int number) {
    const auto& e = static_cast<const EntryImpl&>(device);
    std::lock_guard lock(mutex_);
    Hardware& d = *e.device;
    if (!d.present) return nullptr;
    if (number == 1) return d.description.audioSettings > 0 && d.configured ? makeEntry(e.device, true, 1) : nullptr;
    if (number != 0) return nullptr;
    if (d.description.interfaceAtProbe == 0) return makeEntry(e.device, true);
    if (d.description.interfaceAtProbe < 0 || !d.configured) return nullptr;
    // Counts the looks after configuration; the interface is published from look k on.
    if (++d.probesSinceConfigure >= d.description.interfaceAtProbe) return makeEntry(e.device, true);
    return nullptr;
}

usb::EntryRef SimulatedUsbHost::retain(const usb::Entry& entry) {
    const auto& e = static_cast<const EntryImpl&>(entry);
    return makeEntry(e.device, e.interface, e.number);
}

usb::Result<std::unique_ptr<usb::Device>> SimulatedUsbHost::openDevice(usb::EntryRef device,
                                                                        usb::InterestHandler onInterest) {
    auto& e = static_cast<EntryImpl&>(*device);
    std::shared_ptr<Hardware> d = e.device;
    {
        std::lock_guard lock(mutex_);
        ++d->openAttempts;
        if (!d->present) return deviceGone();
        if (d->description.heldByOtherProgram || d->open) {
            return simulatedError(usb::Return::exclusiveAccess, "exclusive access and device already open");
        }
        if (d->failures.open) return *d->failures.open;
        d->open = true;
        d->interest = std::move(onInterest);
        d->configured = d->description.interfaceAtProbe == 0;
    }
    return std::unique_ptr<usb::Device>(std::make_unique<DeviceObject>(*this, std::move(device), d));
}

usb::Result<std::unique_ptr<usb::Interface>> SimulatedUsbHost::openInterface(usb::EntryRef interface) {
    auto& e = static_cast<EntryImpl&>(*interface);
    std::shared_ptr<Hardware> d = e.device;
    {
        std::lock_guard lock(mutex_);
        if (d->failures.interfaceOpen) return *d->failures.interfaceOpen;
        if (!d->present) return deviceGone();
    }
    return std::unique_ptr<usb::Interface>(std::make_unique<InterfaceObject>(*this, std::move(interface), d));
}

}  // namespace joyrelay::sim
