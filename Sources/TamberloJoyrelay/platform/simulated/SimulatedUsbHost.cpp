#include "platform/simulated/SimulatedUsbHost.hpp"

#include <algorithm>
#include <cstring>

namespace joyrelay::sim {

namespace {

usb::UsbError error(std::uint32_t code, const std::string& text) {
    char full[160];
    std::snprintf(full, sizeof full, "%s (simulated, 0x%08x)", text.c_str(), code);
    return {code, full, text};
}

}  // namespace

struct SimulatedUsbHost::Hardware {
    DeviceId id = 0;
    DeviceSpec description;
    Failures failures;
    bool present = true;
    bool configured = false;
    int probesSinceConfigure = 0;
    bool open = false;
    usb::InterestHandler interest;
    std::vector<std::vector<std::uint8_t>> outWrites;
    int openAttempts = 0;
    int configureCalls = 0;
    int readsSubmitted = 0;
    int stallsCleared = 0;
    std::size_t lastReadSize = 0;
    // The read in flight, and a finished read waiting to be delivered on the queue.
    std::span<std::uint8_t> readBuffer;
    std::shared_ptr<usb::TransferHandler> readHandler;
    std::shared_ptr<usb::TransferHandler> doneHandler;
    std::uint32_t doneStatus = 0;
    std::size_t doneCount = 0;
};

class SimulatedUsbHost::EntryImpl final : public usb::Entry {
public:
    EntryImpl(SimulatedUsbHost& host, std::shared_ptr<Hardware> device, bool interface)
        : host(host), device(std::move(device)), interface(interface) {
        ++host.live_;
    }
    ~EntryImpl() override { --host.live_; }
    SimulatedUsbHost& host;
    std::shared_ptr<Hardware> device;
    bool interface;
};

class SimulatedUsbHost::PipeObject final : public usb::Pipe {
public:
    PipeObject(SimulatedUsbHost& host, std::shared_ptr<Hardware> device, std::uint8_t address)
        : host_(host), device_(std::move(device)), address_(address) {
        ++host_.live_;
    }
    ~PipeObject() override { --host_.live_; }

    std::optional<usb::UsbError> clearStall() override {
        std::lock_guard lock(host_.mutex_);
        Hardware& d = *device_;
        if (!d.present || !d.open) return error(usb::Return::noDevice, "the device has gone");
        ++d.stallsCleared;
        return std::nullopt;
    }

    std::optional<usb::UsbError> enqueue(std::span<std::uint8_t> data, std::uint32_t,
                                         std::shared_ptr<usb::TransferHandler> handler) override {
        std::unique_lock lock(host_.mutex_);
        Hardware& d = *device_;
        if (!d.present || !d.open) return error(usb::Return::noDevice, "the device has gone");
        if (address_ & 0x80) {
            if (d.failures.readSubmit) return d.failures.readSubmit;
            if (d.readHandler) return error(usb::Return::busy, "a read is already in flight");
            d.readBuffer = data;
            d.readHandler = std::move(handler);
            ++host_.live_;
            ++d.readsSubmitted;
            d.lastReadSize = data.size();
            lock.unlock();
            host_.changed_.notify_all();
            return std::nullopt;
        }
        if (d.failures.powerOnSubmit) return d.failures.powerOnSubmit;
        d.outWrites.emplace_back(data.begin(), data.end());
        const std::uint32_t status = d.failures.powerOnStatus;
        const std::size_t count = status == 0 ? data.size() : 0;
        ++host_.live_;
        host_.queue_.async([&host = host_, handler = std::move(handler), status, count] {
            handler->transferCompleted(status, count);
            --host.live_;
        });
        return std::nullopt;
    }

private:
    SimulatedUsbHost& host_;
    std::shared_ptr<Hardware> device_;
    std::uint8_t address_;
};

class SimulatedUsbHost::InterfaceObject final : public usb::Interface {
public:
    InterfaceObject(SimulatedUsbHost& host, usb::EntryRef entry, std::shared_ptr<Hardware> device)
        : host_(host), entry_(std::move(entry)), device_(std::move(device)) {
        ++host_.live_;
    }
    ~InterfaceObject() override {
        destroy();
        --host_.live_;
    }

    std::vector<usb::EndpointDescriptor> endpoints() const override { return device_->description.endpoints; }

    usb::Result<std::unique_ptr<usb::Pipe>> copyPipe(std::uint8_t address) override {
        std::lock_guard lock(host_.mutex_);
        if (auto it = device_->failures.pipeOpen.find(address); it != device_->failures.pipeOpen.end()) {
            return it->second;
        }
        const auto& eps = device_->description.endpoints;
        if (std::none_of(eps.begin(), eps.end(), [&](auto& e) { return e.bEndpointAddress == address; })) {
            return error(usb::Return::notFound, "no such endpoint");
        }
        return std::unique_ptr<usb::Pipe>(std::make_unique<PipeObject>(host_, device_, address));
    }

