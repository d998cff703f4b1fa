#include "platform/linux/keys/SeatKeyboard.hpp"

#include <poll.h>
#include <wayland-client.h>

#include <cstring>

namespace joyrelay {

struct SeatKeyboard::State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    std::uint32_t capabilities = 0;
    ~State() {
        if (keyboard) wl_keyboard_destroy(keyboard);
        if (seat) wl_seat_destroy(seat);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }
};

namespace {

void onCapabilities(void* data, wl_seat*, std::uint32_t capabilities) {
    static_cast<SeatKeyboard::State*>(data)->capabilities = capabilities;
}
void onName(void*, wl_seat*, const char*) {}
const wl_seat_listener seatListener = {onCapabilities, onName};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* state = static_cast<SeatKeyboard::State*>(data);
    if (state->seat || std::strcmp(interface, wl_seat_interface.name) != 0) return;
    state->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    wl_seat_add_listener(state->seat, &seatListener, state);
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

}  // namespace

std::unique_ptr<SeatKeyboard> SeatKeyboard::open(const char* displayName) {
    auto self = std::make_unique<SeatKeyboard>(Owned{});
    self->state_ = std::make_unique<State>();
    State& s = *self->state_;
    s.display = wl_display_connect(displayName);
    if (!s.display) return nullptr;
    s.registry = wl_display_get_registry(s.display);
    wl_registry_add_listener(s.registry, &registryListener, &s);
    if (wl_display_roundtrip(s.display) < 0 || !s.seat || wl_display_roundtrip(s.display) < 0) return nullptr;
    self->hadKeyboard_ = (s.capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
    return self;
}

SeatKeyboard::SeatKeyboard(Owned) {}

SeatKeyboard::~SeatKeyboard() = default;

bool SeatKeyboard::waitForKeyboard(std::chrono::milliseconds limit) {
    State& s = *state_;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!(s.capabilities & WL_SEAT_CAPABILITY_KEYBOARD)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return false;
        while (wl_display_prepare_read(s.display) != 0) {
            if (wl_display_dispatch_pending(s.display) < 0) return false;
        }
        wl_display_flush(s.display);
        pollfd readable{wl_display_get_fd(s.display), POLLIN, 0};
        const int waitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
        if (::poll(&readable, 1, waitMs) > 0) {
            if (wl_display_read_events(s.display) < 0) return false;
        } else {
            wl_display_cancel_read(s.display);
        }
        if (wl_display_dispatch_pending(s.display) < 0) return false;
    }
    if (!s.keyboard) s.keyboard = wl_seat_get_keyboard(s.seat);
    return wl_display_roundtrip(s.display) >= 0;
}

}  // namespace joyrelay
