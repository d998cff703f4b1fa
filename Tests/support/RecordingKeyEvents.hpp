// Key events recorded in memory, for tests and benchmarks. Creation can be made to fail on demand.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "contracts/KeyEvents.hpp"

namespace joyrelay {

class RecordingKeyEvents final : public KeyEvents {
public:
    // Decides whether the n-th creation (counting from 0) fails; none by default.
    std::function<bool(std::size_t n)> failCreation;

    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override {
        std::lock_guard lock(mutex_);
        const std::size_t n = created_++;
        if (failCreation && failCreation(n)) return std::nullopt;
        return KeyEvent{virtualKey, down, std::nullopt};
    }
    void post(const KeyEvent& event) override {
        std::lock_guard lock(mutex_);
        posted_.push_back(event);
    }

    bool ready() const override {
        std::lock_guard lock(mutex_);
        return ready_;
    }
    void whenReady(std::function<void()> callback) override {
        std::unique_lock lock(mutex_);
        if (!ready_) {
            waiting_ = std::move(callback);
            return;
        }
        lock.unlock();
        if (callback) callback();
    }
    // Not ready until becomeReady() (ready from the start otherwise). Call before the bridge starts.
    void startNotReady() {
        std::lock_guard lock(mutex_);
        ready_ = false;
    }
    void becomeReady() {
        std::function<void()> callback;
        {
            std::lock_guard lock(mutex_);
            ready_ = true;
            callback = std::move(waiting_);
        }
        if (callback) callback();
    }

    // Reserves room so that recording does not allocate (benchmarks).
    void reserve(std::size_t n) {
        std::lock_guard lock(mutex_);
        posted_.reserve(n);
    }
    std::vector<KeyEvent> posted() const {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return posted_.size();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        posted_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::size_t created_ = 0;
    bool ready_ = true;
    std::function<void()> waiting_;
    std::vector<KeyEvent> posted_;
};

}  // namespace joyrelay
