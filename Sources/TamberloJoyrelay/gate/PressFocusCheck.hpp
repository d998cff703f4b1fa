// Key presses decided on the focus as it is at that moment: a key output wrapped so that, before
// the bridge presses keys, the desktop is asked (FocusNow) whether a browser has the focus now, on
// top of whatever check the output makes itself. Releases, and everything else, pass straight
// through, so the gate closing still releases every held key as before.
//
// Threads: as for the wrapped output (the bridge queue, one thread at a time). Errors: no answer by
// the deadline, or an answer that names no browser, makes beginPresses() answer false, and the
// bridge presses nothing new with that report.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "contracts/FocusNow.hpp"
#include "contracts/KeyEvents.hpp"

namespace joyrelay {

class PressFocusCheck final : public KeyEvents {
public:
    // Wraps `output` (which must outlive this object); asks `now` within `wait` of each beginPresses().
    PressFocusCheck(KeyEvents& output, std::shared_ptr<FocusNow> now,
                    std::chrono::milliseconds wait = FocusNow::defaultDeadline)
        : output_(output), now_(std::move(now)), wait_(wait) {}

    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override {
        return output_.createKeyboardEvent(virtualKey, down);
    }
    void post(const KeyEvent& event) override { output_.post(event); }
    // The output's own check first, then the desktop's answer.
    bool beginPresses() override;
    void endPresses() override { output_.endPresses(); }
    void sync() override { output_.sync(); }
    bool ready() const override { return output_.ready(); }
    void whenReady(std::function<void()> callback) override { output_.whenReady(std::move(callback)); }

private:
    KeyEvents& output_;
    std::shared_ptr<FocusNow> now_;
    std::chrono::milliseconds wait_;
};

}  // namespace joyrelay
