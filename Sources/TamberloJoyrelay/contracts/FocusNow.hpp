// Asking the desktop which application has the focus at this very moment, just before a key goes
// down.
//
// The gate follows the desktop's notices: they reach the main thread some time after the focus has
// moved, and a key pressed in that time goes to the window that has just taken the focus. Where the
// desktop answers a question about the focus at once (sway's GET_TREE, Hyprland's j/activewindow,
// the GNOME Shell extension's GetFocus), the bridge asks right before it presses, on a connection
// of the asker's own, and presses only when the answer names a browser.
//
// Threads: ask() is called on the bridge queue, one call at a time; it never touches the main
// thread's focus provider (which keeps its own connections) and may run while the provider works.
// An asker may outlive the provider that made it.
//
// Errors: ask() never throws and never waits past `deadline`. No answer by then (the compositor is
// busy, gone or answers something else) is `answered == false`; the caller then presses nothing,
// and a key still held is pressed with a later report once an answer names a browser. The asker
// drops a connection whose answer came late, so that it never reads a stale answer afterwards.
#pragma once

#include <chrono>
#include <optional>

#include "contracts/DesktopServices.hpp"

namespace joyrelay {

class FocusNow {
public:
    using Clock = std::chrono::steady_clock;

    // How long the bridge waits for an answer. A compositor answers in well under a millisecond
    // when the machine is idle; on a heavily loaded one it took more than 15 ms, and now and then
    // more than 100 ms, and a press refused for that is lost when the stick lets go before its next
    // report. The wait only delays a press: the moment in which a press can reach the wrong window
    // starts with the answer. A compositor that does not answer at all closes the gate through the
    // main thread's provider (whose questions end at the same 250 ms), after which nothing is asked.
    static constexpr std::chrono::milliseconds defaultDeadline{250};

    struct Answer {
        bool answered = false;                    // false: no answer by the deadline
        std::optional<FrontmostApplication> app;  // the focused application; nothing: no window
    };

    virtual ~FocusNow() = default;

    // The application that has the focus now, asked of the desktop, by `deadline`.
    virtual Answer ask(Clock::time_point deadline) = 0;
};

}  // namespace joyrelay
