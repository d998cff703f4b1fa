#include "platform/linux/keys/UinputKeyEvents.hpp"

#include <linux/input.h>

#include <cstring>

#include "platform/linux/keys/KeyCodes.hpp"

namespace joyrelay {

namespace {

class DeviceSink final : public UinputSink {
public:
    explicit DeviceSink(libevdev_uinput* device) : device_(device) {}
    int write(unsigned type, unsigned code, int value) override {
        return libevdev_uinput_write_event(device_, type, code, value);
    }

private:
    libevdev_uinput* device_;
};

}  // namespace

LibevdevPtr makeUinputKeyboardDescription() {
    LibevdevPtr dev(libevdev_new());
    if (!dev) return nullptr;
    libevdev_set_name(dev.get(), uinputDeviceName);
    libevdev_set_id_bustype(dev.get(), BUS_VIRTUAL);
    libevdev_enable_event_type(dev.get(), EV_KEY);
    for (const linux_keys::KeyCodeEntry& entry : linux_keys::keyCodeTable()) {
        libevdev_enable_event_code(dev.get(), EV_KEY, entry.evdev, nullptr);
    }
    return dev;
}

std::unique_ptr<UinputKeyEvents> UinputKeyEvents::create(std::string* error) {
    LibevdevPtr description = makeUinputKeyboardDescription();
    libevdev_uinput* raw = nullptr;
    const int rc = description ? libevdev_uinput_create_from_device(description.get(),
                                                                    LIBEVDEV_UINPUT_OPEN_MANAGED, &raw)
                               : -ENOMEM;
    if (rc != 0) {
        if (error) {
            *error = std::string("cannot create a uinput keyboard: ") + std::strerror(-rc) + " (/dev/uinput)";
        }
        return nullptr;
    }
    UinputDevicePtr device(raw);
    auto sink = std::make_unique<DeviceSink>(device.get());
    return std::make_unique<UinputKeyEvents>(Owned{}, std::move(device), std::move(sink));
}

UinputKeyEvents::UinputKeyEvents(Owned, UinputDevicePtr device, std::unique_ptr<UinputSink> ownSink)
    : device_(std::move(device)), ownSink_(std::move(ownSink)), sink_(ownSink_.get()) {}

std::optional<KeyEvent> UinputKeyEvents::createKeyboardEvent(std::uint16_t virtualKey, bool down) {
    if (!linux_keys::evdevCode(virtualKey)) return std::nullopt;
    return KeyEvent{virtualKey, down, std::nullopt};
}

std::optional<std::string> UinputKeyEvents::devnode() const {
    const char* node = device_ ? libevdev_uinput_get_devnode(device_.get()) : nullptr;
    if (!node) return std::nullopt;
    return std::string(node);
}

void UinputKeyEvents::post(const KeyEvent& event) {
    const std::optional<std::uint16_t> code = linux_keys::evdevCode(event.virtualKey);
    if (!code) return;
    if (sink_->write(EV_KEY, *code, event.down ? 1 : 0) != 0) return;
    sink_->write(EV_SYN, SYN_REPORT, 0);
}

}  // namespace joyrelay
