// Doubles for the tray tests: the test desktop with a real launch-at-login entry, a
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

#include "support/FakeDesktop.hpp"
#include "support/QtWaiting.hpp"
#include "log/Log.hpp"
#include "app/StickService.hpp"
#include "platform/linux/desktop/XdgAutostart.hpp"

namespace joyrelay::testing {

// The test desktop, with launch at login through a real XDG entry when `autostart` is set.
class FakeDesktop final : public FakeDesktopServices {
public:
    std::optional<XdgAutostart> autostart;

    LoginItemStatus loginItemStatus() override {
        const LoginItemStatus noted = FakeDesktopServices::loginItemStatus();
        return autostart ? autostart->status() : noted;
    }
    std::optional<std::string> registerLoginItem() override {
        auto noted = FakeDesktopServices::registerLoginItem();
        return autostart ? autostart->enable() : noted;
    }
    std::optional<std::string> unregisterLoginItem() override {
        auto noted = FakeDesktopServices::unregisterLoginItem();
        return autostart ? autostart->disable() : noted;
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
    void gateOpened() override {}
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

}  // namespace joyrelay::testing
