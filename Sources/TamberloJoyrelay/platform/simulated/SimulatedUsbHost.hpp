// A scriptable USB host: devices plugged at start or later, unplugged, held by another program, failing
// any step on demand, with any endpoint layout and any read result. It backs replay and the bridge
// tests, and it counts live references so that a test can prove none leaked.
//
// Threads: the UsbHost operations are called on the bridge queue; the scripting operations may be
// called from any thread. Every callback is delivered through the bridge queue, never inline.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "contracts/Queue.hpp"
#include "contracts/UsbHost.hpp"

namespace joyrelay::sim {

struct DeviceSpec {
    std::optional<std::int64_t> vendor = 0x2DC8;
    std::optional<std::int64_t> product = 0x2004;
    std::optional<std::int64_t> deviceClass = 0xFF;
    std::optional<std::string> productName = "8BitDo Arcade Stick";
    // Interface 0 is published at once (0), only after configuration at probe k (k >= 1), or never (-1).
    int interfaceAtProbe = 0;
    std::vector<usb::EndpointDescriptor> endpoints = {{7, 5, 0x82, 3, 32, 1}, {7, 5, 0x02, 3, 32, 1}};
    bool heldByOtherProgram = false;
    // Alternate settings of interface 1 (the audio interface of an Xbox One pad); 0: no interface 1.
    int audioSettings = 0;
};

// Steps that fail on demand, for one device; each applies to every attempt while it is set.
struct Failures {
    std::optional<usb::UsbError> open{};           // openDevice (not exclusive access: use heldByOtherProgram)
    std::optional<usb::UsbError> configure{};
    std::optional<usb::UsbError> interfaceOpen{};
    std::map<std::uint8_t, usb::UsbError> pipeOpen{};  // by endpoint address
    std::optional<usb::UsbError> powerOnSubmit{};   // any OUT transfer
    std::uint32_t powerOnStatus = 0;              // completion status of OUT transfers
    std::optional<usb::UsbError> readSubmit{};
    std::optional<usb::UsbError> selectAlternateSetting{};
};

// What happens to a read in flight when the device is unplugged.
enum class PendingRead {
    abortAfterNotice,  // the removal notice first, then the read completes with Return::aborted
    abortBeforeNotice, // the read completes with Return::aborted first, then the removal notice
    vanish,            // the read never completes
};

class SimulatedUsbHost final : public usb::UsbHost {
public:
    using DeviceId = int;

    explicit SimulatedUsbHost(SerialQueue& queue);
    ~SimulatedUsbHost() override;

    // Host-wide failures.
    void failNotificationPort(bool fail);
    void failMatchingNotification(std::uint32_t code);
    void failMatchingDevices(bool fail);
    // Whether destroying an interface completes its read in flight (with Return::aborted) or drops it.
    void completeCancelledReads(bool complete);

    // Plugs devices in. Before discovery is installed they are present at start; afterwards each call
    // is one arrival batch, delivered on the queue.
    DeviceId plug(DeviceSpec description);
    std::vector<DeviceId> plugBatch(const std::vector<DeviceSpec>& descriptions);
    void unplug(DeviceId id, PendingRead pending = PendingRead::abortAfterNotice);
    void setHeldByOtherProgram(DeviceId id, bool held);
    void setFailures(DeviceId id, Failures failures);

    // Completes the device's read in flight: the bytes are copied to the start of its buffer (cut to
    // the buffer's length) and the completion reports `reportedCount` bytes (default: all of them).
    // False when no read is in flight.
    bool completeRead(DeviceId id, std::span<const std::uint8_t> bytes, std::uint32_t status = 0,
                      std::optional<std::size_t> reportedCount = std::nullopt);

    // OUT transfers of the device stay in flight while held (from now on), until completeHeldWrites
    // ends them, oldest first, with `status`; it returns how many it ended.
    void holdWrites(DeviceId id, bool hold);
    std::size_t completeHeldWrites(DeviceId id, std::uint32_t status = 0);
    int writesInFlight(DeviceId id) const;
    int mostWritesInFlight(DeviceId id) const;  // since the device was plugged
    // Every alternate setting selected on the device, as (interface number, setting).
    std::vector<std::pair<int, int>> alternateSettingsSelected(DeviceId id) const;

