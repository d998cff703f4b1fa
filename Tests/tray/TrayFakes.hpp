// Doubles for the tray tests: a desktop whose answers the test sets and whose calls it reads back, a
// stick service the test reports statuses through, and the log captured line by line.
#pragma once

#include <QCoreApplication>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/DesktopServices.hpp"
#include "log/Log.hpp"
#include "app/StickService.hpp"
#include "platform/linux/desktop/XdgAutostart.hpp"

namespace joyrelay::testing {

class FakeDesktop final : public DesktopServices {
public:
    // Every call, in order: "frontmost", "observeActivation", "schedule 1000", "trusted prompt",
    // "trusted", "open URL", "loginStatus", "register", "unregister", "alert".
    std::vector<std::string> calls;

    std::optional<FrontmostApplication> frontmost;
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

    // Launch at login: these values, or the XDG entry when `autostart` is set.
    LoginItemStatus loginStatus = LoginItemStatus::notRegistered;
    std::optional<std::string> registerError;
    std::optional<std::string> unregisterError;
    std::optional<XdgAutostart> autostart;
    int loginStatusReads = 0;

    // Runs every timer of `interval` once.
    void tick(std::chrono::milliseconds interval) {
        for (auto& timer : timers) {
            if (timer.interval == interval) timer.handler();
        }
    }

    std::optional<FrontmostApplication> frontmostApplication() override {
        calls.push_back("frontmost");
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
        return autostart ? autostart->status() : loginStatus;
    }
    std::optional<std::string> registerLoginItem() override {
        calls.push_back("register");
        if (autostart) return autostart->enable();
        if (!registerError) loginStatus = LoginItemStatus::enabled;
        return registerError;
    }
    std::optional<std::string> unregisterLoginItem() override {
        calls.push_back("unregister");
        if (autostart) return autostart->disable();
        if (!unregisterError) loginStatus = LoginItemStatus::notRegistered;
        return unregisterError;
    }
    void runAlert(const std::string& message, const std::string& informative) override {
        calls.push_back("alert");
        alerts.emplace_back(message, informative);
    }
};

// A stick service driven by the test: report() delivers a status as the main queue would.
class FakeStick final : public StickService {
public:
    std::vector<std::string>* calls = nullptr;  // where start and release are noted, if anywhere
    StatusHandler handler;
    int starts = 0;
    int gateClosings = 0;
    int releases = 0;
    bool releaseAnswer = true;

    void start(StatusHandler onStatus) override {
        ++starts;
        if (calls) calls->push_back("stick start");
        handler = std::move(onStatus);
    }
    void gateClosed() override { ++gateClosings; }
    bool releaseHeldKeys(std::chrono::milliseconds) override {
        ++releases;
        if (calls) calls->push_back("stick release");
        return releaseAnswer;
    }
    void report(const StickStatus& status) {
        if (handler) handler(status);
    }
};

// Every log line written while it exists.
class LogCapture {
public:
    LogCapture() {
        Log::setListener([this](std::string_view line) {
            std::lock_guard guard(lock_);
            lines_.emplace_back(line);
        });
    }
    ~LogCapture() { Log::setListener({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard guard(lock_);
        return lines_;
    }
    void clear() {
        std::lock_guard guard(lock_);
        lines_.clear();
    }
    bool contains(std::string_view text) const {
        for (const auto& line : lines()) {
            if (line == text) return true;
        }
        return false;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// Runs Qt's event loop until `condition` holds or `timeout` has passed.
inline bool processEventsUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return QTest::qWaitFor(condition, static_cast<int>(timeout.count()));
}

}  // namespace joyrelay::testing
