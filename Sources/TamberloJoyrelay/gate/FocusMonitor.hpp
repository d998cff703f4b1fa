// The focus gate: whether keys may go down now, kept as one Boolean behind a lock.
//
// The main thread refreshes it (BrowserGuard::frontmostIsBrowser) at start(), whenever another
// application becomes active, and once a second besides; the bridge queue reads it with current()
// for every input report. The window system is asked outside the lock, so a reader never waits
// for it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "contracts/DesktopServices.hpp"

namespace joyrelay {

class FocusMonitor {
public:
    // The program's one monitor, created on first use and kept for the life of the process.
    static FocusMonitor& shared();

    FocusMonitor();
    FocusMonitor(const FocusMonitor&) = delete;
    FocusMonitor& operator=(const FocusMonitor&) = delete;

    // Main thread, once: refreshes the gate at once, then on every activation notice of `desktop`
    // and every 1.0 s on its repeating timer. `desktop` must outlive its own registrations (it
    // does: they are its members). The handlers hold the monitor weakly and do nothing once it is
    // gone. Not guarded against a second call (which would register twice).
    //
    // `noDesktopReason` says that `desktop` has no window system to ask (for instance "cannot open
    // X display (DISPLAY is not set)"): there is then no frontmost application, and unless
    // JOYRELAY_ANY_APP is "1" the log says once that keys will not go down and how to change that.
    void start(DesktopServices& desktop, std::optional<std::string> noDesktopReason = std::nullopt);

    // Whether keys may go down: false before start(). Any thread; takes the lock for one copy.
    bool current() const;

    // Main thread: called after a refresh that changed the gate, outside the lock, with the new
    // value. The bridge uses the change from open to closed to release every held key at once, so
    // that no key stays down (and auto-repeats) in the application that now has the focus.
    void setChangeHandler(std::function<void(bool open)> handler);

    // What closes the gate whatever application is in front (even with JOYRELAY_ANY_APP=1):
    //   ownWindow   a window of this program's own (its menu, an alert) is open and takes the keyboard;
    //   screenLocked the session is locked: the lock screen takes the keyboard;
    //   stopping    the program is about to stop (SIGTSTP) and must leave no key down while it is.
    enum class Block : unsigned { ownWindow = 1, screenLocked = 2, stopping = 4 };

    // Main thread: sets or lifts one reason. Lifting a lock or a stop refreshes the gate (the
    // application in front is asked again), as after a focus change; a window of our own closing
    // does not (the focus notice that follows does).
    void setBlocked(Block reason, bool on);
    bool blocked(Block reason) const;

    // Main thread: setBlocked(Block::ownWindow, open).
    void setOwnWindowOpen(bool open) { setBlocked(Block::ownWindow, open); }

    // The log line for a desktop without a window system, or nothing when JOYRELAY_ANY_APP lifts
    // the rule anyway.
    static std::optional<std::string> noDesktopMessage(const std::string& reason, bool anyApp);

private:
    struct State {
        mutable std::mutex lock;  // guards value (and handler, which is only swapped)
        bool value = false;       // browser && blocks == 0
        bool browser = false;     // the frontmost application is a browser
        unsigned blocks = 0;      // the Block reasons set
        std::function<void(bool)> onChange;
    };
    static void refresh(State& state, DesktopServices& desktop);
    static void update(State& state, bool browser);

    std::shared_ptr<State> state_;
    DesktopServices* desktop_ = nullptr;  // set by start()
};

}  // namespace joyrelay
