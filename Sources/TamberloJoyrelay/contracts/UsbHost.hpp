// The USB host contract: everything the stick bridge needs from the platform's USB stack.
//
// Backends: LibusbHost (linux/) on libusb-1.0, and SimulatedUsbHost (simulated/) for replay and tests.
//
// Threads. A host is created with the bridge's SerialQueue. Every operation is called on that queue,
// and every callback (arrivals, interest messages, transfer completions) runs on it, never inline
// inside the call that caused it. So the bridge needs no lock.
//
// References. A registry entry (a device or one of its interfaces) is reached through an EntryRef,
// which holds exactly one reference: dropping it gives the reference back, moving it hands the
// reference on, `retain` takes another. A reference can therefore neither leak nor be given back
// twice. Opening a device or an interface consumes the EntryRef passed in: the object keeps it for
// its life, and when opening fails the reference is given back before the call returns.
//
// Errors carry a 32-bit IOReturn-style code (the table below), a full description for logs and a
// short localized description for status texts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace joyrelay::usb {

// IOReturn-style codes. Every non-zero code is a failure.
namespace Return {
inline constexpr std::uint32_t success = 0;
inline constexpr std::uint32_t error = 0xE00002BC;            // general failure (I/O error)
inline constexpr std::uint32_t noMemory = 0xE00002BD;
inline constexpr std::uint32_t noResources = 0xE00002BE;
inline constexpr std::uint32_t badArgument = 0xE00002C2;
inline constexpr std::uint32_t noDevice = 0xE00002C0;         // the device has gone
inline constexpr std::uint32_t exclusiveAccess = 0xE00002C5;  // another program holds the device
inline constexpr std::uint32_t unsupported = 0xE00002C7;
inline constexpr std::uint32_t busy = 0xE00002D5;
inline constexpr std::uint32_t timeout = 0xE00002D6;
inline constexpr std::uint32_t notPermitted = 0xE00002E2;     // no permission to open the device
inline constexpr std::uint32_t overrun = 0xE00002E8;          // the device sent more than asked for
inline constexpr std::uint32_t aborted = 0xE00002EB;          // cancelled
inline constexpr std::uint32_t notFound = 0xE00002F0;
inline constexpr std::uint32_t pipeStalled = 0xE000404F;      // the endpoint answered STALL
}  // namespace Return

// Interest message: the device's service has been terminated (it was unplugged).
inline constexpr std::uint32_t messageServiceIsTerminated = 0xE0000010;

struct UsbError {
    std::uint32_t code = Return::error;
    std::string description;           // full text, for log lines
    std::string localizedDescription;  // short text, for the user
};

// A value or a UsbError.
template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(UsbError error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    T take() { return std::move(std::get<0>(v_)); }
    const UsbError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, UsbError> v_;
};

// A registry entry held by one reference. Backends derive their own entry type.
class Entry {
public:
    virtual ~Entry() = default;
};
using EntryRef = std::unique_ptr<Entry>;
using EntryBatch = std::vector<EntryRef>;

// A standard USB endpoint descriptor (7 bytes), fields as on the wire.
struct EndpointDescriptor {
    std::uint8_t bLength = 7;
    std::uint8_t bDescriptorType = 5;
    std::uint8_t bEndpointAddress = 0;  // bit 7 set: IN
    std::uint8_t bmAttributes = 3;      // interrupt
    std::uint16_t wMaxPacketSize = 0;   // taken whole, upper bits included
    std::uint8_t bInterval = 1;
};

// Receives the completion of one transfer. The pipe keeps the handler alive from submission until
// the completion has run (or until the interface is destroyed, for a transfer that never completes).
class TransferHandler {
public:
    // Runs once per transfer, on the bridge queue: `status` 0 for success, else an IOReturn-style
    // code; `bytes` is the count the device transferred, which may exceed the buffer's length when
    // the device sent more than asked for.
    virtual void transferCompleted(std::uint32_t status, std::size_t bytes) = 0;

protected:
    ~TransferHandler() = default;
};

class Pipe {
public:
    virtual ~Pipe() = default;

