#include "platform/linux/usb/TransferSlots.hpp"

#include <algorithm>
#include <cstdio>

#include "platform/linux/usb/LibusbErrors.hpp"

namespace joyrelay::usb {

TransferSlots::TransferSlots(SerialQueue& queue, std::chrono::milliseconds cancelWait)
    : queue_(queue), cancelWait_(cancelWait) {}

TransferSlots::~TransferSlots() {
    // Closing a handle makes libusb forget the transfers it still had on it; only then may they,
    // and the buffers their handlers own, be freed.
    kept_.clear();
    for (Slot& slot : slots_) slot.transfer.reset();
}

void TransferSlots::keep(HandlePtr handle) {
    kept_.push_back(std::move(handle));
}

Slot* TransferSlots::take(std::vector<Slot*>& owned) {
    Slot* slot = nullptr;
    for (Slot* s : owned) {
        if (!s->taken) {
            slot = s;
            break;
        }
    }
    if (slot == nullptr) {
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
        } else {
            slot = &slots_.emplace_back();
            slot->owner = this;
        }
        owned.push_back(slot);
    }
    slot->taken = true;
    return slot;
}

std::optional<UsbError> TransferSlots::submit(std::vector<Slot*>& owned, libusb_device_handle* handle,
                                              std::uint8_t endpoint, bool bulk, std::span<std::uint8_t> data,
                                              std::uint32_t timeoutMs, std::shared_ptr<TransferHandler> handler,
                                              const std::string& device) {
    Slot* slot = take(owned);
    if (!slot->transfer) {
        slot->transfer.reset(libusb_alloc_transfer(0));
        if (!slot->transfer) {
            slot->taken = false;
            return libusbError(LIBUSB_ERROR_NO_MEM, "libusb_alloc_transfer");
        }
        transfers_.fetch_add(1, std::memory_order_relaxed);
    }
    libusb_transfer* t = slot->transfer.get();
    const int length = static_cast<int>(std::min<std::size_t>(data.size(), 1u << 30));
    if (bulk) {
        libusb_fill_bulk_transfer(t, handle, endpoint, data.data(), length, &onTransfer, slot, timeoutMs);
    } else {
        libusb_fill_interrupt_transfer(t, handle, endpoint, data.data(), length, &onTransfer, slot, timeoutMs);
    }
    slot->handler = std::move(handler);
    {
        std::lock_guard lock(mutex_);
        slot->inFlight = true;
    }
    const int rc = libusb_submit_transfer(t);
    if (rc == LIBUSB_SUCCESS) return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        slot->inFlight = false;
    }
    slot->handler.reset();
    slot->taken = false;
    char what[96];
    std::snprintf(what, sizeof what, "libusb_submit_transfer on endpoint 0x%02x of ", endpoint);
    return libusbError(rc, what + device);
}

void LIBUSB_CALL TransferSlots::onTransfer(libusb_transfer* transfer) {
    // On the event thread: note the outcome and hand the completion to the queue.
    auto* slot = static_cast<Slot*>(transfer->user_data);
    TransferSlots* self = slot->owner;
    const std::uint32_t status = transferStatusCode(transfer->status);
    const std::size_t bytes =
        transfer->actual_length > 0 ? static_cast<std::size_t>(transfer->actual_length) : 0;
    bool waiting;
    {
        std::lock_guard lock(self->mutex_);
        slot->status = status;
        slot->bytes = bytes;
        slot->inFlight = false;
        waiting = self->cancelWaiters_ > 0;
        // Handed over before the lock goes, so that a stop that sees the transfer back also knows its
        // completion is queued (and drops it). Two words: the queue posts this without allocating.
        self->queue_.async([slot, generation = slot->generation] { slot->owner->deliver(slot, generation); });
    }
    if (waiting) self->givenBack_.notify_all();
}

void TransferSlots::deliver(Slot* slot, std::uint64_t generation) {
    if (slot->generation != generation || !slot->taken) return;  // stopped meanwhile
    std::shared_ptr<TransferHandler> handler = std::move(slot->handler);
    const std::uint32_t status = slot->status;
    const std::size_t bytes = slot->bytes;
    slot->taken = false;  // free for the next transfer, which the handler may submit right away
    if (handler) handler->transferCompleted(status, bytes);
}

TransferSlots::Stopped TransferSlots::stop(std::vector<Slot*>& owned) {
    std::vector<libusb_transfer*> inFlight;
    {
        std::lock_guard lock(mutex_);
        for (Slot* slot : owned) {
            if (slot->inFlight) inFlight.push_back(slot->transfer.get());
        }
    }
    for (libusb_transfer* t : inFlight) libusb_cancel_transfer(t);  // NOT_FOUND when it just completed
    Stopped stopped;
    std::unique_lock lock(mutex_);
    if (!inFlight.empty()) {
        ++cancelWaiters_;
        givenBack_.wait_for(lock, cancelWait_, [&] {
            return std::none_of(owned.begin(), owned.end(), [](Slot* s) { return s->inFlight; });
        });
        --cancelWaiters_;
    }
    for (Slot* slot : owned) {
        ++slot->generation;  // a completion still queued for it is dropped
        if (slot->inFlight) {
            // libusb did not give it back: the slot leaves circulation with its transfer and the
            // handler that owns the transfer's buffer.
            stopped.lost = true;
            continue;
        }
        stopped.handlers.push_back(std::move(slot->handler));
        slot->taken = false;
        if (slot->transfer) {
            slot->transfer.reset();
            transfers_.fetch_sub(1, std::memory_order_relaxed);
        }
        free_.push_back(slot);
    }
    owned.clear();
    return stopped;
}

}  // namespace joyrelay::usb
