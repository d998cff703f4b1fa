// The rule for the "no window has the focus" report that KWin sends before every switch (and that
// GNOME Shell may send while a window closes): such a report is held back for a short while, and is
// dropped when another window is reported within it. Only a report of nothing that stands for the
// whole hold makes the provider answer nothing.
//
// So a switch from one browser window to another keeps the gate open throughout (held keys are not
// released and pressed again), while a switch from a browser to anything else closes it with the
// report of that other window, without waiting. A switch from a browser to no window at all (the
// desktop clicked) closes the gate after the hold.
//
// Threads: main thread only; the hold runs on Qt's event loop.
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

class FocusHold {
public:
    // How long a report of nothing is held back. KWin sends the next window within a millisecond of
    // its report of nothing; a loaded machine may stretch that, but not by this much.
    static constexpr std::chrono::milliseconds defaultHold{150};

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
    bool holding() const { return timer_.isActive(); }

private:
    void set(std::optional<FrontmostApplication> app);

    std::function<void()> changed_;
    std::optional<FrontmostApplication> current_;
    QTimer timer_;
};

}  // namespace joyrelay
