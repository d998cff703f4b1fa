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

// Has `bridge` release its held keys (keys may go down again later) and waits for its queue.
bool releaseForStopAndWait(StickBridge& bridge, std::chrono::milliseconds timeout) {
    auto released = std::make_shared<std::promise<void>>();
    std::future<void> done = released->get_future();
    bridge.gateClosed([released] { released->set_value(); });
    return done.wait_for(timeout) == std::future_status::ready;
}

}  // namespace

bool LiveStick::releaseForStop(std::chrono::milliseconds timeout) { return releaseForStopAndWait(*bridge_, timeout); }

bool ReplayStick::releaseForStop(std::chrono::milliseconds timeout) {
    return releaseForStopAndWait(replay_.bridge(), timeout);
}

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

ReplayStick::ReplayStick(std::string path, ReplaySettings settings, MainQueue& mainQueue,
                         std::function<void(int)> finished)
    : mainQueue_(mainQueue), finished_(std::move(finished)), replay_(std::move(path), std::move(settings), &mainQueue) {}

ReplayStick::~ReplayStick() {
    if (worker_.joinable()) worker_.join();
}

void ReplayStick::start(StatusHandler onStatus) {
    replay_.bridge().onStatus = std::move(onStatus);
    running_ = true;
    worker_ = std::thread([this] {
        const int status = replay_.play();
        running_ = false;
        mainQueue_.async([finished = finished_, status] {
            if (finished) finished(status);
        });
    });
}

bool ReplayStick::releaseHeldKeys(std::chrono::milliseconds timeout) {
    return releaseAndWait(replay_.bridge(), timeout);
}

}  // namespace joyrelay
