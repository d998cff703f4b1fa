// The platform's backends, chosen at start.
#pragma once

#include <memory>

#include "Queue.hpp"
#include "UsbHost.hpp"

namespace joyrelay {

// The platform's USB host, delivering its callbacks on `queue` (libusb on Linux).
std::unique_ptr<usb::UsbHost> makePlatformUsbHost(SerialQueue& queue);

}  // namespace joyrelay
