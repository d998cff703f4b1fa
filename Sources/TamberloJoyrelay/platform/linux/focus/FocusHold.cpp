#include "platform/linux/focus/FocusHold.hpp"

namespace joyrelay {

bool sameApplication(const std::optional<FrontmostApplication>& a,
                     const std::optional<FrontmostApplication>& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return a->bundleIdentifier == b->bundleIdentifier && a->localizedName == b->localizedName &&
           a->windowClass == b->windowClass && a->appId == b->appId && a->pid == b->pid;
}

FocusHold::FocusHold(std::function<void()> changed, std::chrono::milliseconds hold)
    : changed_(std::move(changed)) {
    timer_.setSingleShot(true);
    timer_.setInterval(hold);
    QObject::connect(&timer_, &QTimer::timeout, [this] { set(std::nullopt); });
}

void FocusHold::report(std::optional<FrontmostApplication> app) {
    if (!app) {
        if (current_ && !timer_.isActive()) timer_.start();
        return;
    }
    timer_.stop();
    set(std::move(app));
}

void FocusHold::clear() {
    timer_.stop();
    set(std::nullopt);
}

void FocusHold::set(std::optional<FrontmostApplication> app) {
    if (sameApplication(current_, app)) return;
    current_ = std::move(app);
    if (changed_) changed_();
}

}  // namespace joyrelay
