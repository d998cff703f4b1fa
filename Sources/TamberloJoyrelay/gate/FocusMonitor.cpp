#include "gate/FocusMonitor.hpp"

#include <chrono>

#include "gate/BrowserGuard.hpp"
#include "log/Log.hpp"

namespace joyrelay {

FocusMonitor& FocusMonitor::shared() {
    static FocusMonitor instance;
    return instance;
}

FocusMonitor::FocusMonitor() : state_(std::make_shared<State>()) {}

bool FocusMonitor::current() const {
    std::lock_guard lock(state_->lock);
    return state_->value;
}

void FocusMonitor::setChangeHandler(std::function<void(bool open)> handler) {
    std::lock_guard lock(state_->lock);
    state_->onChange = std::move(handler);
}

void FocusMonitor::refresh(State& state, DesktopServices& desktop) {
    update(state, BrowserGuard::frontmostIsBrowser(desktop));
}

void FocusMonitor::update(State& state, bool browser) {
    std::function<void(bool)> onChange;
    bool open = false;
    {
        std::lock_guard lock(state.lock);
        state.browser = browser;
        open = browser && state.blocks == 0;
        if (state.value == open) return;
        state.value = open;
        onChange = state.onChange;
    }
    if (onChange) onChange(open);
}

void FocusMonitor::setBlocked(Block reason, bool on) {
    const auto bit = static_cast<unsigned>(reason);
    bool browser = false;
    {
        std::lock_guard lock(state_->lock);
        state_->blocks = on ? (state_->blocks | bit) : (state_->blocks & ~bit);
        browser = state_->browser;
    }
    if (!on && reason != Block::ownWindow && desktop_) {
        refresh(*state_, *desktop_);
    } else {
        update(*state_, browser);
    }
}

bool FocusMonitor::blocked(Block reason) const {
    std::lock_guard lock(state_->lock);
    return (state_->blocks & static_cast<unsigned>(reason)) != 0;
}

std::optional<std::string> FocusMonitor::noDesktopMessage(const std::string& reason, bool anyApp) {
    if (anyApp) return std::nullopt;
    return "No desktop to ask which application is in front (" + reason +
           "), so the stick's keys will not go down. Start Tamberlo Joyrelay inside an X11 session or on "
           "sway, Hyprland, another wlroots desktop, KDE Plasma or GNOME (with its extension), or set JOYRELAY_ANY_APP=1 to send keys whatever "
           "application has the focus.";
}

void FocusMonitor::start(DesktopServices& desktop, std::optional<std::string> noDesktopReason) {
    if (noDesktopReason) {
        if (auto message = noDesktopMessage(*noDesktopReason, BrowserGuard::anyApp())) Log::info(*message);
    }
    desktop_ = &desktop;
    refresh(*state_, desktop);
    const std::weak_ptr<State> weak = state_;
    desktop.observeActivation([weak, &desktop] {
        if (const auto state = weak.lock()) refresh(*state, desktop);
    });
    desktop.scheduleRepeating(std::chrono::milliseconds(1000), [weak, &desktop] {
        if (const auto state = weak.lock()) refresh(*state, desktop);
    });
}

}  // namespace joyrelay
