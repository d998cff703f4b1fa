#include "platform/linux/usb/LibusbContext.hpp"

#include <pthread.h>

namespace joyrelay::usb {

LibusbContext::LibusbContext() {
    initError_ = libusb_init(&context_);
    if (initError_ != LIBUSB_SUCCESS) {
        context_ = nullptr;
        return;
    }
    events_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "joyrelay-usb");  // as shown by top -H and debuggers
        while (!stopping_.load(std::memory_order_acquire)) {
            libusb_handle_events_completed(context_, nullptr);
        }
    });
}

LibusbContext::~LibusbContext() {
    stop();
    if (context_ != nullptr) libusb_exit(context_);
}

void LibusbContext::stop() {
    if (!events_.joinable() || events_.get_id() == std::this_thread::get_id()) return;
    stopping_.store(true, std::memory_order_release);
    libusb_interrupt_event_handler(context_);
    events_.join();
}

}  // namespace joyrelay::usb
