// What the application drives: the stick bridge on the real USB bus, or a capture replayed through a
// bridge of its own. The delegate sees only this: it starts the service, receives its status changes
// and, on the way out, lets go of every key the stick holds.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/Replay.hpp"
#include "bridge/StickBridge.hpp"

namespace joyrelay {

class StickService {
public:
    using StatusHandler = std::function<void(const StickStatus&)>;
    virtual ~StickService() = default;

    // Main thread, once: installs `onStatus`, replacing any earlier handler, and starts. `onStatus` is
    // then called on the main thread with each status change, in order, never from inside start().
    virtual void start(StatusHandler onStatus) = 0;

    // Any thread: the focus gate has just closed, so every held key is released at once.
    virtual void gateClosed() = 0;

    // Main thread, on the way out: releases every held key on the bridge queue and lets no key go
    // down afterwards, waiting for that up to `timeout`. False when the wait timed out.
    virtual bool releaseHeldKeys(std::chrono::milliseconds timeout) = 0;
};

// The bridge on the platform's USB host.
class LiveStick final : public StickService {
public:
    // `beforeStart` runs in start(), just before the bridge starts (where a transfer tap is attached);
    // `afterRelease` at the end of releaseHeldKeys (where the tap's file is flushed).
    explicit LiveStick(std::shared_ptr<StickBridge> bridge, std::function<void(StickBridge&)> beforeStart = {},
                       std::function<void()> afterRelease = {})
        : bridge_(std::move(bridge)), beforeStart_(std::move(beforeStart)), afterRelease_(std::move(afterRelease)) {}

    void start(StatusHandler onStatus) override;
    void gateClosed() override { bridge_->gateClosed(); }
    bool releaseHeldKeys(std::chrono::milliseconds timeout) override;

private:
    std::shared_ptr<StickBridge> bridge_;
    std::function<void(StickBridge&)> beforeStart_;
    std::function<void()> afterRelease_;
};

// Key events passed on to another output, remembering which keys are down there, so that they can
// be let go from outside the bridge that posts them: when the focus gate closes, and on the way out.
// A release for a key that is not down (because it was let go here already) is not passed on.
class HeldKeyGuard final : public KeyEvents {
public:
    explicit HeldKeyGuard(KeyEvents& output) : output_(output) {}

    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override;
    void post(const KeyEvent& event) override;
    // Passed on, so that presses are checked against the window they would reach (no press may go
    // down once closed).
    bool beginPresses() override;
    void endPresses() override;
    void sync() override;

    // Any thread: releases every key that is down, in key order. With `close`, no key goes down
    // afterwards.
    void releaseAll(bool close);

    KeySet down() const;

private:
    mutable std::mutex lock_;
    KeyEvents& output_;
    KeySet down_;
    bool closed_ = false;
};

// A capture played on a worker thread through the simulated USB host and a bridge of its own
// (runReplay), with the application's key output and focus gate. The replay's bridge and queues
// belong to runReplay and end with it, so held keys are let go where the keys leave: at the guard
// around the key output.
class ReplayStick final : public StickService {
public:
    // `settings.keyEvents` must be set; `settings.onBridge` is taken over by the service. Status
    // changes are handed to `mainQueue`; when the capture has been played, `finished` runs there with
    // runReplay's exit status.
    ReplayStick(std::string path, ReplaySettings settings, MainQueue& mainQueue, std::function<void(int)> finished);

    // Waits for the capture to end. (The application does not wait: it ends the process while a
    // replay is still running, once the replay's held keys are released.)
    ~ReplayStick() override;

    void start(StatusHandler onStatus) override;
    void gateClosed() override { guard_.releaseAll(false); }
    bool releaseHeldKeys(std::chrono::milliseconds) override {
        guard_.releaseAll(true);
        return true;
    }

    // Whether the capture is still being played.
    bool running() const { return running_.load(); }

private:
    std::string path_;
    ReplaySettings settings_;
    MainQueue& mainQueue_;
    std::function<void(int)> finished_;
    HeldKeyGuard guard_;
    std::atomic<bool> running_{false};
    std::thread worker_;
};

}  // namespace joyrelay
