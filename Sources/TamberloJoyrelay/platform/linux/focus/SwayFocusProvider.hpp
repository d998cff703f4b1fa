// The focus on sway, through its IPC socket ($SWAYSOCK): GET_TREE names the focused node, whose
// app_id identifies a Wayland window and whose window_properties.class an XWayland one. A second
// connection is SUBSCRIBEd to "window" and "workspace" events, the activation notice (switching to
// an empty workspace sends no window event, only a workspace one).
//
// Threads: the main thread. Errors: a connection that fails or closes (sway went away) leaves the
// provider answering nothing, with problem() saying so; a query waits at most half a second.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/focus/FocusProvider.hpp"
#include "platform/linux/focus/SocketFocusProvider.hpp"

namespace joyrelay {

namespace sway_ipc {

// The message types this provider uses, and the event types it subscribes to.
inline constexpr std::uint32_t subscribe = 2;
inline constexpr std::uint32_t getTree = 4;
inline constexpr std::uint32_t workspaceEvent = 0x80000000u;
inline constexpr std::uint32_t windowEvent = 0x80000003u;

// One message: "i3-ipc", the payload's length and the type (both 32 bits, native byte order),
// the payload.
std::string encode(std::uint32_t type, std::string_view payload);

// Takes one whole message off the front of `buffer`; nothing while it holds less than one.
struct Message {
    std::uint32_t type = 0;
    std::string payload;
};
std::optional<Message> takeMessage(std::string& buffer);

// What a GET_TREE reply says about the focus. `valid` is false for a reply that is not a tree;
// otherwise `app` is the focused window's application, or nothing when the focus is on a
// workspace, an output or a container that is not a window.
struct TreeFocus {
    bool valid = false;
    std::optional<FrontmostApplication> app;
};
TreeFocus focusedApplication(std::string_view treeJson);

// Whether an event can change which window has the focus: window events other than a title,
// mark or urgency change, and workspace events other than a rename or urgency change.
bool eventMayChangeFocus(std::uint32_t type, std::string_view payload);

}  // namespace sway_ipc

class SwayFocusProvider final : public SocketFocusProvider {
public:
    // Connects to `socketPath` twice and subscribes. Returns nullptr with `error` set when that fails.
    static std::unique_ptr<SwayFocusProvider> open(const std::string& socketPath, std::string* error);

    std::string name() const override { return "sway IPC"; }
    std::optional<FrontmostApplication> frontmost() override;

private:
    struct Owned {};

public:
    SwayFocusProvider(Owned, std::string socketPath, UniqueFd events);

private:
    bool takeEvents(std::string& buffer) override;  // whole messages: the subscription's answer, events
    void lose(std::string why) override;             // the request connection goes too

    std::string socketPath_;
    UniqueFd requests_;  // opened on the first query, kept, reopened once after a failure
    bool subscribed_ = false;
};

}  // namespace joyrelay
