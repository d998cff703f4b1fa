// Key events through a uinput virtual keyboard: the kernel's own input path, so the keys reach X11,
// Wayland compositors and the console alike.
//
// The device is one virtual keyboard named "Tamberlo Joyrelay" with exactly the thirteen keys
// enabled. Each transition is written as one EV_KEY event followed by EV_SYN/SYN_REPORT. Destroying
// the device (when the UinputKeyEvents object goes away) makes the kernel release every key still
// down on it.
//
// Threads: created on any thread, then used from one thread at a time (the bridge queue).
#pragma once

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <memory>
#include <string>

#include "contracts/KeyEvents.hpp"

namespace joyrelay {

// The name the virtual keyboard carries (what `libinput list-devices` or `xinput` show).
inline constexpr const char* uinputDeviceName = "Tamberlo Joyrelay";

// Owning handles with libevdev's own destroy functions as deleters.
struct LibevdevFree {
    void operator()(libevdev* dev) const { libevdev_free(dev); }
};
struct LibevdevUinputDestroy {
    void operator()(libevdev_uinput* device) const { libevdev_uinput_destroy(device); }
};
using LibevdevPtr = std::unique_ptr<libevdev, LibevdevFree>;
using UinputDevicePtr = std::unique_ptr<libevdev_uinput, LibevdevUinputDestroy>;

// Where the events go: a uinput device, or a recorder in tests.
class UinputSink {
public:
    virtual ~UinputSink() = default;
    // Writes one input event; returns 0, or a negative errno when the write failed.
    virtual int write(unsigned type, unsigned code, int value) = 0;
};

// The virtual keyboard's description, built in memory (no device is created): the name, the bus
// type BUS_VIRTUAL, and EV_KEY with exactly the thirteen keys' codes.
LibevdevPtr makeUinputKeyboardDescription();

class UinputKeyEvents final : public KeyEvents {
public:
    // Creates the virtual keyboard through /dev/uinput. Returns nullptr when that fails, with
    // `error` (if given) set to a line such as "cannot create a uinput keyboard: Permission denied
    // (/dev/uinput)".
    static std::unique_ptr<UinputKeyEvents> create(std::string* error = nullptr);

    // Writes into `sink`, which must outlive this object (tests and benchmarks).
    explicit UinputKeyEvents(UinputSink& sink) : sink_(&sink) {}

    // An event for one of the thirteen keys; nothing for any other code.
    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override;

    // Writes EV_KEY (value 1 for down, 0 for up) and then SYN_REPORT. Modifier flags are not sent:
    // Shift is a key of its own on this keyboard, so its press and release carry the shift state.
    // A failed write is dropped silently, like a transition whose event could not be created.
    void post(const KeyEvent& event) override;

    // The event device the kernel made for the keyboard ("/dev/input/event7"), when it can be found;
    // nothing for an instance writing into a test's sink.
    std::optional<std::string> devnode() const;

private:
    struct Owned {};  // lets only create() build a device-backed instance

public:
    UinputKeyEvents(Owned, UinputDevicePtr device, std::unique_ptr<UinputSink> ownSink);

private:
    UinputDevicePtr device_;               // destroyed last: keys still down are released
    std::unique_ptr<UinputSink> ownSink_;  // writes into device_
    UinputSink* sink_;
};

}  // namespace joyrelay
