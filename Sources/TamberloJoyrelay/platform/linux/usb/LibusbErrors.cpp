#include "platform/linux/usb/LibusbErrors.hpp"

#include <libusb.h>

#include <cstdio>
#include <utility>

namespace joyrelay::usb {

std::uint32_t transferStatusCode(int status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return Return::success;
        case LIBUSB_TRANSFER_ERROR:
            return Return::error;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return Return::timeout;
        case LIBUSB_TRANSFER_CANCELLED:
            return Return::aborted;
        case LIBUSB_TRANSFER_STALL:
            return Return::pipeStalled;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return Return::noDevice;
        case LIBUSB_TRANSFER_OVERFLOW:
            return Return::overrun;
        default:
            return Return::error;
    }
}

std::uint32_t libusbErrorCode(int error) {
    switch (error) {
        case LIBUSB_SUCCESS:
            return Return::success;
        case LIBUSB_ERROR_IO:
            return Return::error;
        case LIBUSB_ERROR_INVALID_PARAM:
            return Return::badArgument;
        case LIBUSB_ERROR_ACCESS:
            return Return::notPermitted;
        case LIBUSB_ERROR_NO_DEVICE:
            return Return::noDevice;
        case LIBUSB_ERROR_NOT_FOUND:
            return Return::notFound;
        case LIBUSB_ERROR_BUSY:
            return Return::busy;
        case LIBUSB_ERROR_TIMEOUT:
            return Return::timeout;
        case LIBUSB_ERROR_OVERFLOW:
            return Return::overrun;
        case LIBUSB_ERROR_PIPE:
            return Return::pipeStalled;
        case LIBUSB_ERROR_INTERRUPTED:
            return Return::aborted;
        case LIBUSB_ERROR_NO_MEM:
            return Return::noMemory;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return Return::unsupported;
        default:
            return Return::error;
    }
}

std::string hexCode(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", code);
    return text;
}

UsbError libusbError(int error, std::string_view what, std::uint32_t code) {
    UsbError e;
    e.code = code;
    e.description = std::string(what) + ": " + libusb_error_name(error) + " (" + libusb_strerror(error) +
                    ", " + hexCode(code) + ")";
    e.localizedDescription = libusb_strerror(error);
    if (error == LIBUSB_ERROR_ACCESS) {
        e.description +=
            " \u2014 this user may not open the device: install the udev rule 70-tamberlo-joyrelay.rules "
            "(see the README), then plug the stick in again";
        e.localizedDescription += " \u2014 install the udev rule (see the README)";
    }
    return e;
}

UsbError libusbError(int error, std::string_view what) {
    return libusbError(error, what, libusbErrorCode(error));
}

UsbError hostError(std::uint32_t code, const std::string& what, std::string shortText) {
    return {code, what + " (" + hexCode(code) + ")", std::move(shortText)};
}

UsbError destroyedError(std::string_view what) {
    return hostError(Return::noDevice, std::string(what) + ": the device object has been destroyed",
                     "the device has gone");
}

}  // namespace joyrelay::usb
