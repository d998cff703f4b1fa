// libusb's statuses and errors as IOReturn-style codes, and the error texts built from them.
//
// Transfer statuses (transferStatusCode):
//   LIBUSB_TRANSFER_COMPLETED  0                         LIBUSB_TRANSFER_STALL      Return::pipeStalled
//   LIBUSB_TRANSFER_ERROR      Return::error             LIBUSB_TRANSFER_NO_DEVICE  Return::noDevice
//   LIBUSB_TRANSFER_TIMED_OUT  Return::timeout           LIBUSB_TRANSFER_OVERFLOW   Return::overrun
//   LIBUSB_TRANSFER_CANCELLED  Return::aborted           anything else              Return::error
// so "read error 0x%08x" names what happened: e00002c0 the stick has gone, e000404f it stalled,
// e00002e8 it sent more than asked for, e00002eb the read was cancelled, e00002d6 it timed out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/UsbHost.hpp"

namespace joyrelay::usb {

// The code of a libusb transfer status (enum libusb_transfer_status), by the table above.
std::uint32_t transferStatusCode(int libusbTransferStatus);

// The code of a libusb error (enum libusb_error) returned by a call:
//   LIBUSB_SUCCESS 0, ERROR_IO error, INVALID_PARAM badArgument, ACCESS notPermitted, NO_DEVICE noDevice,
//   NOT_FOUND notFound, BUSY busy (exclusiveAccess when it answers a claim), TIMEOUT timeout,
//   OVERFLOW overrun, PIPE pipeStalled, INTERRUPTED aborted, NO_MEM noMemory, NOT_SUPPORTED unsupported,
//   anything else error.
std::uint32_t libusbErrorCode(int libusbError);

// The error of a failed libusb call: `what` names the call and the device ("libusb_open 2dc8:2004 at 1-1").
// The description carries libusb's error name and text and the code; for LIBUSB_ERROR_ACCESS it also says
// how to get permission (the udev rule).
UsbError libusbError(int libusbError, std::string_view what);

// As libusbError, with `code` instead of the one from the table.
UsbError libusbError(int libusbError, std::string_view what, std::uint32_t code);

// "0xe00002c0": how every code appears in the texts.
std::string hexCode(std::uint32_t code);

// An error that is not libusb's: "<what> (0x...)" with `shortText` as the localized description.
UsbError hostError(std::uint32_t code, const std::string& what, std::string shortText);

// The call `what` was made on a device or interface object that has been destroyed.
UsbError destroyedError(std::string_view what);

}  // namespace joyrelay::usb
