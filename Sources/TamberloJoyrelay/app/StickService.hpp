// What the application drives: the stick bridge on the real USB bus, or a capture replayed through a
// bridge of its own. The delegate sees only this: it starts the service, receives its status changes
// and, on the way out, lets go of every key the stick holds.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
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
    // Any thread: the focus gate has just opened, so the keys the stick holds go down.
    virtual void gateOpened() = 0;

    // Main thread, on the way out: releases every held key on the bridge queue and lets no key go
    // down afterwards, waiting for that up to `timeout`. False when the wait timed out.
    virtual bool releaseHeldKeys(std::chrono::milliseconds timeout) = 0;

    // Main thread, before the program stops (SIGTSTP) or the menu takes the keyboard, with the gate
    // closed: releases every held key on the bridge queue and
    // waits up to `timeout` until the queue has done so, so that no press is under way either. Keys may
    // go down again afterwards (the caller keeps the gate closed until it carries on). False when the
    // wait timed out. The default only asks (gateClosed) and cannot wait: false.
    virtual bool releaseForStop(std::chrono::milliseconds) {
        gateClosed();
        return false;
    }
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
    void gateOpened() override { bridge_->gateOpened(); }
    bool releaseHeldKeys(std::chrono::milliseconds timeout) override;
    bool releaseForStop(std::chrono::milliseconds timeout) override;

private:
    std::shared_ptr<StickBridge> bridge_;
    std::function<void(StickBridge&)> beforeStart_;
    std::function<void()> afterRelease_;
};

// A capture played on a worker thread through a Replay of its own (the simulated USB host and a
// bridge on its own queue), with the application's key output and focus gate. The gate closing and
// the way out go through the replay's bridge, as they do through the live stick's.
class ReplayStick final : public StickService {
public:
    // `settings.keyEvents` must be set. Status changes are handed to `mainQueue`; when the capture has
    // been played, `finished` runs there with the replay's exit status.
    ReplayStick(std::string path, ReplaySettings settings, MainQueue& mainQueue, std::function<void(int)> finished);

    // Waits for the capture to end. (The application does not wait: it ends the process while a
    // replay is still running, once the replay's held keys are released.)
    ~ReplayStick() override;

    void start(StatusHandler onStatus) override;
    void gateClosed() override { replay_.bridge().gateClosed(); }
    void gateOpened() override { replay_.bridge().gateOpened(); }
    bool releaseHeldKeys(std::chrono::milliseconds timeout) override;
    bool releaseForStop(std::chrono::milliseconds timeout) override;

    // Whether the capture is still being played.
    bool running() const { return running_.load(); }

private:
    MainQueue& mainQueue_;
    std::function<void(int)> finished_;
    Replay replay_;
    std::atomic<bool> running_{false};
    std::thread worker_;
};

}  // namespace joyrelay
