#include "platform/linux/keys/FakeInputKeyEvents.hpp"

#include <poll.h>
#include <wayland-client.h>

#include <cstdlib>
#include <cstring>

#include "fake-input-client-protocol.h"

namespace joyrelay {

namespace {

constexpr std::uint32_t fakeInputVersion = 4;  // the first with keyboard_key

struct Binding {
    wl_registry* registry = nullptr;
    org_kde_kwin_fake_input* fake = nullptr;
    std::uint32_t offeredVersion = 0;
};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t version) {
    auto* binding = static_cast<Binding*>(data);
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) != 0) return;
    binding->offeredVersion = version;
    if (version >= fakeInputVersion && !binding->fake) {
        binding->fake = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, fakeInputVersion));
    }
}

void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

}  // namespace

void FakeInputKeyEvents::DisplayDisconnect::operator()(wl_display* display) const {
    wl_display_disconnect(display);
}
void FakeInputKeyEvents::RegistryDestroy::operator()(wl_registry* registry) const {
    wl_registry_destroy(registry);
}
void FakeInputKeyEvents::FakeInputDestroy::operator()(org_kde_kwin_fake_input* fake) const {
    org_kde_kwin_fake_input_destroy(fake);
}

std::unique_ptr<FakeInputKeyEvents> FakeInputKeyEvents::create(std::string* error,
                                                               std::chrono::milliseconds settle) {
    const auto fail = [error](std::string why) -> std::unique_ptr<FakeInputKeyEvents> {
        if (error) *error = std::move(why);
        return nullptr;
    };
    const char* name = std::getenv("WAYLAND_DISPLAY");
    std::unique_ptr<FakeInputKeyEvents> self(new FakeInputKeyEvents());
    self->displayName_ = name && *name ? name : "wayland-0";
    self->display_.reset(wl_display_connect(nullptr));
    if (!self->display_) {
        return fail("cannot connect to the Wayland display " + self->displayName_ + ": " +
                    std::strerror(errno));
    }
    Binding binding;
    self->registry_.reset(wl_display_get_registry(self->display_.get()));
    wl_registry_add_listener(self->registry_.get(), &registryListener, &binding);
    if (wl_display_roundtrip(self->display_.get()) < 0) {
        return fail("the Wayland display " + self->displayName_ + " closed the connection");
    }
    self->fake_.reset(binding.fake);
    if (!self->fake_) {
        if (binding.offeredVersion > 0) {
            return fail("the compositor offers org_kde_kwin_fake_input only in version " +
                        std::to_string(binding.offeredVersion) + ", without keyboard keys");
        }
        return fail(
            "the compositor does not offer org_kde_kwin_fake_input to this program (KWin offers it to "
            "programs its desktop file authorises)");
    }
    org_kde_kwin_fake_input_authenticate(self->fake_.get(), "Tamberlo Joyrelay",
                                         "types the arcade stick's keys into the browser in front");
    if (wl_display_roundtrip(self->display_.get()) < 0) {
        return fail("KWin closed the connection after org_kde_kwin_fake_input was bound");
    }
    // Let every client re-create its keyboard for the seat's new device before the first real key.
    const auto until = std::chrono::steady_clock::now() + settle;
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
        self->readPendingEvents(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    }
    if (!self->connected()) return fail("KWin closed the connection while the fake keyboard settled");
    return self;
}

FakeInputKeyEvents::~FakeInputKeyEvents() {
    releaseKeysDown();
    if (connected()) {
        wl_display_roundtrip(display_.get());  // KWin has read (and acted on) every request
    }
    fake_.reset();
    registry_.reset();
    display_.reset();
}

void FakeInputKeyEvents::sync() {
    if (connected()) wl_display_roundtrip(display_.get());
}

bool FakeInputKeyEvents::connected() const {
    return display_ && fake_ && wl_display_get_error(display_.get()) == 0;
}

void FakeInputKeyEvents::readPendingEvents(std::chrono::milliseconds wait) {
    wl_display* display = display_.get();
    while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return;
    }
    wl_display_flush(display);
    pollfd readable{wl_display_get_fd(display), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(wait.count())) > 0) {
        wl_display_read_events(display);
    } else {
        wl_display_cancel_read(display);
    }
    wl_display_dispatch_pending(display);
}

void FakeInputKeyEvents::sendKey(std::uint16_t evdev, bool down) {
    readPendingEvents();
    org_kde_kwin_fake_input_keyboard_key(fake_.get(), evdev,
                                         down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    wl_display_flush(display_.get());
}

}  // namespace joyrelay
