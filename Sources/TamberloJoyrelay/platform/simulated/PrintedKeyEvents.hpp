// Key events that are printed instead of posted: "<time> <name> down|up", one line each.
//
// The time is the capture time (in milliseconds) of the report that caused the transition, read from
// the clock function at posting time; replay sets it before delivering each report.
#pragma once

#include <cstdio>
#include <functional>

#include "contracts/KeyEvents.hpp"

namespace joyrelay {

class PrintedKeyEvents final : public KeyEvents {
public:
    using Clock = std::function<double()>;  // milliseconds
    PrintedKeyEvents(std::FILE* out, Clock clock) : out_(out), clock_(std::move(clock)) {}

    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t virtualKey, bool down) override;
    void post(const KeyEvent& event) override;

    // Flushes the stream; a failure counts as a write error.
    void flush();
    // The errno of the first line that could not be written, 0 while all were.
    int writeError() const { return writeError_; }

private:
    std::FILE* out_;
    int writeError_ = 0;
    Clock clock_;
};

}  // namespace joyrelay
