#include "platform/linux/keys/VirtualKeyboardKeyEvents.hpp"

#include <X11/keysym.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/linux/keys/KeyCodes.hpp"
#include "platform/linux/common/Descriptors.hpp"
#include "platform/linux/keys/SeatKeyboard.hpp"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace joyrelay {

namespace {

// The keymap is complete in itself: no include paths, no names from the environment.
constexpr auto contextFlags =
    static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES);

// XKB key codes are evdev codes plus 8.
constexpr std::uint32_t xkbOffset = 8;

// The shifted symbol of the keys that have one on a US keyboard.
std::uint32_t shiftedKeysym(ArcadeKey key) {
    switch (key) {
        case ArcadeKey::z: return XK_Z;
        case ArcadeKey::x: return XK_X;
        case ArcadeKey::c: return XK_C;
        case ArcadeKey::one: return XK_exclam;
        case ArcadeKey::two: return XK_at;
        default: return 0;
    }
}

std::string keysymName(std::uint32_t keysym) {
    char name[64];
    if (xkb_keysym_get_name(keysym, name, sizeof name) <= 0) return {};
    return name;
}

std::string keymapSource() {
    std::string keycodes, symbols;
    for (const linux_keys::KeyCodeEntry& entry : linux_keys::keyCodeTable()) {
        char keyName[8];
        std::snprintf(keyName, sizeof keyName, "K%03u", static_cast<unsigned>(entry.evdev + xkbOffset));
        keycodes += std::string("    <") + keyName + "> = " + std::to_string(entry.evdev + xkbOffset) + ";\n";
        const std::uint32_t shifted = shiftedKeysym(entry.key);
        const bool letter = entry.keysym >= XK_a && entry.keysym <= XK_z;
        const char* type = shifted == 0 ? "ONE_LEVEL" : letter ? "ALPHABETIC" : "TWO_LEVEL";
        symbols += std::string("    key <") + keyName + "> { type = \"" + type + "\", [ " + keysymName(entry.keysym) +
                   (shifted ? ", " + keysymName(shifted) : std::string()) + " ] };\n";
        if (entry.key == ArcadeKey::shift) symbols += std::string("    modifier_map Shift { <") + keyName + "> };\n";
    }
    return "xkb_keymap {\n"
           "  xkb_keycodes \"joyrelay\" {\n    minimum = 8;\n    maximum = 255;\n" + keycodes + "  };\n"
           "  xkb_types \"joyrelay\" {\n"
           "    type \"ONE_LEVEL\" { modifiers = none; level_name[Level1] = \"Any\"; };\n"
           "    type \"TWO_LEVEL\" { modifiers = Shift; map[Shift] = Level2;\n"
           "      level_name[Level1] = \"Base\"; level_name[Level2] = \"Shift\"; };\n"
           "    type \"ALPHABETIC\" { modifiers = Shift + Lock; map[Shift] = Level2; map[Lock] = Level2;\n"
           "      level_name[Level1] = \"Base\"; level_name[Level2] = \"Caps\"; };\n"
           "  };\n"
           "  xkb_compat \"joyrelay\" {\n"
           "    interpret Shift_L { action = SetMods(modifiers = Shift); };\n"
           "  };\n"
           "  xkb_symbols \"joyrelay\" {\n" + symbols + "  };\n"
           "};\n";
}

struct Globals {
    wl_seat* seat = nullptr;
    zwp_virtual_keyboard_manager_v1* manager = nullptr;
};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* globals = static_cast<Globals*>(data);
    if (!globals->seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
        globals->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (!globals->manager && std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        globals->manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    }
}

void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

}  // namespace

std::string virtualKeyboardKeymap() {
    std::unique_ptr<xkb_context, void (*)(xkb_context*)> context(xkb_context_new(contextFlags), xkb_context_unref);
    if (!context) return {};
    std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap(
        xkb_keymap_new_from_string(context.get(), keymapSource().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                   XKB_KEYMAP_COMPILE_NO_FLAGS),
        xkb_keymap_unref);
    if (!keymap) return {};
    std::unique_ptr<char, void (*)(void*)> text(xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1),
                                                std::free);
    return text ? std::string(text.get()) : std::string();
}

std::unique_ptr<VirtualKeyboardKeyEvents> VirtualKeyboardKeyEvents::create(const char* displayName, std::string* error) {
    WaylandDisplayPtr display(wl_display_connect(displayName));
    if (!display) {
        if (error) *error = std::string("cannot connect to the Wayland display: ") + std::strerror(errno);
        return nullptr;
    }
    const char* named = displayName ? displayName : std::getenv("WAYLAND_DISPLAY");
    auto events = std::make_unique<VirtualKeyboardKeyEvents>(Owned{}, std::move(display),
                                                             named && *named ? named : "wayland-0");
    if (!events->setUp(displayName, error)) return nullptr;
    return events;
}

