// The inside of the simulated USB host: the state of one simulated device, and the entry, device,
// interface and pipe objects handed out through the UsbHost contract. Each object counts itself in
// the host's live references for as long as it exists. Only the simulated host's own files include
// this header.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/simulated/SimulatedUsbHost.hpp"

namespace joyrelay::sim {

// An error as the simulated host reports it: the text, with the code appended for the log.
usb::UsbError simulatedError(std::uint32_t code, const std::string& text);
// The error of every step tried on a device that has been unplugged.
usb::UsbError deviceGone();

// One live reference of the host, counted from construction to destruction.
class LiveReference {
public:
    explicit LiveReference(std::atomic<long>& count) : count_(count) { ++count_; }
    ~LiveReference() { --count_; }
    LiveReference(const LiveReference&) = delete;
    LiveReference& operator=(const LiveReference&) = delete;

private:
    std::atomic<long>& count_;
};

struct SimulatedUsbHost::Hardware {
    DeviceId id = 0;
    DeviceSpec description;
    Failures failures;
    bool present = true;
    bool configured = false;
    int probesSinceConfigure = 0;
    bool open = false;
    usb::InterestHandler interest;
    std::vector<std::vector<std::uint8_t>> outWrites;
    int openAttempts = 0;
    int configureCalls = 0;
    int readsSubmitted = 0;
    int stallsCleared = 0;
    std::size_t lastReadSize = 0;
    // OUT transfers held in flight (holdWrites), oldest first, with their byte counts.
    bool holdWrites = false;
    std::vector<std::pair<std::shared_ptr<usb::TransferHandler>, std::size_t>> heldWrites;
    int writesInFlight = 0;  // held, or completed and not yet delivered
    int mostWritesInFlight = 0;
    std::vector<std::pair<int, int>> alternateSettings;
    // The read in flight, and a finished read waiting to be delivered on the queue.
    std::span<std::uint8_t> readBuffer;
    std::shared_ptr<usb::TransferHandler> readHandler;
    std::shared_ptr<usb::TransferHandler> doneHandler;
    std::uint32_t doneStatus = 0;
    std::size_t doneCount = 0;
};

class SimulatedUsbHost::EntryImpl final : public usb::Entry {
public:
    EntryImpl(SimulatedUsbHost& host, std::shared_ptr<Hardware> device, bool interface, int number)
        : live(host.live_), device(std::move(device)), interface(interface), number(number) {}
    LiveReference live;
    std::shared_ptr<Hardware> device;
    bool interface;
    int number;  // the interface's number
};

class SimulatedUsbHost::PipeObject final : public usb::Pipe {
public:
    PipeObject(SimulatedUsbHost& host, std::shared_ptr<Hardware> device, std::uint8_t address)
        : host_(host), live_(host.live_), device_(std::move(device)), address_(address) {}

    std::optional<usb::UsbError> clearStall() override;
    std::optional<usb::UsbError> enqueue(std::span<std::uint8_t> data, std::uint32_t timeoutMs,
                                         std::shared_ptr<usb::TransferHandler> handler) override;

private:
    SimulatedUsbHost& host_;
    LiveReference live_;
    std::shared_ptr<Hardware> device_;
    std::uint8_t address_;
};

// What an opened device or interface holds: its entry until it is destroyed, and the device.
template <class Contract>
class SimulatedUsbHost::Opened : public Contract {
public:
    Opened(SimulatedUsbHost& host, usb::EntryRef entry, std::shared_ptr<Hardware> device)
        : host_(host), live_(host.live_), entry_(std::move(entry)), device_(std::move(device)) {}

protected:
    // True the first time only: destroy() acts once, whether called or run by the destructor.
    bool destroyOnce() { return !std::exchange(destroyed_, true); }

    SimulatedUsbHost& host_;
    LiveReference live_;
    usb::EntryRef entry_;
    std::shared_ptr<Hardware> device_;

private:
    bool destroyed_ = false;
};

class SimulatedUsbHost::InterfaceObject final : public Opened<usb::Interface> {
public:
    using Opened::Opened;
    ~InterfaceObject() override { destroy(); }

    std::vector<usb::EndpointDescriptor> endpoints() const override { return device_->description.endpoints; }
    usb::Result<std::unique_ptr<usb::Pipe>> copyPipe(std::uint8_t address) override;
    std::optional<usb::UsbError> selectAlternateSetting(std::uint8_t setting) override;
    void destroy() override;
};

class SimulatedUsbHost::DeviceObject final : public Opened<usb::Device> {
public:
    using Opened::Opened;
    ~DeviceObject() override { destroy(); }

    std::optional<usb::UsbError> configure(int value, bool matchInterfaces) override;
    void destroy() override;
};

}  // namespace joyrelay::sim
