// A desktop for tests: its answers are whatever the test sets, its calls are noted for the test to
// read back, and the activation notices and timer ticks happen when the test fires them.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "contracts/DesktopServices.hpp"

namespace joyrelay::testing {

class FakeDesktopServices : public DesktopServices {
public:
    // Every call, in order: "frontmost", "observeActivation", "schedule 1000", "trusted prompt",
    // "trusted", "open URL", "loginStatus", "register", "unregister", "alert".
    std::vector<std::string> calls;

    std::optional<FrontmostApplication> frontmost;
    int frontmostQueries = 0;
    std::vector<std::function<void()>> activationHandlers;
    struct Timer {
        std::chrono::milliseconds interval;
        std::function<void()> handler;
    };
    std::vector<Timer> timers;
    std::function<void(std::chrono::milliseconds)> onScheduleRepeating;  // runs after the timer is recorded

    bool trustedAnswer = true;
    std::vector<std::string> opened;
    std::vector<std::pair<std::string, std::string>> alerts;

    LoginItemStatus loginStatus = LoginItemStatus::notRegistered;
    std::optional<std::string> registerError;
    std::optional<std::string> unregisterError;
    int loginStatusReads = 0;

    // Makes `app` frontmost without telling anyone (as between two timer ticks).
    void setFrontmost(std::optional<FrontmostApplication> app) { frontmost = std::move(app); }

    // Makes `app` frontmost and sends the activation notice, as the desktop does.
    void activate(std::optional<FrontmostApplication> app) {
        frontmost = std::move(app);
        for (auto& handler : activationHandlers) handler();
    }

    // Runs every timer once.
    void tick() {
        for (auto& timer : timers) timer.handler();
    }

    // Runs every timer of `interval` once.
    void tick(std::chrono::milliseconds interval) {
        for (auto& timer : timers) {
            if (timer.interval == interval) timer.handler();
        }
    }

    std::optional<FrontmostApplication> frontmostApplication() override {
        calls.push_back("frontmost");
        ++frontmostQueries;
        return frontmost;
    }
    void observeActivation(std::function<void()> handler) override {
        calls.push_back("observeActivation");
        activationHandlers.push_back(std::move(handler));
    }
    void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> handler) override {
        calls.push_back("schedule " + std::to_string(interval.count()));
        timers.push_back({interval, std::move(handler)});
        if (onScheduleRepeating) onScheduleRepeating(interval);
    }
    bool isProcessTrusted(bool prompt) override {
        calls.push_back(prompt ? "trusted prompt" : "trusted");
        return trustedAnswer;
    }
    bool openURL(const std::string& url) override {
        calls.push_back("open URL");
        opened.push_back(url);
        return true;
    }
    LoginItemStatus loginItemStatus() override {
        calls.push_back("loginStatus");
        ++loginStatusReads;
        return loginStatus;
    }
    std::optional<std::string> registerLoginItem() override {
        calls.push_back("register");
        if (!registerError) loginStatus = LoginItemStatus::enabled;
        return registerError;
    }
    std::optional<std::string> unregisterLoginItem() override {
        calls.push_back("unregister");
        if (!unregisterError) loginStatus = LoginItemStatus::notRegistered;
        return unregisterError;
    }
    void runAlert(const std::string& message, const std::string& informative) override {
        calls.push_back("alert");
        alerts.emplace_back(message, informative);
    }
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
