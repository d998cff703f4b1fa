// Placeholder until the libusb host lands: a bus with no devices.
#include "Platform.hpp"
#include "simulated/SimulatedUsbHost.hpp"

namespace joyrelay {

std::unique_ptr<usb::UsbHost> makePlatformUsbHost(SerialQueue& queue) {
    return std::make_unique<sim::SimulatedUsbHost>(queue);
}

}  // namespace joyrelay
