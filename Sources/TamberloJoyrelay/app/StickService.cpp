#include "app/StickService.hpp"

#include <future>

namespace joyrelay {

namespace {

// Asks `bridge` to release its held keys and waits for its queue to have done so.
bool releaseAndWait(StickBridge& bridge, std::chrono::milliseconds timeout) {
    auto released = std::make_shared<std::promise<void>>();
    std::future<void> done = released->get_future();
    bridge.releaseHeldKeys([released] { released->set_value(); });
    return done.wait_for(timeout) == std::future_status::ready;
}

}  // namespace

void LiveStick::start(StatusHandler onStatus) {
    bridge_->onStatus = std::move(onStatus);
    if (beforeStart_) beforeStart_(*bridge_);
    bridge_->start();
}

bool LiveStick::releaseHeldKeys(std::chrono::milliseconds timeout) {
    const bool released = releaseAndWait(*bridge_, timeout);
    if (afterRelease_) afterRelease_();
    return released;
}

std::optional<KeyEvent> HeldKeyGuard::createKeyboardEvent(std::uint16_t virtualKey, bool down) {
    std::lock_guard guard(lock_);
    if (down && closed_) return std::nullopt;
    return output_.createKeyboardEvent(virtualKey, down);
}

void HeldKeyGuard::post(const KeyEvent& event) {
    std::lock_guard guard(lock_);
    const std::optional<ArcadeKey> key = arcadeKey(event.virtualKey);
    if (event.down) {
        if (closed_) return;
        if (key) down_.insert(*key);
    } else if (key) {
        if (!down_.contains(*key)) return;
        down_.erase(*key);
    }
    output_.post(event);
}

bool HeldKeyGuard::beginPresses() {
    std::lock_guard guard(lock_);
    return output_.beginPresses() && !closed_;
}

void HeldKeyGuard::endPresses() {
    std::lock_guard guard(lock_);
    output_.endPresses();
}

void HeldKeyGuard::sync() {
    std::lock_guard guard(lock_);
    output_.sync();
}

void HeldKeyGuard::releaseAll(bool close) {
    std::lock_guard guard(lock_);
    if (close) closed_ = true;
    const KeySet held = down_;
    down_ = KeySet();
    for (const ArcadeKey key : held) {
        std::optional<KeyEvent> event = output_.createKeyboardEvent(rawValue(key), false);
        if (!event) continue;
        if (key == ArcadeKey::shift) KeyEvents::setFlags(*event, 0);
        output_.post(*event);
    }
}

KeySet HeldKeyGuard::down() const {
    std::lock_guard guard(lock_);
    return down_;
}

ReplayStick::ReplayStick(std::string path, ReplaySettings settings, MainQueue& mainQueue,
                         std::function<void(int)> finished)
    : path_(std::move(path)),
      settings_(std::move(settings)),
      mainQueue_(mainQueue),
      finished_(std::move(finished)),
      guard_(*settings_.keyEvents) {}

ReplayStick::~ReplayStick() {
    if (worker_.joinable()) worker_.join();
}

void ReplayStick::start(StatusHandler onStatus) {
    ReplaySettings settings = settings_;
    settings.keyEvents = &guard_;
    // The replay's bridge hands its statuses to its own main queue (a thread of runReplay's); they
    // are passed on to the application's main queue from there, in order.
    settings.onBridge = [this, onStatus = std::move(onStatus)](StickBridge& bridge) {
        bridge.onStatus = [this, onStatus](const StickStatus& status) {
            mainQueue_.async([onStatus, status] {
                if (onStatus) onStatus(status);
            });
        };
    };
    running_ = true;
    worker_ = std::thread([this, settings = std::move(settings)] {
        const int status = runReplay(path_, settings);
        running_ = false;
        mainQueue_.async([finished = finished_, status] {
            if (finished) finished(status);
        });
    });
}

}  // namespace joyrelay
