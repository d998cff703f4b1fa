// The USB host on libusb-1.0: the UsbHost contract for Linux (and any platform libusb supports).
//
// How the contract maps onto libusb
//   arrivals        libusb hotplug with LIBUSB_HOTPLUG_ENUMERATE: the devices present when the notice is
//                   installed come back in `present`, every later plug-in as a batch on the bridge queue.
//                   Where libusb has no hotplug capability, the bus is listed every `rescanInterval` instead
//                   and the new devices are delivered as one batch.
//   removal         the hotplug "device left" event (or a device missing from the next listing) becomes
//                   messageServiceIsTerminated for the interest handler of that device's open object.
//   entries         a libusb_device reference (one libusb_ref_device per EntryRef), plus the interface
//                   number for an interface entry.
//   properties      idVendor, idProduct, bDeviceClass from the device descriptor (no I/O).
//                   "USB Product Name": the kernel's copy in
//                   /sys/bus/usb/devices/<bus>-<port.port...>/product when readable (it is world-readable on
//                   Linux); otherwise the product string descriptor, read through a short-lived open of the
//                   device; absent when neither works, so a device this user may not open has no name. The
//                   text is returned as the device gave it (one trailing line feed of the sysfs file
//                   removed); the bridge sanitizes it.
//   childInterface  interface `n` (alternate setting 0) of the active configuration, or null when the device
//                   is unconfigured or has no such interface.
//   openDevice      libusb_open, kernel-driver auto-detach on, and the claim of interface 0 right away, so
//                   another program holding the stick surfaces here as Return::exclusiveAccess
//                   (LIBUSB_ERROR_BUSY). A device without interface 0 in its current configuration is opened
//                   unclaimed; configure(1) and openInterface claim it later. Missing permission
//                   (LIBUSB_ERROR_ACCESS) is Return::notPermitted, and its description names the udev rule.
//   configure       libusb_set_configuration, unless that configuration is already active (setting it again
//                   would reset the device).
//   alternate       selectAlternateSetting: libusb_set_interface_alt_setting on the interface, which openInterface
//   settings        has claimed; the interface's endpoints become those of the new setting.
//   pipes           interrupt and bulk endpoints; one libusb_transfer per transfer in flight, kept in a small
//                   pool and reused, so a completed transfer costs no allocation once the pool is warm
//                   (TransferSlots.hpp).
//   destroy         cancel every transfer in flight, wait until libusb has given each one back, free them,
//                   release the interface (libusb re-attaches the kernel driver it detached) and close.
//                   Completions that had not run on the queue by then are dropped: after destroy, no
//                   callback of that device runs.
//
// Transfer statuses and libusb errors become IOReturn-style codes by the tables in LibusbErrors.hpp.
//
// Threads
//   Every UsbHost operation is called on the bridge queue. One event thread of the host's own, started
//   with its libusb context (LibusbContext.hpp), runs libusb_handle_events; it never calls into the
//   bridge: each completion, arrival batch and removal is handed to the queue (a work item of two words,
//   which the queue posts without allocating).
//   Destroy the host after the bridge and before its queue, while the queue still runs: the destructor
//   finishes its work on the queue (it waits for that when called from another thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/Queue.hpp"
#include "contracts/UsbHost.hpp"
#include "platform/linux/usb/LibusbErrors.hpp"

namespace joyrelay::usb {

class LibusbHost final : public UsbHost {
public:
    struct Settings {
        bool useHotplug = true;  // false: list the bus every rescanInterval
        std::chrono::milliseconds rescanInterval{2000};
        // How long destroying a device waits for libusb to give its cancelled transfers back.
        std::chrono::milliseconds cancelWait{5000};
    };

    explicit LibusbHost(SerialQueue& queue) : LibusbHost(queue, Settings{}) {}
    LibusbHost(SerialQueue& queue, Settings settings);
    ~LibusbHost() override;
    LibusbHost(const LibusbHost&) = delete;
    LibusbHost& operator=(const LibusbHost&) = delete;

    // Diagnostics, callable from any thread.
    bool usesHotplug() const;    // arrivals come from libusb hotplug (else from listing the bus)
    long liveTransfers() const;  // libusb_transfer structures allocated now
    long liveEntries() const;    // device and interface entries alive now
    long openDevices() const;    // device objects not yet destroyed

    // UsbHost
    bool createNotificationPort() override;
    std::uint32_t addMatchingNotification(ArrivalHandler onArrival, EntryBatch& present) override;
    std::optional<EntryBatch> matchingDevices() override;
    std::optional<std::int64_t> intProperty(const Entry& entry, std::string_view key) override;
    std::optional<std::string> stringProperty(const Entry& entry, std::string_view key) override;
    EntryRef childInterface(const Entry& device, int number) override;
    EntryRef retain(const Entry& entry) override;
    Result<std::unique_ptr<Device>> openDevice(EntryRef device, InterestHandler onInterest) override;
    Result<std::unique_ptr<Interface>> openInterface(EntryRef interface) override;

    struct Core;  // implementation; shared with the objects the host hands out

private:
    std::shared_ptr<Core> core_;
};

}  // namespace joyrelay::usb
