// Key events on KDE Plasma without uinput: KWin's org_kde_kwin_fake_input Wayland protocol
// (version 4, keyboard_key with evdev codes).
//
// KWin offers the protocol only to executables that a desktop file authorises: the package's
// tamberlo-joyrelay.desktop names the installed binary in Exec= and lists org_kde_kwin_fake_input in
// X-KDE-Wayland-Interfaces. Another binary (a build tree's) needs such a file of its own, for
// instance in ~/.local/share/applications, written before KWin starts.
//
// Ready when KWin says so: binding the protocol adds a device to KWin's seat there and then, and
// KWin grants `authenticate` at once, so create() returns once a round trip after authenticating
// has come back with the seat showing a keyboard (well under 100 ms, against a fixed pause before).
// Created once and kept: each new device changes the seat's capabilities, and clients (browsers
// included) then drop and re-create their wl_keyboard; keys sent to one being dropped are lost.
//
// The guard: KWin keeps a key down after the client that pressed it has gone (killed, say), until a
// device lets go of it; a release from any fake-input device ends it (checked on KWin 5.27). So
// create() first starts a guard: this program's own executable in its guard mode
// (`--fake-input-guard PID`, see runFakeInputGuard), which KWin authorises as it authorises the
// program (by the executable's path). The guard binds a fake-input device of its own, says "ready",
// waits for the kernel to report the program's end (a pidfd), then releases all thirteen keys. It
// never presses. Its device is added first, so the program's own adds nothing to the seat's
// capabilities, and no client re-creates its keyboard then.
//
// Destroying the object releases every key still down, waits for KWin to have read everything
// (a round trip), disconnects, and ends the guard (closing its pipe) and waits for it.
//
// Threads: created on any thread, then used from one thread at a time (the bridge queue). The
// Wayland connection is this object's own, so no other thread ever reads it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/keys/EvdevKeyEvents.hpp"

struct wl_display;
struct wl_registry;
struct wl_seat;
struct org_kde_kwin_fake_input;

namespace joyrelay {

class FakeInputKeyEvents final : public EvdevKeyEvents {
public:
    // Starts `guard` (this program's executable) in its guard mode when given, connects to the
    // Wayland display (WAYLAND_DISPLAY), binds org_kde_kwin_fake_input v4 and the seat,
    // authenticates, and returns once KWin has confirmed (see above). Returns nullptr with `error`
    // (if given) set to one line when there is no Wayland display or KWin does not offer the
    // protocol to this executable. A guard that could not start leaves guardProblem() set.
    static std::unique_ptr<FakeInputKeyEvents> create(std::string* error = nullptr,
                                                      const std::optional<std::filesystem::path>& guard = std::nullopt);

private:
    struct Owned {};

public:
    explicit FakeInputKeyEvents(Owned);
    ~FakeInputKeyEvents() override;
    FakeInputKeyEvents(const FakeInputKeyEvents&) = delete;
    FakeInputKeyEvents& operator=(const FakeInputKeyEvents&) = delete;

    // Returns once KWin has read every request sent so far (a roundtrip).
    void sync() override;

    // The Wayland display's name, for the log line.
    const std::string& displayName() const { return displayName_; }

    // Why the guard is not running, or empty when it runs (or none was asked for).
    const std::string& guardProblem() const { return guardProblem_; }
    pid_t guardPid() const { return guardPid_; }

private:
    struct DisplayDisconnect {
        void operator()(wl_display* display) const;
    };
    struct RegistryDestroy {
        void operator()(wl_registry* registry) const;
    };
    struct FakeInputDestroy {
        void operator()(org_kde_kwin_fake_input* fake) const;
    };
    using DisplayPtr = std::unique_ptr<wl_display, DisplayDisconnect>;
    using RegistryPtr = std::unique_ptr<wl_registry, RegistryDestroy>;
    using FakeInputPtr = std::unique_ptr<org_kde_kwin_fake_input, FakeInputDestroy>;

    bool connected() const override;  // until KWin closes the connection
    void sendKey(std::uint16_t evdev, bool down) override;  // keyboard_key, flushed
    // Reads what KWin sent without waiting, so that its few events never pile up.
    void readPendingEvents();
    void startGuard(const std::filesystem::path& program);
    void stopGuard();

    // Declared so that they are destroyed in the right order: the protocol objects, then the display.
    DisplayPtr display_;
    RegistryPtr registry_;
    FakeInputPtr fake_;
    wl_seat* seat_ = nullptr;
    std::string displayName_;
    std::string guardProblem_;
    int guardPipe_ = -1;  // write end of the guard's standard input; closing it ends the guard
    pid_t guardPid_ = -1;
};

// The guard mode: `tamberlo-joyrelay --fake-input-guard PID`, started by the program's fake-input
// output with standard input a pipe only the program holds and standard output a pipe on which it
// says "ready" once its own fake-input device is on KWin's seat. Waits for the program (PID, its
// parent) to end, as the kernel reports it (a pidfd; end-of-file on standard input where the kernel
// has no pidfd_open, and when the program quits), then releases the thirteen keys and returns 0.
// Returns 1 when it cannot get fake input (said on standard error), 2 on a wrong command line.
int runFakeInputGuard(int argc, char** argv);

}  // namespace joyrelay
