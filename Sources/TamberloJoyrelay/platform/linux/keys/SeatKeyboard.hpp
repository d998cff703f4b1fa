// Watching a Wayland seat for its keyboard: the compositor's word that a new virtual keyboard device
// is on the seat. On a seat that had no keyboard before (a desktop without one, a headless test
// session), clients only create their wl_keyboard when the seat announces one, and keys sent before
// they have are lost; on a seat that had one, nothing changes and nothing is lost.
//
// Threads: one thread at a time; the connection is the object's own.
#pragma once

#include <chrono>
#include <memory>

struct wl_display;

namespace joyrelay {

class SeatKeyboard {
public:
    // Connects to `displayName` (nullptr: $WAYLAND_DISPLAY) and reads the seat's capabilities.
    // nullptr when there is no display or no seat.
    static std::unique_ptr<SeatKeyboard> open(const char* displayName = nullptr);
    ~SeatKeyboard();
    SeatKeyboard(const SeatKeyboard&) = delete;
    SeatKeyboard& operator=(const SeatKeyboard&) = delete;

    // Whether the seat showed a keyboard when it was opened.
    bool hadKeyboard() const { return hadKeyboard_; }

    // Returns once the seat shows a keyboard and a wl_keyboard of this connection's own, made as every
    // client makes one when the seat announces it, has been answered by a round trip. False when that
    // has not happened within `limit` or the connection failed.
    bool waitForKeyboard(std::chrono::milliseconds limit);

    struct State;

private:
    struct Owned {};

public:
    explicit SeatKeyboard(Owned);

private:
    std::unique_ptr<State> state_;
    bool hadKeyboard_ = false;
};

}  // namespace joyrelay
