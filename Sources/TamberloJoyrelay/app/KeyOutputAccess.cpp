#include "app/KeyOutputAccess.hpp"

#include <cstdio>

#include "log/Log.hpp"
#include "platform/simulated/PrintedKeyEvents.hpp"

namespace joyrelay {

KeyOutputOpeners KeyOutputAccess::systemOpeners() {
    KeyOutputOpeners openers = KeyOutputOpeners::system();
    openers.print = []() -> std::unique_ptr<KeyEvents> {
        return std::make_unique<PrintedKeyEvents>(stdout, PrintedKeyEvents::Clock{});
    };
    return openers;
}

KeyOutputAccess::KeyOutputAccess(DesktopSession session, std::optional<KeyOutputKind> wanted,
                                 KeyOutputOpeners openers)
    : session_(std::move(session)), wanted_(wanted), openers_(std::move(openers)) {}

bool KeyOutputAccess::check() {
    if (output_) return true;
    KeyOutput chosen = chooseKeyOutput(session_, wanted_, openers_);
    const bool first = !tried_;
    tried_ = true;
    if (!chosen.events) {
        reason_ = chosen.reason;
        if (first) Log::info(chosen.logLine);
        return false;
    }
    Log::info(chosen.logLine);
    reason_.clear();
    output_ = std::move(chosen.events);
    kind_ = chosen.kind ? static_cast<int>(*chosen.kind) : -1;
    slot_.opened(*output_);
    return true;
}

std::optional<KeyOutputKind> KeyOutputAccess::kind() const {
    const int k = kind_.load();
    if (k < 0) return std::nullopt;
    return static_cast<KeyOutputKind>(k);
}

std::optional<KeyEvent> KeyOutputAccess::Slot::createKeyboardEvent(std::uint16_t virtualKey, bool down) {
    KeyEvents* out = target.load(std::memory_order_acquire);
    if (!out) return std::nullopt;
    return out->createKeyboardEvent(virtualKey, down);
}

void KeyOutputAccess::Slot::post(const KeyEvent& event) {
    if (KeyEvents* out = target.load(std::memory_order_acquire)) out->post(event);
}

bool KeyOutputAccess::Slot::beginPresses() {
    KeyEvents* out = target.load(std::memory_order_acquire);
    return out ? out->beginPresses() : true;
}

void KeyOutputAccess::Slot::endPresses() {
    if (KeyEvents* out = target.load(std::memory_order_acquire)) out->endPresses();
}

bool KeyOutputAccess::Slot::ready() const {
    const KeyEvents* out = target.load(std::memory_order_acquire);
    return out && out->ready();
}

void KeyOutputAccess::Slot::whenReady(std::function<void()> callback) {
    std::unique_lock lock(mutex_);
    if (KeyEvents* out = target.load(std::memory_order_acquire)) {
        lock.unlock();
        out->whenReady(std::move(callback));
        return;
    }
    waiting_ = std::move(callback);
}

void KeyOutputAccess::Slot::opened(KeyEvents& output) {
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex_);
        target.store(&output, std::memory_order_release);
        callback = std::move(waiting_);
    }
    if (callback) output.whenReady(std::move(callback));
}

void KeyOutputAccess::Slot::sync() {
    if (KeyEvents* out = target.load(std::memory_order_acquire)) out->sync();
}

}  // namespace joyrelay
