// A desktop for tests: the frontmost application is whatever the test sets, and the activation
// notices and timer ticks happen when the test fires them.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "contracts/DesktopServices.hpp"

namespace joyrelay::testing {

class FakeDesktopServices : public DesktopServices {
public:
    std::optional<FrontmostApplication> frontmost;
    int frontmostQueries = 0;
    std::vector<std::function<void()>> activationHandlers;
    struct Timer {
        std::chrono::milliseconds interval;
        std::function<void()> handler;
    };
    std::vector<Timer> timers;

    // Makes `app` frontmost without telling anyone (as between two timer ticks).
    void setFrontmost(std::optional<FrontmostApplication> app) { frontmost = std::move(app); }

    // Makes `app` frontmost and sends the activation notice, as the desktop does.
    void activate(std::optional<FrontmostApplication> app) {
        frontmost = std::move(app);
        for (auto& handler : activationHandlers) handler();
    }

    void tick() {
        for (auto& timer : timers) timer.handler();
    }

    std::optional<FrontmostApplication> frontmostApplication() override {
        ++frontmostQueries;
        return frontmost;
    }
    void observeActivation(std::function<void()> handler) override {
        activationHandlers.push_back(std::move(handler));
    }
    void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> handler) override {
        timers.push_back({interval, std::move(handler)});
    }
    bool isProcessTrusted(bool) override { return true; }
    bool openURL(const std::string&) override { return true; }
    LoginItemStatus loginItemStatus() override { return LoginItemStatus::notRegistered; }
    std::optional<std::string> registerLoginItem() override { return std::nullopt; }
    std::optional<std::string> unregisterLoginItem() override { return std::nullopt; }
    void runAlert(const std::string&, const std::string&) override {}
};

inline FrontmostApplication app(std::optional<std::string> bundleIdentifier,
                                std::optional<std::string> localizedName,
                                std::optional<std::string> windowClass = std::nullopt) {
    FrontmostApplication a;
    a.bundleIdentifier = std::move(bundleIdentifier);
    a.localizedName = std::move(localizedName);
    a.windowClass = std::move(windowClass);
    return a;
}

}  // namespace joyrelay::testing
