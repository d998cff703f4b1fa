// Key events on GNOME without uinput: a remote desktop session of Mutter's
// (org.gnome.Mutter.RemoteDesktop on the session bus: CreateSession, then Start on the session, then
// NotifyKeyboardKeycode with evdev codes). No dialog asks the user, but GNOME Shell shows its
// screen-sharing indicator in the top bar for as long as the session exists, so the program opens
// one only when uinput is not available. Clicking the indicator's stop button ends the session: no
// key goes out after that (createKeyboardEvent answers nothing) until the program is started again.
//
// Created once and kept. Mutter puts a session's keyboard on the seat only with its first key event,
// and on a seat that had no keyboard clients then make their wl_keyboard; a key sent before that is
// lost. So create() first sends the keysym VoidSymbol, which no keymap has (Mutter finds no key for
// it and no window receives anything), and returns once the seat shows a keyboard (watched on a
// Wayland connection of its own; a seat that had one already changes nothing).
//
// Destroying the object releases every key still down, stops the session (waiting for Mutter's
// answer, which comes after it has handled every key sent before) and closes the connection.
//
// Threads: the object talks over a D-Bus connection of its own, opened by create(); post() only
// queues a message on it (QDBusConnection::send, safe from any thread, never waits for Mutter), so
// the bridge queue calls it directly. Created and destroyed on a thread with Qt's event loop (the
// main thread: the session's Closed signal is delivered there); needs a QCoreApplication.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/keys/EvdevKeyEvents.hpp"

namespace joyrelay {

class RemoteDesktopKeyEvents final : public EvdevKeyEvents {
public:
    static constexpr std::chrono::milliseconds defaultLimit{5000};

    // Opens the connection and the session, starts it and warms it up, waiting up to `limit` for the
    // seat's keyboard. Returns nullptr with `error` (if given) set to one line when there is no
    // session bus, Mutter refuses, or the seat shows no keyboard in time.
    static std::unique_ptr<RemoteDesktopKeyEvents> create(std::string* error = nullptr,
                                                          std::chrono::milliseconds limit = defaultLimit);

private:
    struct Owned {};

public:
    explicit RemoteDesktopKeyEvents(Owned);
    ~RemoteDesktopKeyEvents() override;
    RemoteDesktopKeyEvents(const RemoteDesktopKeyEvents&) = delete;
    RemoteDesktopKeyEvents& operator=(const RemoteDesktopKeyEvents&) = delete;

    // Returns once Mutter has handled every key sent so far: a blocking question on the same
    // connection, which Mutter answers after the calls before it.
    void sync() override;

    // The session's object path, for the log line.
    const QString& sessionPath() const { return session_; }

    // Whether Mutter ended the session (the user stopped the screen sharing).
    bool closed() const { return closed_.load(); }

private:
    class ClosedWatcher;
    void notify(std::uint16_t code, bool down);
    bool connected() const override { return !closed_.load(); }  // until the session ends
    void sendKey(std::uint16_t evdev, bool down) override { notify(evdev, down); }  // never waits

    QString connectionName_;
    std::optional<QDBusConnection> bus_;  // the connection named connectionName_
    QString session_;
    std::unique_ptr<ClosedWatcher> watcher_;
    std::atomic<bool> closed_{false};
};

}  // namespace joyrelay
