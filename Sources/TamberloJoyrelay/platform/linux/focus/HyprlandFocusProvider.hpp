// The focus on Hyprland, through its two sockets under $XDG_RUNTIME_DIR/hypr/$HYPRLAND_INSTANCE_SIGNATURE
// (older releases: /tmp/hypr/...): the request socket answers "j/activewindow" with the active
// window as JSON (and is closed at once after each answer: Hyprland serves it synchronously), and
// the event socket streams "EVENT>>DATA" lines, of which "activewindow>>CLASS,TITLE" (and its
// companion "activewindowv2>>ADDRESS") is the activation notice.
//
// Threads: the main thread. Errors: as for sway; when the request socket does not answer, the
// class from the last activewindow line stands in.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/focus/FocusProvider.hpp"
#include "platform/linux/focus/SocketFocusProvider.hpp"

namespace joyrelay {

namespace hyprland_ipc {

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

private:
    struct Owned {};

public:
    HyprlandFocusProvider(Owned, std::string folder, UniqueFd events);

private:
    bool takeEvents(std::string& buffer) override;  // whole "EVENT>>DATA" lines

    std::string folder_;
    bool eventSeen_ = false;
    std::optional<std::string> lastClass_;  // from the last activewindow line
};

}  // namespace joyrelay
