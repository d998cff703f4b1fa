// The device, interface and pipe objects of LibusbHost.
#include <libusb.h>

#include <algorithm>
#include <cstdio>

#include "platform/linux/usb/LibusbCore.hpp"
#include "platform/linux/usb/LibusbErrors.hpp"

namespace joyrelay::usb {

std::optional<UsbError> claim(DeviceState& d, int number) {
    if (std::find(d.claimed.begin(), d.claimed.end(), number) != d.claimed.end()) return std::nullopt;
    const int rc = libusb_claim_interface(d.handle.get(), number);
    if (rc == LIBUSB_SUCCESS) {
        d.claimed.push_back(number);
        return std::nullopt;
    }
    const std::string what = "libusb_claim_interface " + std::to_string(number) + " of " + d.name;
    if (rc == LIBUSB_ERROR_BUSY) {
        UsbError e = libusbError(rc, what, Return::exclusiveAccess);
        e.description += " \u2014 another program holds the interface";
        return e;
    }
    return libusbError(rc, what);
}

namespace {

class PipeObject final : public Pipe {
public:
    PipeObject(std::shared_ptr<InterfaceState> interface, std::uint8_t address, bool bulk)
        : interface_(std::move(interface)), address_(address), bulk_(bulk) {}

    std::optional<UsbError> enqueue(std::span<std::uint8_t> data, std::uint32_t timeoutMs,
                                    std::shared_ptr<TransferHandler> handler) override {
        DeviceState& d = *interface_->device;
        if (interface_->destroyed || d.destroyed) return destroyedError("enqueue");
        d.core->noteQueueThread();
        return d.core->transfers.submit(d.slots, d.handle.get(), address_, bulk_, data, timeoutMs,
                                        std::move(handler), d.name);
    }

    std::optional<UsbError> clearStall() override {
        DeviceState& d = *interface_->device;
        if (interface_->destroyed || d.destroyed) return destroyedError("clear halt");
        const int rc = libusb_clear_halt(d.handle.get(), address_);
        if (rc == LIBUSB_SUCCESS) return std::nullopt;
        char what[96];
        std::snprintf(what, sizeof what, "libusb_clear_halt on endpoint 0x%02x of ", address_);
        return libusbError(rc, what + d.name);
    }

private:
    std::shared_ptr<InterfaceState> interface_;
    std::uint8_t address_;
    bool bulk_;
};

class InterfaceObject final : public Interface {
public:
    explicit InterfaceObject(std::shared_ptr<InterfaceState> state) : state_(std::move(state)) {}
    ~InterfaceObject() override { destroy(); }

    std::vector<EndpointDescriptor> endpoints() const override { return state_->endpoints; }

    Result<std::unique_ptr<Pipe>> copyPipe(std::uint8_t address) override {
        if (state_->destroyed || state_->device->destroyed) return destroyedError("copyPipe");
        for (const EndpointDescriptor& e : state_->endpoints) {
            if (e.bEndpointAddress != address) continue;
            const int type = e.bmAttributes & 0x03;
            if (type != LIBUSB_TRANSFER_TYPE_INTERRUPT && type != LIBUSB_TRANSFER_TYPE_BULK) break;
            return std::unique_ptr<Pipe>(
                std::make_unique<PipeObject>(state_, address, type == LIBUSB_TRANSFER_TYPE_BULK));
        }
        char text[96];
        std::snprintf(text, sizeof text, "no interrupt or bulk endpoint 0x%02x on interface %d", address,
                      state_->number);
        return hostError(Return::notFound, text + (" of " + state_->device->name), text);
    }

    std::optional<UsbError> selectAlternateSetting(std::uint8_t setting) override {
        DeviceState& d = *state_->device;
        if (state_->destroyed || d.destroyed) return destroyedError("select alternate setting");
        ConfigPtr config = activeConfig(d.device);
        const libusb_interface_descriptor* alt = config ? findInterface(*config, state_->number, setting) : nullptr;
        const std::string what = "alternate setting " + std::to_string(setting) + " of interface " +
                                 std::to_string(state_->number) + " of " + d.name;
        if (alt == nullptr) return hostError(Return::notFound, what + ": no such setting", "no such alternate setting");
        const int rc = libusb_set_interface_alt_setting(d.handle.get(), state_->number, setting);
        if (rc != LIBUSB_SUCCESS) return libusbError(rc, "libusb_set_interface_alt_setting: " + what);
        state_->endpoints.clear();
        for (int i = 0; i < alt->bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& ep = alt->endpoint[i];
            state_->endpoints.push_back({ep.bLength, ep.bDescriptorType, ep.bEndpointAddress, ep.bmAttributes,
                                         ep.wMaxPacketSize, ep.bInterval});
        }
        return std::nullopt;
    }

    void destroy() override {
        // Dropping the handlers of cancelled transfers may destroy the objects that own this one.
        std::shared_ptr<InterfaceState> state = state_;
        if (state->destroyed) return;
        state->destroyed = true;
        std::shared_ptr<DeviceState> device = state->device;
        device->core->stopTransfers(*device);
        device->core->releaseInterface(*device, state->number);
        state->entry.reset();
    }

private:
    std::shared_ptr<InterfaceState> state_;
};

class DeviceObject final : public Device {
public:
    explicit DeviceObject(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {}
    ~DeviceObject() override { destroy(); }

    std::optional<UsbError> configure(int value,
                                      bool /*matchInterfaces: libusb lists them at once*/) override {
        DeviceState& d = *state_;
        if (d.destroyed) return destroyedError("configure");
        int current = -1;
        if (libusb_get_configuration(d.handle.get(), &current) == LIBUSB_SUCCESS && current == value) {
            return std::nullopt;  // setting the active configuration again would reset the device
        }
        for (int number : d.claimed) libusb_release_interface(d.handle.get(), number);
        d.claimed.clear();
        const int rc = libusb_set_configuration(d.handle.get(), value);
        if (rc != LIBUSB_SUCCESS) {
            return libusbError(rc, "libusb_set_configuration " + std::to_string(value) + " of " + d.name);
        }
        return std::nullopt;
    }

    void destroy() override {
        std::shared_ptr<DeviceState> state = state_;
        state->core->destroyDevice(state);
    }

private:
    std::shared_ptr<DeviceState> state_;
};

}  // namespace

std::unique_ptr<Device> makeDeviceObject(std::shared_ptr<DeviceState> state) {
    return std::make_unique<DeviceObject>(std::move(state));
}

std::unique_ptr<Interface> makeInterfaceObject(std::shared_ptr<InterfaceState> state) {
    return std::make_unique<InterfaceObject>(std::move(state));
}

}  // namespace joyrelay::usb
