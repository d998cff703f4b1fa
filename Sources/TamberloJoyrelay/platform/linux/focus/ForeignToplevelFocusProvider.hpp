// The focus on a wlroots compositor without an IPC of its own (labwc, river, Wayfire, niri, and
// sway or Hyprland as well), through zwlr_foreign_toplevel_manager_v1: every toplevel window with
// its app_id and its state, of which "activated" marks the one with the focus.
//
// A switch from one window to another arrives as two groups of events: the old window loses
// "activated", then the new one gains it. Between the two nothing is activated, for a moment. That
// moment must not count: closing the gate releases every held key, and reopening it a millisecond
// later would press them again. So the tracker applies each window's changes only at its "done"
// (the protocol's atomic unit), looks at the result only after everything that was readable has
// been read, and when nothing is activated any more it keeps its last answer for the hold of every
// provider (EmptyFocusHold, FocusHold.hpp) before it answers "nothing". A window that gains
// "activated" within the hold takes over at once; a real switch to nothing (an empty workspace, a
// launcher that is not a toplevel) closes the gate after the hold.
//
// Threads: the main thread. The provider has its own Wayland connection; fd() is an epoll set of
// that connection and the hold's timer. Errors: a compositor without the protocol (or one that hides
// it from this client) makes open() fail; a connection lost later leaves the provider answering
// nothing, with problem() saying why.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/common/Descriptors.hpp"
#include "platform/linux/focus/FocusHold.hpp"
#include "platform/linux/focus/FocusProvider.hpp"
#include "platform/linux/common/WaylandDisplay.hpp"

struct zwlr_foreign_toplevel_manager_v1;
struct zwlr_foreign_toplevel_handle_v1;

namespace joyrelay {

// Which toplevel is activated, from the protocol's events; no Wayland in here, so that recorded
// sequences can be replayed in tests.
class ToplevelFocusTracker {
public:
    using Clock = std::chrono::steady_clock;

    explicit ToplevelFocusTracker(std::chrono::milliseconds grace = EmptyFocusHold::duration) : hold_(grace) {}

    // The events of one toplevel, by an id that is unique while it lives. app_id and state are
    // pending until done().
    void appId(std::uint32_t id, std::string value);
    void state(std::uint32_t id, bool activated);
    void done(std::uint32_t id);
    void closed(std::uint32_t id);

    // After a batch of events, and when the deadline has passed: decides what is in front now.
    // Returns true when that answer changed.
    bool settle(Clock::time_point now);

    // While nothing is activated but the last answer still stands: when it runs out.
    std::optional<Clock::time_point> deadline() const { return hold_.deadline(); }

    struct Active {
        std::uint32_t id = 0;
        std::string appId;
        bool operator==(const Active&) const = default;
    };
    // The answer: the activated toplevel (the most recently activated one, should a compositor with
    // several seats report more than one), or nothing.
    const std::optional<Active>& current() const { return current_; }

private:
    struct Toplevel {
        std::optional<std::string> pendingAppId;
        std::optional<bool> pendingActivated;
        std::string appId;
        bool activated = false;
        std::uint64_t activatedAt = 0;  // order of activation
    };

    EmptyFocusHold hold_;
    std::map<std::uint32_t, Toplevel> toplevels_;
    std::uint64_t activations_ = 0;
    std::optional<Active> current_;
};

class ForeignToplevelFocusProvider final : public FocusProvider {
public:
    // Connects to the compositor (`displayName`, nullptr: $WAYLAND_DISPLAY), binds the manager and
    // reads the toplevels there are. Returns nullptr with `error` set when that fails.
    static std::unique_ptr<ForeignToplevelFocusProvider> open(const char* displayName, std::string* error,
                                                              std::chrono::milliseconds grace = EmptyFocusHold::duration);
    ~ForeignToplevelFocusProvider() override;

    std::string name() const override { return "wlr foreign toplevel"; }
    // The activated toplevel's app_id, given both as the app id and as the window class: the
    // protocol does not tell an XWayland window apart, and compositors give the X11 class there.
    std::optional<FrontmostApplication> frontmost() override;
    int fd() const override { return set_.fd(); }
    void dispatch() override;
    std::optional<std::string> problem() const override { return problem_; }

    // For the protocol's listeners.
    struct Handle;
    void toplevelCreated(zwlr_foreign_toplevel_handle_v1* handle);
    ToplevelFocusTracker& tracker() { return tracker_; }
    void toplevelClosed(Handle* handle);
    void managerFinished();

private:
    struct Owned {};

public:
    ForeignToplevelFocusProvider(Owned, WaylandDisplayPtr display, std::chrono::milliseconds grace);

private:
    bool bind(std::string* error);
    bool settle();  // true when the answer changed
    void lose(const std::string& why);

    WaylandDisplayPtr display_;
    zwlr_foreign_toplevel_manager_v1* manager_ = nullptr;
    std::map<std::uint32_t, std::unique_ptr<Handle>> handles_;
    std::uint32_t nextId_ = 1;
    ToplevelFocusTracker tracker_;
    DescriptorSet set_;
    UniqueFd timer_;
    std::optional<std::string> problem_;
    bool lost_ = false;
};

}  // namespace joyrelay
