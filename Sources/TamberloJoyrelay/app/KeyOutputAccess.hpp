// The permission to post keys on Linux, held: the key output once one could be opened, and until
// then the attempt to open one on every check.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "contracts/KeyEvents.hpp"
#include "platform/linux/keys/KeyOutput.hpp"

namespace joyrelay {

// The key output, opened when it can be: the answer to the permission check.
class KeyOutputAccess {
public:
    // `wanted`: the output the command line names, or nothing to take the first that works in
    // `session` (keyOutputCandidates: uinput, then the desktop's own).
    KeyOutputAccess(DesktopSession session, std::optional<KeyOutputKind> wanted,
                    KeyOutputOpeners openers = systemOpeners());
    KeyOutputAccess(const KeyOutputAccess&) = delete;
    KeyOutputAccess& operator=(const KeyOutputAccess&) = delete;

    // The system's outputs (KeyOutputOpeners::system()), with standard output for the printed one.
    static KeyOutputOpeners systemOpeners();

    // Main thread. True once a key output is open. While none is, each call tries to open one; the
    // first attempt logs its "Key output: ..." line whatever the outcome, later ones only when they
    // succeed.
    bool check();

    // The events the bridge posts through. Until an output is open, no event can be created (every
    // transition is dropped); afterwards they go to that output. Safe to use from the bridge queue
    // while the main thread opens the output.
    KeyEvents& events() { return slot_; }

    // What is open, if anything.
    std::optional<KeyOutputKind> kind() const;

    // The reason the last attempt gave, when nothing is open.
    const std::string& reason() const { return reason_; }

private:
    class Slot final : public KeyEvents {
    public:
        std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override;
        void post(const KeyEvent& event) override;
        bool beginPresses() override;
        void endPresses() override;
        void sync() override;
        bool ready() const override;  // false until an output is open, then the output's answer
        void whenReady(std::function<void()> callback) override;
        // The output is open: hands a waiting callback on to it. Main thread, once.
        void opened(KeyEvents& output);
        std::atomic<KeyEvents*> target{nullptr};  // set once, never changed afterwards

    private:
        std::mutex mutex_;                 // guards waiting_ against the bridge queue
        std::function<void()> waiting_;    // asked for before an output was open

    };

    DesktopSession session_;
    std::optional<KeyOutputKind> wanted_;
    KeyOutputOpeners openers_;
    std::unique_ptr<KeyEvents> output_;
    std::atomic<int> kind_{-1};
    bool tried_ = false;
    std::string reason_;
    Slot slot_;
};

}  // namespace joyrelay
