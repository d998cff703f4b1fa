// The one rule for "nothing has the focus, for a moment": KWin reports no window before every
// switch, GNOME Shell may while a window closes, and wlr foreign-toplevel shows the old window losing
// "activated" before the new one gains it. Such a report of nothing is held back for a short while
// (EmptyFocusHold::duration), and is dropped when another window is reported within it. Only a
// report of nothing that stands for the whole hold makes the provider answer nothing.
//
// So a switch from one browser window to another keeps the gate open throughout (held keys are not
// released and pressed again), while a switch from a browser to anything else closes it with the
// report of that other window, without waiting. A switch from a browser to no window at all (the
// desktop clicked) closes the gate after the hold.
//
// EmptyFocusHold is the rule on a clock of the caller's (the foreign-toplevel provider wakes on a
// timer descriptor); FocusHold is the rule with a Qt timer of its own (KWin, GNOME).
//
// Threads: main thread only; FocusHold's hold runs on Qt's event loop.
#pragma once

#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

#include "contracts/DesktopServices.hpp"

namespace joyrelay {

// Whether two identities are the same in every part.
bool sameApplication(const std::optional<FrontmostApplication>& a,
                     const std::optional<FrontmostApplication>& b);

class EmptyFocusHold {
public:
    using Clock = std::chrono::steady_clock;

    // How long a report of nothing is held back. In the recorded event orders the next window
    // follows within a millisecond: KWin sends it right after its report of nothing, GNOME Shell in
    // the same main-loop turn, wlroots in the same batch of events (which a loaded client may read
    // in two parts). 150 ms covers a loaded machine's delays with room to spare, and costs little:
    // only a switch to no window at all closes the gate that much later, and where the desktop can
    // answer at once each press is checked on the focus as it is then.
    static constexpr std::chrono::milliseconds duration{150};

    explicit EmptyFocusHold(std::chrono::milliseconds hold = duration) : hold_(hold) {}

    // Nothing is focused as of `now`: the hold starts, unless one is already running.
    void start(Clock::time_point now) {
        if (!deadline_) deadline_ = now + hold_;
    }
    // A window is focused again, or the answer is nothing already: no hold.
    void stop() { deadline_.reset(); }
    // Whether the hold ran out by `now`; it is then over, and the answer is nothing.
    bool expired(Clock::time_point now) {
        if (!deadline_ || now < *deadline_) return false;
        deadline_.reset();
        return true;
    }
    // While holding: when the hold runs out.
    std::optional<Clock::time_point> deadline() const { return deadline_; }

private:
    std::chrono::milliseconds hold_;
    std::optional<Clock::time_point> deadline_;
};

class FocusHold {
public:
    static constexpr std::chrono::milliseconds defaultHold = EmptyFocusHold::duration;

    // `changed` runs whenever current() changes.
    explicit FocusHold(std::function<void()> changed, std::chrono::milliseconds hold = defaultHold);
    FocusHold(const FocusHold&) = delete;
    FocusHold& operator=(const FocusHold&) = delete;

    // A report from the desktop: the window that has the focus now, or nothing.
    void report(std::optional<FrontmostApplication> app);

    // Nothing at once, without a hold: the source of the reports went away.
    void clear();

    // The focused application as far as the reports tell.
    const std::optional<FrontmostApplication>& current() const { return current_; }

    // Whether a report of nothing is being held back.
    bool holding() const { return hold_.deadline().has_value(); }

private:
    void set(std::optional<FrontmostApplication> app);
    void wake();

    std::function<void()> changed_;
    std::optional<FrontmostApplication> current_;
    EmptyFocusHold hold_;
    QTimer timer_;  // wakes at the hold's deadline
};

}  // namespace joyrelay