VirtualKeyboardKeyEvents::VirtualKeyboardKeyEvents(Owned, WaylandDisplayPtr display, std::string displayName)
    : display_(std::move(display)),
      displayName_(std::move(displayName)),
      context_(nullptr, xkb_context_unref),
      keymap_(nullptr, xkb_keymap_unref),
      state_(nullptr, xkb_state_unref) {}

bool VirtualKeyboardKeyEvents::setUp(const char* displayName, std::string* error) {
    const auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    wl_display* display = display_.get();
    Globals globals;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &globals);
    const bool listed = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
    seat_ = globals.seat;
    manager_ = globals.manager;
    if (!listed) return fail("the Wayland display " + displayName_ + " did not answer");
    if (!manager_) return fail("the Wayland compositor offers no virtual keyboard (zwp_virtual_keyboard_manager_v1)");
    if (!seat_) return fail("the Wayland compositor has no seat");

    context_.reset(xkb_context_new(contextFlags));
    const std::string keymapText = virtualKeyboardKeymap();
    if (context_ && !keymapText.empty()) {
        keymap_.reset(xkb_keymap_new_from_string(context_.get(), keymapText.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                 XKB_KEYMAP_COMPILE_NO_FLAGS));
    }
    if (keymap_) state_.reset(xkb_state_new(keymap_.get()));
    if (!state_) return fail("cannot build the virtual keyboard's keymap (libxkbcommon)");

    // The keymap goes over as a file, with its terminating NUL.
    UniqueFd file(::memfd_create("tamberlo-joyrelay-keymap", MFD_CLOEXEC));
    const std::size_t size = keymapText.size() + 1;
    if (!file || ::write(file.get(), keymapText.c_str(), size) != static_cast<ssize_t>(size)) {
        return fail(std::string("cannot hand the keymap to the compositor: ") + std::strerror(errno));
    }
    // Opened before the keyboard is created, to see the seat change.
    const std::unique_ptr<SeatKeyboard> seatKeyboard = SeatKeyboard::open(displayName);
    keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager_, seat_);
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, file.get(),
                                   static_cast<std::uint32_t>(size));
    // Once this returns, the keyboard is on the seat with the keymap (or the compositor said no).
    if (wl_display_roundtrip(display) < 0 || wl_display_get_error(display) != 0) {
        return fail("the Wayland compositor refused a virtual keyboard");
    }
    if (seatKeyboard && !seatKeyboard->hadKeyboard()) {
        if (!seatKeyboard->waitForKeyboard(seatLimit)) {
            return fail("the Wayland compositor's seat shows no keyboard for the virtual keyboard");
        }
        std::this_thread::sleep_for(clientGrace);  // the other clients make their wl_keyboard meanwhile
    }
    epoch_ = std::chrono::steady_clock::now();
    return true;
}

VirtualKeyboardKeyEvents::~VirtualKeyboardKeyEvents() {
    wl_display* display = display_.get();
    if (connected()) {
        releaseKeysDown();
        wl_display_roundtrip(display);  // the releases are handled before the keyboard goes
    }
    if (keyboard_) zwp_virtual_keyboard_v1_destroy(keyboard_);
    if (manager_) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager_));  // no destructor request
    if (seat_) wl_seat_destroy(seat_);
    if (connected()) wl_display_roundtrip(display);
}

void VirtualKeyboardKeyEvents::sync() {
    if (connected()) wl_display_roundtrip(display_.get());
}

bool VirtualKeyboardKeyEvents::connected() const {
    return keyboard_ && wl_display_get_error(display_.get()) == 0;
}

void VirtualKeyboardKeyEvents::sendKey(std::uint16_t evdev, bool down) {
    const auto time = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - epoch_).count());
    zwp_virtual_keyboard_v1_key(keyboard_, time, evdev,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(state_.get(), evdev + xkbOffset, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    const std::uint32_t modifiers[4] = {
        xkb_state_serialize_mods(state_.get(), XKB_STATE_MODS_DEPRESSED),
        xkb_state_serialize_mods(state_.get(), XKB_STATE_MODS_LATCHED),
        xkb_state_serialize_mods(state_.get(), XKB_STATE_MODS_LOCKED),
        xkb_state_serialize_layout(state_.get(), XKB_STATE_LAYOUT_EFFECTIVE),
    };
    if (std::memcmp(modifiers, modifiers_, sizeof modifiers) != 0) {
        std::memcpy(modifiers_, modifiers, sizeof modifiers);
        zwp_virtual_keyboard_v1_modifiers(keyboard_, modifiers[0], modifiers[1], modifiers[2], modifiers[3]);
    }
    wl_display_flush(display_.get());
    drain();
}

// Reads whatever the compositor sent (seat and registry news) without waiting, so that the
// connection's buffer never fills.
void VirtualKeyboardKeyEvents::drain() {
    wl_display* display = display_.get();
    while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return;
    }
    pollfd p{wl_display_get_fd(display), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) {
        wl_display_read_events(display);
    } else {
        wl_display_cancel_read(display);
    }
    wl_display_dispatch_pending(display);
}

}  // namespace joyrelay
