// Helpers for the tests that run inside a headless KWin or GNOME Shell session: waiting on Qt's
// event loop, the focus provider seen through the desktop services, Chromium's controller check
// page read through DevTools, and key events recorded on their way out.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/X11TestSupport.hpp"
#include "support/FakeDesktop.hpp"
#include "support/PadTestPage.hpp"
#include "support/QtWaiting.hpp"
#include "contracts/KeyEvents.hpp"
#include "platform/linux/focus/FocusProvider.hpp"

namespace joyrelay::testing {

// The desktop services of a session whose focus comes from one provider, as the program will wire
// them: the frontmost application is the provider's answer, the activation notice its change handler.
class ProviderDesktop final : public FakeDesktopServices {
public:
    explicit ProviderDesktop(FocusProvider& provider) : provider_(provider) {}
    std::optional<FrontmostApplication> frontmostApplication() override { return provider_.frontmost(); }
    void observeActivation(std::function<void()> handler) override {
        provider_.setChangeHandler(std::move(handler));
    }
    void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> handler) override {
        auto* timer = new QTimer(&owner_);
        QObject::connect(timer, &QTimer::timeout, std::move(handler));
        timer->start(interval);
    }

private:
    FocusProvider& provider_;
    QObject owner_;
};

// Key events passed on to an output, each one noted with its time.
class NotingKeyEvents final : public KeyEvents {
public:
    struct Posted {
        std::uint16_t virtualKey;
        bool down;
        std::chrono::steady_clock::time_point at;
    };
    explicit NotingKeyEvents(KeyEvents& output) : output_(output) {}
    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override {
        return output_.createKeyboardEvent(virtualKey, down);
    }
    void post(const KeyEvent& event) override {
        output_.post(event);
        std::lock_guard lock(lock_);
        posted_.push_back({event.virtualKey, event.down, std::chrono::steady_clock::now()});
    }
    std::vector<Posted> posted() const {
        std::lock_guard lock(lock_);
        return posted_;
    }

private:
    KeyEvents& output_;
    mutable std::mutex lock_;
    std::vector<Posted> posted_;
};

// Chromium, native on Wayland, showing the controller check page, with DevTools on a port it picks.
class CheckPageBrowser {
public:
    explicit CheckPageBrowser(const std::filesystem::path& folder)
        : profile_(folder / "chromium-profile"),
          process_(chromiumCommand(profile_, {"--ozone-platform=wayland", "--remote-debugging-address=127.0.0.1",
                                              "--remote-debugging-port=0",
                                              "file://" JOYRELAY_SOURCE_DIR "/web/padtest.html?detail"}),
                   folder / "chromium.log") {}

    // The page's title as DevTools lists it ("padtest: ..."), or empty while there is no page.
    std::string title() {
        if (port_.empty()) {
            std::ifstream in(profile_ / "DevToolsActivePort");
            if (!(in >> port_)) port_.clear();
            if (port_.empty()) return {};
        }
        return padTestTitle(std::stoi(port_));
    }

    void stop() { process_.stop(); }

private:
    std::filesystem::path profile_;
    Program process_;
    std::string port_;
};

}  // namespace joyrelay::testing
