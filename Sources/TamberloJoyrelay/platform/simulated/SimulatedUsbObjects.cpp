// The device, interface and pipe objects of the simulated USB host.
#include <algorithm>
#include <cstdio>

#include "platform/simulated/SimulatedHardware.hpp"

namespace joyrelay::sim {

usb::UsbError simulatedError(std::uint32_t code, const std::string& text) {
    char full[160];
    std::snprintf(full, sizeof full, "%s (simulated, 0x%08x)", text.c_str(), code);
    return {code, full, text};
}

usb::UsbError deviceGone() { return simulatedError(usb::Return::noDevice, "the device has gone"); }

std::optional<usb::UsbError> SimulatedUsbHost::PipeObject::clearStall() {
    std::lock_guard lock(host_.mutex_);
    Hardware& d = *device_;
    if (!d.present || !d.open) return deviceGone();
    ++d.stallsCleared;
    return std::nullopt;
}

std::optional<usb::UsbError> SimulatedUsbHost::PipeObject::enqueue(std::span<std::uint8_t> data, std::uint32_t,
                                                                  std::shared_ptr<usb::TransferHandler> handler) {
    std::unique_lock lock(host_.mutex_);
    Hardware& d = *device_;
    if (!d.present || !d.open) return deviceGone();
    if (address_ & 0x80) {
        if (d.failures.readSubmit) return d.failures.readSubmit;
        if (d.readHandler) return simulatedError(usb::Return::busy, "a read is already in flight");
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
    if (d.outWrites.size() < recordedWrites) d.outWrites.emplace_back(data.begin(), data.end());
    ++host_.live_;
    d.mostWritesInFlight = std::max(d.mostWritesInFlight, ++d.writesInFlight);
    if (d.holdWrites) {
        d.heldWrites.emplace_back(std::move(handler), data.size());
        return std::nullopt;
    }
    const std::uint32_t status = d.failures.powerOnStatus;
    host_.finishWrite(d, std::move(handler), status, status == 0 ? data.size() : 0);
    return std::nullopt;
}

usb::Result<std::unique_ptr<usb::Pipe>> SimulatedUsbHost::InterfaceObject::copyPipe(std::uint8_t address) {
    std::lock_guard lock(host_.mutex_);
    if (auto it = device_->failures.pipeOpen.find(address); it != device_->failures.pipeOpen.end()) {
        return it->second;
    }
    const auto& eps = device_->description.endpoints;
    if (std::none_of(eps.begin(), eps.end(), [&](auto& e) { return e.bEndpointAddress == address; })) {
        return simulatedError(usb::Return::notFound, "no such endpoint");
    }
    return std::unique_ptr<usb::Pipe>(std::make_unique<PipeObject>(host_, device_, address));
}

std::optional<usb::UsbError> SimulatedUsbHost::InterfaceObject::selectAlternateSetting(std::uint8_t setting) {
    std::lock_guard lock(host_.mutex_);
    Hardware& d = *device_;
    if (!d.present || !d.open || !entry_) return deviceGone();
    if (d.failures.selectAlternateSetting) return d.failures.selectAlternateSetting;
    const int number = static_cast<const EntryImpl&>(*entry_).number;
    const int settings = number == 1 ? d.description.audioSettings : 1;
    if (setting >= settings) return simulatedError(usb::Return::notFound, "no such alternate setting");
    d.alternateSettings.emplace_back(number, setting);
    return std::nullopt;
}

void SimulatedUsbHost::InterfaceObject::destroy() {
    if (!destroyOnce()) return;
    std::lock_guard lock(host_.mutex_);
    host_.cancelRead(*device_, usb::Return::aborted);
    host_.cancelWrites(*device_);
    entry_.reset();
}

std::optional<usb::UsbError> SimulatedUsbHost::DeviceObject::configure(int, bool) {
    std::lock_guard lock(host_.mutex_);
    ++device_->configureCalls;
    if (device_->failures.configure) return device_->failures.configure;
    device_->configured = true;
    device_->probesSinceConfigure = 0;
    return std::nullopt;
}

void SimulatedUsbHost::DeviceObject::destroy() {
    if (!destroyOnce()) return;
    {
        std::lock_guard lock(host_.mutex_);
        device_->open = false;
        device_->interest = nullptr;
        entry_.reset();
    }
    host_.changed_.notify_all();
}

}  // namespace joyrelay::sim
