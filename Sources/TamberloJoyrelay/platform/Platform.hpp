// The platform's backends, chosen at start.
#pragma once

#include <memory>

#include "contracts/Queue.hpp"
#include "contracts/UsbHost.hpp"

namespace joyrelay {

// The platform's USB host, delivering its callbacks on `queue` (libusb on Linux).
std::unique_ptr<usb::UsbHost> makePlatformUsbHost(SerialQueue& queue);

}  // namespace joyrelay