    bool readPending(DeviceId id) const;
    bool waitForReadPending(DeviceId id, std::chrono::milliseconds timeout) const;
    bool deviceOpen(DeviceId id) const;
    bool waitUntilClosed(DeviceId id, std::chrono::milliseconds timeout) const;
    // The device's OUT transfers in order, the first `recordedWrites` of them (a long replay of a pad
    // that asks for acknowledgements must not grow memory).
    static constexpr std::size_t recordedWrites = 10000;
    std::vector<std::vector<std::uint8_t>> outWrites(DeviceId id) const;
    int openAttempts(DeviceId id) const;
    int configureCalls(DeviceId id) const;
    int readsSubmitted(DeviceId id) const;
    int stallsCleared(DeviceId id) const;  // halts cleared on its pipes
    std::size_t readBufferSize(DeviceId id) const;  // of the last read submitted

    // Entries, device, interface and pipe objects, and transfer handlers the host still holds.
    long liveReferences() const;

    // Steady-clock time (ns) at which the last read completion started running on the queue.
    std::int64_t lastDeliveryNs() const { return lastDelivery_.load(std::memory_order_acquire); }

    // usb::UsbHost
    bool createNotificationPort() override;
    std::uint32_t addMatchingNotification(usb::ArrivalHandler onArrival, usb::EntryBatch& present) override;
    std::optional<usb::EntryBatch> matchingDevices() override;
    std::optional<std::int64_t> intProperty(const usb::Entry& entry, std::string_view key) override;
    std::optional<std::string> stringProperty(const usb::Entry& entry, std::string_view key) override;
    usb::EntryRef childInterface(const usb::Entry& device, int number) override;
    usb::EntryRef retain(const usb::Entry& entry) override;
    usb::Result<std::unique_ptr<usb::Device>> openDevice(usb::EntryRef device, usb::InterestHandler onInterest) override;
    usb::Result<std::unique_ptr<usb::Interface>> openInterface(usb::EntryRef interface) override;

    struct Hardware;  // one simulated device; implementation detail

private:
    class EntryImpl;
    template <class Contract>
    class Opened;
    class DeviceObject;
    class InterfaceObject;
    class PipeObject;
    friend class EntryImpl;
    friend class DeviceObject;
    friend class InterfaceObject;
    friend class PipeObject;

    usb::EntryRef makeEntry(const std::shared_ptr<Hardware>& device, bool interface, int number = 0);
    usb::EntryBatch presentEntries();  // an entry for each device plugged in, with the lock held
    std::shared_ptr<Hardware> find(DeviceId id) const;
    // One field of a device, read under the lock; its empty value for an unknown device.
    template <class T>
    T inspect(DeviceId id, T Hardware::*field) const;
    void deliverRead(Hardware* device);
    void cancelRead(Hardware& device, std::uint32_t status);  // with the lock held
    // Ends the read in flight with `status` and `count`; the completion runs on the queue. With the
    // lock held.
    void finishRead(Hardware& device, std::uint32_t status, std::size_t count);
    // Ends one OUT transfer; its completion runs on the queue. With the lock held.
    void finishWrite(Hardware& device, std::shared_ptr<usb::TransferHandler> handler, std::uint32_t status,
                     std::size_t count);
    void cancelWrites(Hardware& device);  // the held ones, as cancelRead does; with the lock held

    SerialQueue& queue_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<DeviceId, std::shared_ptr<Hardware>> devices_;
    DeviceId nextId_ = 1;
    usb::ArrivalHandler onArrival_;
    bool installed_ = false;
    bool failPort_ = false;
    std::uint32_t failMatching_ = 0;
    bool failList_ = false;
    bool completeCancelled_ = true;
    std::atomic<long> live_{0};
    std::atomic<std::int64_t> lastDelivery_{0};
};

}  // namespace joyrelay::sim
