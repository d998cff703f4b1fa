// The texts a USB device is known by: its sysfs name, "2dc8:2004 at 1-1" for error texts, and its
// product name. The texts are returned as the device gave them; the bridge sanitizes them.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace joyrelay::usb {

// The device's name in /sys/bus/usb/devices: "1-1.4" behind port 4 of the hub on port 1 of bus 1,
// "usb1" for the root hub of bus 1; empty when libusb cannot tell.
std::string sysfsName(libusb_device* d);

// "2dc8:2004 at 1-1", for error texts.
std::string describe(libusb_device* d);

// A string descriptor's UTF-16LE text (`units` code units at `p`) as UTF-8; unpaired surrogates
// become U+FFFD.
std::string fromUtf16le(const unsigned char* p, std::size_t units);

// String descriptor `index` in the device's first language, or nothing.
std::optional<std::string> stringDescriptor(libusb_device_handle* h, std::uint8_t index);

// The product name: the kernel's copy in sysfs when readable (one trailing line feed removed), else
// the product string descriptor, read through `openHandle` when the device is open here, or through
// a short-lived open of its own; nothing when neither works.
std::optional<std::string> productName(libusb_device* d, libusb_device_handle* openHandle);

}  // namespace joyrelay::usb