    // Queues one transfer: an IN pipe fills `data` from its start, an OUT pipe sends it.
    // `timeoutMs` 0 means no timeout. Returns nothing when the transfer was queued; exactly one
    // completion then follows on the bridge queue, unless the interface is destroyed first, in which
    // case the transfer is cancelled and completes with a non-zero status or not at all. Returns an
    // error when the transfer was refused; no completion follows then. `data` must stay valid until
    // the completion has run or the interface has been destroyed.
    virtual std::optional<UsbError> enqueue(std::span<std::uint8_t> data, std::uint32_t timeoutMs,
                                            std::shared_ptr<TransferHandler> handler) = 0;

    // Clears a halt (a stall) of the endpoint, with no transfer in flight on it. Returns nothing when
    // the device accepted it.
    virtual std::optional<UsbError> clearStall() {
        return UsbError{Return::unsupported, "clearing a halt is not supported", "Unsupported"};
    }
};

class Interface {
public:
    // Destroys the interface if that has not happened yet.
    virtual ~Interface() = default;

    // The interface's endpoint descriptors, in descriptor order.
    virtual std::vector<EndpointDescriptor> endpoints() const = 0;

    // A pipe for the endpoint at `address`, or an error.
    virtual Result<std::unique_ptr<Pipe>> copyPipe(std::uint8_t address) = 0;

    // Selects alternate setting `setting` of the interface, with no transfer in flight on it; its
    // endpoints change with it. Returns nothing when the device accepted it, else an error
    // (Return::notFound for a setting the interface does not have).
    virtual std::optional<UsbError> selectAlternateSetting(std::uint8_t setting) = 0;

    // Cancels every transfer in flight on the interface's pipes, waits until the stack has given
    // them back, releases the interface and closes it. Callable more than once.
    virtual void destroy() = 0;
};

class Device {
public:
    // Destroys the device if that has not happened yet.
    virtual ~Device() = default;

    // Selects configuration `value`; with `matchInterfaces` the host publishes its interfaces
    // (possibly some time later). Returns nothing on success.
    virtual std::optional<UsbError> configure(int value, bool matchInterfaces) = 0;

    // Ends the exclusive claim and closes the device. No interest message follows. Callable more
    // than once.
    virtual void destroy() = 0;
};

// Called on the bridge queue with each interest message of an open device.
using InterestHandler = std::function<void(std::uint32_t message)>;
// Called on the bridge queue with every batch of newly published devices.
using ArrivalHandler = std::function<void(EntryBatch batch)>;

class UsbHost {
public:
    virtual ~UsbHost() = default;

    // Prepares the delivery of arrival notices to the bridge queue. False when that is impossible.
    virtual bool createNotificationPort() = 0;

    // Installs the arrival notice for USB devices. Returns 0 and fills `present` with the devices
    // present now (each with one reference); from then on `onArrival` runs on the bridge queue once
    // for every later batch of newly published devices. Returns a non-zero code when the notice
    // cannot be installed; nothing is delivered then.
    virtual std::uint32_t addMatchingNotification(ArrivalHandler onArrival, EntryBatch& present) = 0;

    // The devices present now, or nothing when they cannot be listed.
    virtual std::optional<EntryBatch> matchingDevices() = 0;

    // A property of the entry itself: "idVendor", "idProduct", "bDeviceClass" (integers) and
    // "USB Product Name" (text) for a device, "bInterfaceNumber" for an interface. Nothing when the
    // property is absent or of the other type.
    virtual std::optional<std::int64_t> intProperty(const Entry& entry, std::string_view key) = 0;
    virtual std::optional<std::string> stringProperty(const Entry& entry, std::string_view key) = 0;

    // The device's published interface whose "bInterfaceNumber" is `number`, or null.
    virtual EntryRef childInterface(const Entry& device, int number) = 0;

    // Another reference on the same entry.
    virtual EntryRef retain(const Entry& entry) = 0;

    // Opens the device for exclusive use. `onInterest` receives the device's interest messages on the
    // bridge queue for as long as the device object is not destroyed; messageServiceIsTerminated
    // means it was unplugged. Fails with Return::exclusiveAccess when another program holds it.
    virtual Result<std::unique_ptr<Device>> openDevice(EntryRef device, InterestHandler onInterest) = 0;

    // Opens an interface entry returned by childInterface.
    virtual Result<std::unique_ptr<Interface>> openInterface(EntryRef interface) = 0;
};

}  // namespace joyrelay::usb
