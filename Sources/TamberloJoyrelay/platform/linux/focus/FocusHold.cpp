#include "platform/linux/focus/FocusHold.hpp"

namespace joyrelay {

bool sameApplication(const std::optional<FrontmostApplication>& a,
                     const std::optional<FrontmostApplication>& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return a->bundleIdentifier == b->bundleIdentifier && a->localizedName == b->localizedName &&
           a->windowClass == b->windowClass && a->appId == b->appId && a->pid == b->pid;
}

FocusHold::FocusHold(std::function<void()> changed, std::chrono::milliseconds hold)
    : changed_(std::move(changed)), hold_(hold) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { wake(); });
}

void FocusHold::report(std::optional<FrontmostApplication> app) {
    if (!app) {
        if (current_ && !holding()) {
            hold_.start(EmptyFocusHold::Clock::now());
            wake();
        }
        return;
    }
    hold_.stop();
    timer_.stop();
    set(std::move(app));
}

void FocusHold::clear() {
    hold_.stop();
    timer_.stop();
    set(std::nullopt);
}

void FocusHold::wake() {
    const auto now = EmptyFocusHold::Clock::now();
    if (hold_.expired(now)) {
        set(std::nullopt);
    } else if (const auto deadline = hold_.deadline()) {
        timer_.start(std::chrono::ceil<std::chrono::milliseconds>(*deadline - now));
    }
}

void FocusHold::set(std::optional<FrontmostApplication> app) {
    if (sameApplication(current_, app)) return;
    current_ = std::move(app);
    if (changed_) changed_();
}

}  // namespace joyrelay