    void destroy() override {
        if (destroyed_) return;
        destroyed_ = true;
        std::lock_guard lock(host_.mutex_);
        host_.cancelRead(*device_, usb::Return::aborted);
        entry_.reset();
    }

private:
    SimulatedUsbHost& host_;
    usb::EntryRef entry_;
    std::shared_ptr<Hardware> device_;
    bool destroyed_ = false;
};

class SimulatedUsbHost::DeviceObject final : public usb::Device {
public:
    DeviceObject(SimulatedUsbHost& host, usb::EntryRef entry, std::shared_ptr<Hardware> device)
        : host_(host), entry_(std::move(entry)), device_(std::move(device)) {
        ++host_.live_;
    }
    ~DeviceObject() override {
        destroy();
        --host_.live_;
    }

    std::optional<usb::UsbError> configure(int, bool) override {
        std::lock_guard lock(host_.mutex_);
        ++device_->configureCalls;
        if (device_->failures.configure) return device_->failures.configure;
        device_->configured = true;
        device_->probesSinceConfigure = 0;
        return std::nullopt;
    }

    void destroy() override {
        if (destroyed_) return;
        destroyed_ = true;
        {
            std::lock_guard lock(host_.mutex_);
            device_->open = false;
            device_->interest = nullptr;
            entry_.reset();
        }
        host_.changed_.notify_all();
    }

private:
    SimulatedUsbHost& host_;
    usb::EntryRef entry_;
    std::shared_ptr<Hardware> device_;
    bool destroyed_ = false;
};

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

usb::EntryRef SimulatedUsbHost::makeEntry(const std::shared_ptr<Hardware>& device, bool interface) {
    return std::make_unique<EntryImpl>(*this, device, interface);
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
    d.doneHandler = std::move(d.readHandler);
    d.doneStatus = status;
    d.doneCount = 0;
    Hardware* raw = &d;
    queue_.async([this, raw] { deliverRead(raw); });
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
    d->doneHandler = std::move(d->readHandler);
    d->doneStatus = status;
    d->doneCount = reportedCount.value_or(bytes.size());
    Hardware* raw = d.get();
    queue_.async([this, raw] { deliverRead(raw); });
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

bool SimulatedUsbHost::deviceOpen(DeviceId id) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d && d->open;
}

bool SimulatedUsbHost::waitUntilClosed(DeviceId id, std::chrono::milliseconds timeout) const {
    auto d = find(id);
    if (!d) return true;
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !d->open; });
}

std::vector<std::vector<std::uint8_t>> SimulatedUsbHost::outWrites(DeviceId id) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d ? d->outWrites : std::vector<std::vector<std::uint8_t>>{};
}

int SimulatedUsbHost::openAttempts(DeviceId id) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d ? d->openAttempts : 0;
}

int SimulatedUsbHost::configureCalls(DeviceId id) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d ? d->configureCalls : 0;
}

int SimulatedUsbHost::readsSubmitted(DeviceId id) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d ? d->readsSubmitted : 0;
}

int SimulatedUsbHost::stallsCleared(DeviceId id) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d ? d->stallsCleared : 0;
}

std::size_t SimulatedUsbHost::readBufferSize(DeviceId id) const {
    auto d = find(id);
    std::lock_guard lock(mutex_);
    return d ? d->lastReadSize : 0;
}

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
    for (auto& [id, d] : devices_) {
        if (d->present) present.push_back(makeEntry(d, false));
    }
    return 0;
}

std::optional<usb::EntryBatch> SimulatedUsbHost::matchingDevices() {
    std::lock_guard lock(mutex_);
    if (failList_) return std::nullopt;
    usb::EntryBatch batch;
    for (auto& [id, d] : devices_) {
        if (d->present) batch.push_back(makeEntry(d, false));
    }
    return batch;
}

std::optional<std::int64_t> SimulatedUsbHost::intProperty(const usb::Entry& entry, std::string_view key) {
    const auto& e = static_cast<const EntryImpl&>(entry);
    std::lock_guard lock(mutex_);
    const DeviceSpec& s = e.device->description;
    if (e.interface) return key == "bInterfaceNumber" ? std::optional<std::int64_t>(0) : std::nullopt;
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
    if (!d.present || number != 0) return nullptr;
    if (d.description.interfaceAtProbe == 0) return makeEntry(e.device, true);
    if (d.description.interfaceAtProbe < 0 || !d.configured) return nullptr;
    // Counts the looks after configuration; the interface is published from look k on.
    if (++d.probesSinceConfigure >= d.description.interfaceAtProbe) return makeEntry(e.device, true);
    return nullptr;
}

usb::EntryRef SimulatedUsbHost::retain(const usb::Entry& entry) {
    const auto& e = static_cast<const EntryImpl&>(entry);
    return makeEntry(e.device, e.interface);
}

usb::Result<std::unique_ptr<usb::Device>> SimulatedUsbHost::openDevice(usb::EntryRef device,
                                                                        usb::InterestHandler onInterest) {
    auto& e = static_cast<EntryImpl&>(*device);
    std::shared_ptr<Hardware> d = e.device;
    {
        std::lock_guard lock(mutex_);
        ++d->openAttempts;
        if (!d->present) return error(usb::Return::noDevice, "the device has gone");
        if (d->description.heldByOtherProgram || d->open) {
            return error(usb::Return::exclusiveAccess, "exclusive access and device already open");
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
        if (!d->present) return error(usb::Return::noDevice, "the device has gone");
    }
    return std::unique_ptr<usb::Interface>(std::make_unique<InterfaceObject>(*this, std::move(interface), d));
}

}  // namespace joyrelay::sim
