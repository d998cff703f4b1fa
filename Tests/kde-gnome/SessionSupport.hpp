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

#include "../desktop/X11TestSupport.hpp"
#include "contracts/DesktopServices.hpp"
#include "contracts/KeyEvents.hpp"
#include "platform/linux/focus/FocusProvider.hpp"

namespace joyrelay::testing {

// Runs Qt's event loop until `condition` holds or `timeout` has passed.
inline bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QTimer tick;  // wakes the loop now and then to look at the condition
    tick.start(5);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The desktop services of a session whose focus comes from one provider, as the program will wire
// them: the frontmost application is the provider's answer, the activation notice its change handler.
class ProviderDesktop final : public DesktopServices {
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
    bool isProcessTrusted(bool) override { return true; }
    bool openURL(const std::string&) override { return false; }
    LoginItemStatus loginItemStatus() override { return LoginItemStatus::notRegistered; }
    std::optional<std::string> registerLoginItem() override { return std::nullopt; }
    std::optional<std::string> unregisterLoginItem() override { return std::nullopt; }
    void runAlert(const std::string&, const std::string&) override {}

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

// What the controller check page (web/padtest.html?detail) writes into its title for one transition
// of a transcript line ("1800.000 Shift up"), given whether Shift is down: "D:key/code[/S]".
inline std::string pageEntry(const std::string& name, bool down, bool& shiftHeld) {
    static const std::map<std::string, std::pair<std::string, std::string>> table = {
        {"Space", {"Space", "Space"}},
        {"Enter", {"Enter", "Enter"}},
        {"Escape", {"Escape", "Escape"}},
        {"Shift", {"Shift", "ShiftLeft"}},
        {"ArrowLeft", {"ArrowLeft", "ArrowLeft"}},
        {"ArrowRight", {"ArrowRight", "ArrowRight"}},
        {"ArrowUp", {"ArrowUp", "ArrowUp"}},
        {"ArrowDown", {"ArrowDown", "ArrowDown"}},
        {"z", {"z", "KeyZ"}},
        {"x", {"x", "KeyX"}},
        {"c", {"c", "KeyC"}},
        {"1", {"1", "Digit1"}},
        {"2", {"2", "Digit2"}},
    };
    auto [key, code] = table.at(name);
    if (name == "Shift") shiftHeld = down;
    if (shiftHeld && key.size() == 1) {
        if (key == "1")
            key = "!";
        else if (key == "2")
            key = "@";
        else
            key = std::string(1, static_cast<char>(key[0] - 'a' + 'A'));
    }
    return std::string(down ? "D:" : "U:") + key + "/" + code + (shiftHeld ? "/S" : "");
}

// The page's record for a whole transcript (samples/demo.keys), each entry after a space.
inline std::string pageRecord(const std::filesystem::path& transcript) {
    std::ifstream in(transcript);
    std::string time, name, direction, out;
    bool shift = false;
    while (in >> time >> name >> direction) out += " " + pageEntry(name, direction == "down", shift);
    return out;
}

// Chromium, native on Wayland, showing the controller check page, with DevTools on a port it picks.
class CheckPageBrowser {
public:
    explicit CheckPageBrowser(const std::filesystem::path& folder)
        : profile_(folder / "chromium-profile"),
          process_({"chromium", "--ozone-platform=wayland", "--no-sandbox", "--test-type", "--disable-gpu",
                    "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--password-store=basic",
                    "--user-data-dir=" + profile_.string(), "--remote-debugging-address=127.0.0.1",
                    "--remote-debugging-port=0", "file://" JOYRELAY_SOURCE_DIR "/web/padtest.html?detail"},
                   folder / "chromium.log") {}

    // The page's title as DevTools lists it ("padtest: ..."), or empty while there is no page.
    std::string title() {
        if (port_.empty()) {
            std::ifstream in(profile_ / "DevToolsActivePort");
            if (!(in >> port_)) port_.clear();
            if (port_.empty()) return {};
        }
        const std::string list = output("curl -s --max-time 2 http://127.0.0.1:" + port_ + "/json/list");
        const std::string key = "\"title\": \"";
        const auto at = list.find(key + "padtest:");
        if (at == std::string::npos) return {};
        const auto start = at + key.size();
        return list.substr(start, list.find('"', start) - start);
    }

    void stop() { process_.stop(); }

private:
    std::filesystem::path profile_;
    Process process_;
    std::string port_;
};

}  // namespace joyrelay::testing
