// The focus on Hyprland, through its two sockets under $XDG_RUNTIME_DIR/hypr/$HYPRLAND_INSTANCE_SIGNATURE
// (older releases: /tmp/hypr/...): the request socket answers "j/activewindow" with the active
// window as JSON (and is closed at once after each answer: Hyprland serves it synchronously), and
// the event socket streams "EVENT>>DATA" lines, of which "activewindow>>CLASS,TITLE" (and its
// companion "activewindowv2>>ADDRESS") is the activation notice.
//
// Every line and every answer is bounded (maxMessage), a question on the main thread ends at
// `queryTimeout`, and the asker focusNow() hands out asks j/activewindow for the bridge queue right
// before a key goes down.
//
// Threads: the main thread; the asker on the bridge queue. Errors: as for sway (an event line over
// the limit, or one that is not "EVENT>>DATA", loses the event socket); when the request socket
// does not answer, the class from the last activewindow line stands in.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/focus/FocusProvider.hpp"
#include "platform/linux/focus/SocketFocusProvider.hpp"

namespace joyrelay {

namespace hyprland_ipc {

// The longest event line and the longest answer taken. An active window's JSON is a kilobyte or
// two and an event line holds one window title; anything this long is not Hyprland.
inline constexpr std::size_t maxMessage = 1u << 20;

// How long j/activewindow from the main thread may take in all.
inline constexpr std::chrono::milliseconds queryTimeout{250};

// Asks j/activewindow on a fresh connection to the request socket in `folder`, by `deadline`.
// Nothing, with `why` set, when Hyprland does not answer in time (or answers more than maxMessage).
std::optional<std::string> askActiveWindow(const std::string& folder, std::chrono::steady_clock::time_point deadline,
                                           std::string* why = nullptr);

// One event line without its line feed, split at the first ">>" (event names hold none, a window
// title may): "activewindow>>chromium,a >> b, c" gives "activewindow" and "chromium,a >> b, c".
struct Event {
    std::string_view name;
    std::string_view data;
};
std::optional<Event> parseEvent(std::string_view line);

// The class in an activewindow event's data ("CLASS,TITLE"): up to the first comma, since the
// title may hold commas. Nothing for "," (no active window).
std::optional<std::string> activeWindowClass(std::string_view data);

// What "j/activewindow" answers: `valid` is false for a reply that is not a JSON object; an empty
// object means no window is active. An XWayland window's class is its WM_CLASS class, a Wayland
// window's its app_id.
struct ActiveWindow {
    bool valid = false;
    std::optional<FrontmostApplication> app;
};
ActiveWindow parseActiveWindow(std::string_view json);

// The folder holding the two sockets, for a runtime folder and an instance signature: the first of
// RUNTIME/hypr/SIG and /tmp/hypr/SIG that has the event socket.
std::string socketFolder(const std::string& runtimeDir, const std::string& signature);

}  // namespace hyprland_ipc

class HyprlandFocusProvider final : public SocketFocusProvider {
public:
    // Connects to the event socket in `folder`. Returns nullptr with `error` set when that fails.
    static std::unique_ptr<HyprlandFocusProvider> open(const std::string& folder, std::string* error);

    std::string name() const override { return "Hyprland IPC"; }
    std::optional<FrontmostApplication> frontmost() override;
    // j/activewindow on a fresh request connection each time (Hyprland serves one per connection).
    std::shared_ptr<FocusNow> focusNow() override;

private:
    struct Owned {};
    class Asker;

public:
    HyprlandFocusProvider(Owned, std::string folder, UniqueFd events);

private:
    Taken takeEvents(std::string& buffer) override;  // whole "EVENT>>DATA" lines
    void lose(std::string why) override;              // the asker stops too

    std::string folder_;
    std::shared_ptr<Asker> asker_;
    bool eventSeen_ = false;
    std::optional<std::string> lastClass_;  // from the last activewindow line
};

}  // namespace joyrelay
