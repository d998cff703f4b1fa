// Owners of libusb's handles, and the descriptor look-ups the host makes through them.
#pragma once

#include <libusb.h>

#include <memory>

namespace joyrelay::usb {

struct DeviceUnref {
    void operator()(libusb_device* d) const { libusb_unref_device(d); }
};
struct HandleClose {
    void operator()(libusb_device_handle* h) const { libusb_close(h); }
};
struct TransferFree {
    void operator()(libusb_transfer* t) const { libusb_free_transfer(t); }
};
struct ConfigFree {
    void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
};
struct ListFree {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DevicePtr = std::unique_ptr<libusb_device, DeviceUnref>;
using HandlePtr = std::unique_ptr<libusb_device_handle, HandleClose>;
using TransferPtr = std::unique_ptr<libusb_transfer, TransferFree>;
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigFree>;
using ListPtr = std::unique_ptr<libusb_device*, ListFree>;

inline DevicePtr reference(libusb_device* d) {
    return DevicePtr(libusb_ref_device(d));
}

inline ConfigPtr activeConfig(libusb_device* d) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(d, &config) != LIBUSB_SUCCESS) return nullptr;
    return ConfigPtr(config);
}

// Alternate setting `setting` (0 unless given) of interface `number`, or null.
inline const libusb_interface_descriptor* findInterface(const libusb_config_descriptor& config, int number,
                                                        int setting = 0) {
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        if (interface.num_altsetting == 0 || interface.altsetting[0].bInterfaceNumber != number) continue;
        for (int k = 0; k < interface.num_altsetting; ++k) {
            if (interface.altsetting[k].bAlternateSetting == setting) return &interface.altsetting[k];
        }
        return nullptr;
    }
    return nullptr;
}

}  // namespace joyrelay::usb
