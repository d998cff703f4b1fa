// The platform's USB host on Linux: libusb.
#include "platform/Platform.hpp"
#include "platform/linux/usb/LibusbHost.hpp"

namespace joyrelay {

std::unique_ptr<usb::UsbHost> makePlatformUsbHost(SerialQueue& queue) {
    return std::make_unique<usb::LibusbHost>(queue);
}

}  // namespace joyrelay
