// The host's libusb transfers: one slot per transfer in flight, kept and reused, so that a completed
// transfer costs no allocation once the pool is warm.
//
// A slot's life: submit (libusb owns the transfer) -> completion on the event thread, handed to the
// queue -> delivery to its handler on the queue, after which the slot is free again. stop() cancels a
// device's transfers, waits until libusb has given them back and frees them; a completion still queued
// for a stopped slot finds a different generation and is dropped. A transfer libusb never gives back
// keeps its slot, its handler (which owns the buffer) and, through keep(), its device's handle until
// this object goes: the handle is closed first, which makes libusb forget the transfer, and only then
// are the transfers freed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "contracts/Queue.hpp"
#include "contracts/UsbHost.hpp"
#include "platform/linux/usb/LibusbHandles.hpp"

namespace joyrelay::usb {

class TransferSlots;

// One transfer's place. Slots are never freed before their TransferSlots.
struct Slot {
    TransferSlots* owner = nullptr;
    TransferPtr transfer;                      // allocated at first use; freed when its device stops
    std::shared_ptr<TransferHandler> handler;  // from submission to delivery
    std::uint64_t generation = 0;              // written under the mutex, on the queue
    bool taken = false;                        // queue: from submission until delivered or stopped
    bool inFlight = false;                     // mutex: libusb owns the transfer
    std::uint32_t status = 0;                  // written by the event thread before the hand-over
    std::size_t bytes = 0;
};

class TransferSlots {
public:
    TransferSlots(SerialQueue& queue, std::chrono::milliseconds cancelWait);
    ~TransferSlots();
    TransferSlots(const TransferSlots&) = delete;
    TransferSlots& operator=(const TransferSlots&) = delete;

    // On the queue. Submits an interrupt or bulk transfer on `endpoint` of `handle` with a slot of
    // `owned` (the slots one device has used), taking a new slot into `owned` when all are busy.
    // `device` names the device in the error.
    std::optional<UsbError> submit(std::vector<Slot*>& owned, libusb_device_handle* handle,
                                   std::uint8_t endpoint, bool bulk, std::span<std::uint8_t> data,
                                   std::uint32_t timeoutMs, std::shared_ptr<TransferHandler> handler,
                                   const std::string& device);

    struct Stopped {
        bool lost = false;  // libusb kept a transfer: its device's handle must stay open (keep())
        std::vector<std::shared_ptr<TransferHandler>> handlers;  // dropping them may destroy their owners
    };
    // On the queue: cancels the transfers of `owned` in flight, waits for them (at most cancelWait),
    // frees them and empties `owned`.
    Stopped stop(std::vector<Slot*>& owned);

    // Keeps the handle of a device whose transfer libusb did not give back, until this object goes.
    void keep(HandlePtr handle);

    long live() const { return transfers_.load(); }  // libusb_transfer structures allocated now

private:
    static void LIBUSB_CALL onTransfer(libusb_transfer* transfer);
    void deliver(Slot* slot, std::uint64_t generation);
    Slot* take(std::vector<Slot*>& owned);

    SerialQueue& queue_;
    const std::chrono::milliseconds cancelWait_;
    std::mutex mutex_;
    std::condition_variable givenBack_;  // a transfer in flight came back from libusb
    int cancelWaiters_ = 0;              // mutex
    std::deque<Slot> slots_;             // queue
    std::vector<Slot*> free_;            // queue
    std::vector<HandlePtr> kept_;        // queue
    std::atomic<long> transfers_{0};
};

}  // namespace joyrelay::usb
