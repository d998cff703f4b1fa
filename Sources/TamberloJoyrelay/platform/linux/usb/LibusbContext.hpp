// A libusb context and the thread that handles its events, for as long as the object lives.
//
// The thread starts with the context and runs libusb_handle_events_completed without a timeout:
// libusb wakes it for every event and its own timers, so an idle stick costs no wake-ups. stop()
// (and the destructor) interrupts and joins it; libusb_exit follows in the destructor.
#pragma once

#include <libusb.h>

#include <atomic>
#include <thread>

namespace joyrelay::usb {

class LibusbContext {
public:
    LibusbContext();  // check get() or initError(): libusb_init may fail
    ~LibusbContext();
    LibusbContext(const LibusbContext&) = delete;
    LibusbContext& operator=(const LibusbContext&) = delete;

    libusb_context* get() const { return context_; }
    explicit operator bool() const { return context_ != nullptr; }
    int initError() const { return initError_; }

    // Ends the event thread. Does nothing on the event thread itself or once it has ended.
    void stop();

private:
    libusb_context* context_ = nullptr;
    int initError_ = LIBUSB_SUCCESS;
    std::atomic<bool> stopping_{false};
    std::thread events_;
};

}  // namespace joyrelay::usb
